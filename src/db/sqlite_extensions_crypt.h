// SQL functions that scramble and unscramble text columns.
#pragma once

#include "db/sqlite_table.h"

namespace quillmark {

class TSQLite3ExtensionsCrypt {
 public:
  TSQLite3ExtensionsCrypt() = delete;
  // "CryptDecodeString"(text [, key]): the clear text of a stored value;
  // always text (empty for NULL and for a value that does not decode).
  static void RegisterFunctionCryptDecodeString(TSQLiteDatabase& ADB);
  // "CryptEncodeString"(text [, key]): the stored form of a clear text.
  static void RegisterFunctionCryptEncodeString(TSQLiteDatabase& ADB);
};

}  // namespace quillmark
