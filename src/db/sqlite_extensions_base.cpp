#include "db/sqlite_extensions_base.h"

#include <sqlite3.h>

#include "db/regexp_cache.h"
#include "runtime/target_system.h"
#include "support/localizer.h"

namespace quillmark {

namespace sqlfunc {

std::optional<std::string> ValueText(sqlite3_value* AValue) {
  const unsigned char* text = sqlite3_value_text(AValue);
  if (!text) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_value_bytes(AValue)));
}

std::string ValueTextOrEmpty(sqlite3_value* AValue) { return ValueText(AValue).value_or(std::string()); }

void ResultArityError(sqlite3_context* AContext) { sqlite3_result_error(AContext, "Wrong number of arguments", -1); }

void ResultText(sqlite3_context* AContext, const std::string& AText) {
  sqlite3_result_text64(AContext, AText.data(), AText.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void Register(TSQLiteDatabase& ADB, const char* AName, int AArgCount,
              void (*AFunc)(sqlite3_context*, int, sqlite3_value**)) {
  int rc = sqlite3_create_function(ADB.DB(), AName, AArgCount, SQLITE_UTF8, &ADB, AFunc, nullptr, nullptr);
  if (rc != SQLITE_OK) throw Exception(FormatPositional("Can`t register SQL function `%0:s`", {AName}));
}

}  // namespace sqlfunc

namespace {

TSQLiteDatabase& Connection(sqlite3_context* ctx) { return *static_cast<TSQLiteDatabase*>(sqlite3_user_data(ctx)); }

void CheckOSVersionFunc(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc != 1 && argc != 2) return sqlfunc::ResultArityError(ctx);
  int lower = 0, upper = 22;
  if (auto first = sqlfunc::ValueText(argv[0])) lower = TSQLite3ExtensionsBase::VersionOrdinal(*first);
  if (argc == 2 && lower != 0) {
    if (auto second = sqlfunc::ValueText(argv[1])) upper = TSQLite3ExtensionsBase::VersionOrdinal(*second);
  }
  try {
    int running = static_cast<int>(Connection(ctx).Target().WindowsVersion());
    sqlite3_result_int64(ctx, running >= lower && running <= upper ? 1 : 0);
  } catch (const std::exception& e) {
    sqlite3_result_error(ctx, e.what(), -1);
  }
}

void OSVersionFromStringFunc(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc != 1) return sqlfunc::ResultArityError(ctx);
  auto name = sqlfunc::ValueText(argv[0]);
  sqlite3_result_int64(ctx, name ? TSQLite3ExtensionsBase::VersionOrdinal(*name) : 0);
}

void RegExpFunc(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc != 2) return sqlfunc::ResultArityError(ctx);
  auto pattern = sqlfunc::ValueText(argv[0]);
  auto subject = sqlfunc::ValueText(argv[1]);
  if (!pattern || !subject) return sqlite3_result_int64(ctx, 0);
  bool matched = false;
  try {
    matched = Connection(ctx).RegExpCache().Matches(*pattern, *subject);
  } catch (...) {
    matched = false;
  }
  sqlite3_result_int64(ctx, matched ? 1 : 0);
}

}  // namespace

int TSQLite3ExtensionsBase::VersionOrdinal(const std::string& AName) {
  return runtime::WindowsVersionFromIdentifier(AName) & 0xFF;
}

void TSQLite3ExtensionsBase::RegisterFunctionCheckOSVersion(TSQLiteDatabase& ADB) {
  sqlfunc::Register(ADB, "CheckOSVersion", -1, CheckOSVersionFunc);
}

void TSQLite3ExtensionsBase::RegisterFunctionOSVersionFromString(TSQLiteDatabase& ADB) {
  sqlfunc::Register(ADB, "OSVersionFromString", 1, OSVersionFromStringFunc);
}

void TSQLite3ExtensionsBase::RegisterFunctionRegExp(TSQLiteDatabase& ADB) {
  sqlfunc::Register(ADB, "REGEXP", 2, RegExpFunc);
}

}  // namespace quillmark
