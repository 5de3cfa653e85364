// The signer-list SQL function "CHECKDIGITALSIGNATURE" and the signer details
// it is asked about.
#pragma once

#include <cstdint>
#include <string>

#include "db/sqlite_table.h"

namespace quillmark {

// The certificate details a signature check found for a file. The
// Authenticode trust check provides them; a file without a signature answers
// empty texts.
class ISignerInfo {
 public:
  virtual ~ISignerInfo() = default;
  virtual std::string SignerName() const = 0;
  virtual std::string SerialNumber() const = 0;  // upper-case hex, most significant byte first
  virtual std::string IssuerName() const = 0;
  virtual std::string Thumbprint() const = 0;  // SHA-1 of the certificate
};

// No signature: every detail empty.
class TNoSignerInfo : public ISignerInfo {
 public:
  std::string SignerName() const override { return {}; }
  std::string SerialNumber() const override { return {}; }
  std::string IssuerName() const override { return {}; }
  std::string Thumbprint() const override { return {}; }
};

class TSQLite3ExtensionsSignature {
 public:
  TSQLite3ExtensionsSignature() = delete;

  // "CHECKDIGITALSIGNATURE"(signer, serial, issuer, sname, snum, iname, mode).
  // Raises Exception with the localised MSG_REGISTER_DB_FUNCTION_FAIL
  // formatted with "CheckDigitalSignature" when the engine refuses.
  static void RegisterFunctionCheckDigitalSignature(TSQLiteDatabase& ADB);

  // Combination of the three matches (signer, serial, issuer) selected by a
  // list row's mode; each match is asked at most once, left to right, and
  // only until the answer is known.
  template <class Match>
  static bool Combine(std::uint32_t AMode, Match AMatch) {
    switch (AMode) {
      case 2: return AMatch(1);
      case 3: return AMatch(2);
      case 4: return AMatch(0) && AMatch(1) && AMatch(2);
      case 5: return AMatch(0) || AMatch(2);
      case 6: return AMatch(0) || AMatch(2) || AMatch(1);
      case 7: return (AMatch(0) || AMatch(2)) && AMatch(1);
      case 8: return (AMatch(0) || AMatch(1)) && AMatch(2);
      default: return AMatch(0);  // 0, 1 and anything above 8
    }
  }

  // The statement CountSignedListMatches runs.
  static constexpr const char* kSignedListQuery =
      "select count(*) from signed_list where flag=:flag and "
      "(CHECKDIGITALSIGNATURE(:signer, :serial, :issuer, sname, snum, iname, mode) = 1)";

  // Rows of signed_list with the given flag whose patterns hold for the
  // signer; the signer's details are bound as parameters. 0 without a query
  // when signer name, serial number and issuer are all empty. Needs
  // "CHECKDIGITALSIGNATURE" on the connection.
  static std::int64_t CountSignedListMatches(TSQLiteDatabase& ADB, const ISignerInfo& ASigner, int AListFlag);
};

}  // namespace quillmark
