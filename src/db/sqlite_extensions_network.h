// SQL function testing an IPv4 address against a listed range.
#pragma once

#include <cstdint>

#include "db/sqlite_table.h"

namespace quillmark {

// An IPv4 address as Windows reports it: the first octet of the dotted form
// in the lowest 8 bits. 0 is the empty address.
using TIPv4 = std::uint32_t;

class TSQLite3ExtensionsNetwork {
 public:
  TSQLite3ExtensionsNetwork() = delete;
  // "IPv4InRange"(address, low [, high]).
  static void RegisterFunctionIPv4InRange(TSQLiteDatabase& ADB);

  // With high 0: address equals low. Otherwise every octet of the address lies
  // between the same octets of low and high (a per-octet box, not an order on
  // addresses).
  static bool IPv4InRange(TIPv4 AAddress, TIPv4 ALow, TIPv4 AHigh);
};

}  // namespace quillmark
