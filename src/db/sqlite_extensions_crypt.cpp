#include "db/sqlite_extensions_crypt.h"

#include <sqlite3.h>

#include "db/sqlite_extensions_base.h"
#include "db/system_crypt.h"

namespace quillmark {

namespace {

template <std::string (*Pipeline)(std::string_view, std::uint8_t) noexcept>
void CryptFunc(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc != 1 && argc != 2) return sqlfunc::ResultArityError(ctx);
  std::uint8_t key = TCrypt::kDefaultKey;
  if (argc == 2) key = static_cast<std::uint8_t>(sqlite3_value_int64(argv[1]) & 0xFF);
  try {
    sqlfunc::ResultText(ctx, Pipeline(sqlfunc::ValueTextOrEmpty(argv[0]), key));
  } catch (...) {
    sqlfunc::ResultText(ctx, std::string());
  }
}

}  // namespace

void TSQLite3ExtensionsCrypt::RegisterFunctionCryptDecodeString(TSQLiteDatabase& ADB) {
  sqlfunc::Register(ADB, "CryptDecodeString", -1, CryptFunc<&TCrypt::DecodeString>);
}

void TSQLite3ExtensionsCrypt::RegisterFunctionCryptEncodeString(TSQLiteDatabase& ADB) {
  sqlfunc::Register(ADB, "CryptEncodeString", -1, CryptFunc<&TCrypt::EncodeString>);
}

}  // namespace quillmark
