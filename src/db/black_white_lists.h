// The black and white lists: Authenticode signers (signed_list), company
// names of version resources (vers_list) and listed IPv4 ranges (niplist).
#pragma once

#include <cstdint>

#include "db/malware_common_classes.h"
#include "db/sqlite_extensions_network.h"
#include "db/sqlite_extensions_signature.h"

namespace quillmark {

class TFileVersionInfo;

// Which list a row belongs to; the ordinal is the value of the flag column.
enum class TListType : std::int32_t { mdBlackList = 0, mdWhiteList = 1 };

// Tables read:
//   signed_list(flag, sname, snum, iname, mode): patterns for signer name,
//     serial number and issuer name, combined as "CHECKDIGITALSIGNATURE" says;
//   vers_list(flag, cmp): a pattern searched in the CompanyName value;
//   niplist(vmin, vmax): an address range (vmax 0 or NULL: the one address).
// Every value taken from a file is bound as a parameter, never written into
// the SQL text. Each check holds the object's lock for its whole query, so
// one object serves concurrent analyses. Without a connection every check
// answers false; so does a check whose query fails (the failure is recorded,
// see TakeQueryProblems).
class TMalwareDataBaseBlackWhiteLists : public TCustomSqlLiteDataBase {
 public:
  const char* ClassName() const override { return "TMalwareDataBaseBlackWhiteLists"; }
  // Registers "CHECKDIGITALSIGNATURE" (a refusal raises Exception with the
  // localised MSG_REGISTER_DB_FUNCTION_FAIL), then "REGEXP" and
  // "IPv4InRange", on a new connection.
  void RegisterFunctions() override;

  // Some row of the list matches the signer's name, serial number and issuer.
  // False without a query when all three are empty.
  bool CheckDigitalSignature(const ISignerInfo& ASignatureInfo, TListType AList);
  // Some row of the list matches the CompanyName value. False without a query
  // when the value is missing or empty.
  bool CheckFileVersionInfo(const TFileVersionInfo& AVersionInfo, TListType AList);
  // The company name itself against the list (what CheckFileVersionInfo asks).
  bool CheckCompanyName(const std::string& ACompanyName, TListType AList);
  // The address lies in a listed range (every range counts, whatever list it
  // came from). False for the empty address 0.
  bool CheckIPv4(TIPv4 AIPv4);

 protected:
  std::vector<TRequiredStatement> RequiredStatements() const override;
};

}  // namespace quillmark
