#include "db/sqlite_extensions_signature.h"

#include <sqlite3.h>

#include "db/regexp_cache.h"
#include "db/sqlite_extensions_base.h"
#include "support/localizer.h"

namespace quillmark {

namespace {

void CheckDigitalSignatureFunc(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc != 7) return sqlfunc::ResultArityError(ctx);
  auto& db = *static_cast<TSQLiteDatabase*>(sqlite3_user_data(ctx));
  try {
    auto match = [&](int i) {
      std::string value = sqlfunc::ValueTextOrEmpty(argv[i]);
      if (value.empty()) return false;
      std::string pattern = sqlfunc::ValueTextOrEmpty(argv[i + 3]);
      if (pattern.empty()) return true;
      return db.RegExpCache().Matches(pattern, value);
    };
    auto mode = static_cast<std::uint32_t>(sqlite3_value_int64(argv[6]) & 0xFFFFFFFF);
    sqlite3_result_int64(ctx, TSQLite3ExtensionsSignature::Combine(mode, match) ? 1 : 0);
  } catch (const std::exception& e) {
    sqlite3_result_error(ctx, e.what(), -1);
  }
}

}  // namespace

void TSQLite3ExtensionsSignature::RegisterFunctionCheckDigitalSignature(TSQLiteDatabase& ADB) {
  int rc = sqlite3_create_function(ADB.DB(), "CHECKDIGITALSIGNATURE", 7, SQLITE_UTF8, &ADB, CheckDigitalSignatureFunc,
                                   nullptr, nullptr);
  if (rc != SQLITE_OK)
    throw Exception(
        TMalwareLocalizer::MsgF(TMalwareLocalizerStr::MSG_REGISTER_DB_FUNCTION_FAIL, {"CheckDigitalSignature"}));
}

std::int64_t TSQLite3ExtensionsSignature::CountSignedListMatches(TSQLiteDatabase& ADB, const ISignerInfo& ASigner,
                                                                 int AListFlag) {
  std::string signer = ASigner.SignerName(), serial = ASigner.SerialNumber(), issuer = ASigner.IssuerName();
  if (signer.empty() && serial.empty() && issuer.empty()) return 0;
  ADB.AddParamInt(":flag", AListFlag);
  ADB.AddParamText(":signer", signer);
  ADB.AddParamText(":serial", serial);
  ADB.AddParamText(":issuer", issuer);
  return ADB.GetTableValue(kSignedListQuery);
}

}  // namespace quillmark
