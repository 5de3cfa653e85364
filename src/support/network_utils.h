#pragma once

#include <cstdint>

namespace quillmark {

class TNetworkUtils {
 public:
  TNetworkUtils() = delete;
  // A port as the TCP table stores it (network byte order in the low 16 bits)
  // turned into its number; higher bytes are ignored.
  static constexpr std::uint16_t NetworkPortValueToOriginalPort(std::uint32_t port) {
    return static_cast<std::uint16_t>(((port & 0xFFu) << 8) | ((port >> 8) & 0xFFu));
  }
};

}  // namespace quillmark
