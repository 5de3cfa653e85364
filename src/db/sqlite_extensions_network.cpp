#include "db/sqlite_extensions_network.h"

#include <sqlite3.h>

#include "db/sqlite_extensions_base.h"

namespace quillmark {

namespace {

TIPv4 ArgAddress(sqlite3_value* v) { return static_cast<TIPv4>(sqlite3_value_int64(v) & 0xFFFFFFFF); }

void IPv4InRangeFunc(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc != 2 && argc != 3) return sqlfunc::ResultArityError(ctx);
  TIPv4 high = argc == 3 ? ArgAddress(argv[2]) : 0;
  bool inside = TSQLite3ExtensionsNetwork::IPv4InRange(ArgAddress(argv[0]), ArgAddress(argv[1]), high);
  sqlite3_result_int64(ctx, inside ? 1 : 0);
}

}  // namespace

bool TSQLite3ExtensionsNetwork::IPv4InRange(TIPv4 AAddress, TIPv4 ALow, TIPv4 AHigh) {
  if (AHigh == 0) return AAddress == ALow;
  for (int shift = 0; shift < 32; shift += 8) {
    auto a = static_cast<std::uint8_t>(AAddress >> shift);
    auto lo = static_cast<std::uint8_t>(ALow >> shift);
    auto hi = static_cast<std::uint8_t>(AHigh >> shift);
    if (a < lo || a > hi) return false;
  }
  return true;
}

void TSQLite3ExtensionsNetwork::RegisterFunctionIPv4InRange(TSQLiteDatabase& ADB) {
  sqlfunc::Register(ADB, "IPv4InRange", -1, IPv4InRangeFunc);
}

}  // namespace quillmark
