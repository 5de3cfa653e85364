// SQL functions for Windows version ranges and regular expressions.
#pragma once

#include <optional>
#include <string>

#include "db/sqlite_table.h"

struct sqlite3_context;
struct sqlite3_value;

namespace quillmark {

class TSQLite3ExtensionsBase {
 public:
  TSQLite3ExtensionsBase() = delete;

  // "CheckOSVersion"(min_os [, max_os]): 1 when the connection's target runs a
  // Windows version between the two named versions (bounds 0 and 22 by default).
  static void RegisterFunctionCheckOSVersion(TSQLiteDatabase& ADB);
  // "OSVersionFromString"(name): the ordinal of the named version, 255 for an
  // unknown name, 0 for NULL.
  static void RegisterFunctionOSVersionFromString(TSQLiteDatabase& ADB);
  // "REGEXP"(pattern, subject), the function behind "subject REGEXP pattern".
  static void RegisterFunctionRegExp(TSQLiteDatabase& ADB);

  // Ordinal of a TWindowsVersion identifier, kept in 8 bits (255 when unknown).
  static int VersionOrdinal(const std::string& AName);
};

namespace sqlfunc {

// The argument as UTF-8 text; nullopt for NULL.
std::optional<std::string> ValueText(sqlite3_value* AValue);
// The argument's text, empty for NULL.
std::string ValueTextOrEmpty(sqlite3_value* AValue);
// Reports "Wrong number of arguments" to the engine.
void ResultArityError(sqlite3_context* AContext);
void ResultText(sqlite3_context* AContext, const std::string& AText);
// Registers a UTF-8 scalar function whose user data is the connection object;
// raises Exception "Can`t register SQL function `<name>`" when the engine refuses.
void Register(TSQLiteDatabase& ADB, const char* AName, int AArgCount,
              void (*AFunc)(sqlite3_context*, int, sqlite3_value**));

}  // namespace sqlfunc

}  // namespace quillmark
