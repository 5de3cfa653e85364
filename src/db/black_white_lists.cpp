#include "db/black_white_lists.h"

#include <mutex>

#include "db/sqlite_extensions_base.h"
#include "support/file_version_info.h"

namespace quillmark {

namespace {

constexpr const char* kCompanyNameValue = "CompanyName";
// "X REGEXP Y" calls REGEXP(Y, X): the row's pattern is searched in the name.
constexpr const char* kCompanyQuery = "select count(*) from vers_list where flag=:flag and (:company REGEXP cmp)";
// The vmin of the first matching range: a range whose stored low end is 0 or
// negative does not count.
constexpr const char* kAddressQuery = "select vmin from niplist where IPv4InRange(:ip, vmin, vmax)";

}  // namespace

void TMalwareDataBaseBlackWhiteLists::RegisterFunctions() {
  TSQLiteDatabase* db = DB();
  if (!db) return;
  TSQLite3ExtensionsSignature::RegisterFunctionCheckDigitalSignature(*db);
  TSQLite3ExtensionsBase::RegisterFunctionRegExp(*db);
  TSQLite3ExtensionsNetwork::RegisterFunctionIPv4InRange(*db);
}

std::vector<TCustomSqlLiteDataBase::TRequiredStatement> TMalwareDataBaseBlackWhiteLists::RequiredStatements() const {
  return {{"signed_list", TSQLite3ExtensionsSignature::kSignedListQuery},
          {"vers_list", kCompanyQuery},
          {"niplist", kAddressQuery}};
}

bool TMalwareDataBaseBlackWhiteLists::CheckDigitalSignature(const ISignerInfo& ASignatureInfo, TListType AList) {
  return Query("CheckDigitalSignature", false, [&](TSQLiteDatabase& db) {
    return TSQLite3ExtensionsSignature::CountSignedListMatches(db, ASignatureInfo, static_cast<int>(AList)) > 0;
  });
}

bool TMalwareDataBaseBlackWhiteLists::CheckFileVersionInfo(const TFileVersionInfo& AVersionInfo, TListType AList) {
  if (!AVersionInfo.IsValueExist(kCompanyNameValue)) return false;
  return CheckCompanyName(AVersionInfo.GetValue(kCompanyNameValue), AList);
}

bool TMalwareDataBaseBlackWhiteLists::CheckCompanyName(const std::string& ACompanyName, TListType AList) {
  if (ACompanyName.empty()) return false;
  return Query("CheckFileVersionInfo", false, [&](TSQLiteDatabase& db) {
    db.AddParamInt(":flag", static_cast<int>(AList));
    db.AddParamText(":company", ACompanyName);
    return db.GetTableValue(kCompanyQuery) > 0;
  });
}

bool TMalwareDataBaseBlackWhiteLists::CheckIPv4(TIPv4 AIPv4) {
  if (AIPv4 == 0) return false;
  return Query("CheckIPv4", false, [&](TSQLiteDatabase& db) {
    // The address as the signed 32-bit number Windows code writes; the range
    // function reads its lowest 32 bits either way.
    db.AddParamInt(":ip", static_cast<std::int32_t>(AIPv4));
    return db.GetTableValue(kAddressQuery) > 0;
  });
}

}  // namespace quillmark
