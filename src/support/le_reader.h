// Little-endian integers in bytes read from a file (PE headers, resource
// directories, version blocks). The checked reads answer nothing when the
// value does not lie wholly inside the bytes; the Load forms are for records
// whose size the caller has already checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quillmark::le {

constexpr std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr std::uint32_t LoadU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
constexpr std::uint64_t LoadU64(const std::uint8_t* p) {
  return std::uint64_t{LoadU32(p)} | (std::uint64_t{LoadU32(p + 4)} << 32);
}

// Whether [offset, offset + size) lies inside bytes (no overflow on hostile
// offsets).
constexpr bool InRange(std::span<const std::uint8_t> bytes, std::uint64_t offset, std::uint64_t size) {
  return offset <= bytes.size() && size <= bytes.size() - offset;
}

constexpr std::optional<std::uint8_t> ReadU8(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  if (!InRange(bytes, offset, 1)) return std::nullopt;
  return bytes[static_cast<std::size_t>(offset)];
}
constexpr std::optional<std::uint16_t> ReadU16(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  if (!InRange(bytes, offset, 2)) return std::nullopt;
  return LoadU16(bytes.data() + offset);
}
constexpr std::optional<std::uint32_t> ReadU32(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  if (!InRange(bytes, offset, 4)) return std::nullopt;
  return LoadU32(bytes.data() + offset);
}
constexpr std::optional<std::uint64_t> ReadU64(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  if (!InRange(bytes, offset, 8)) return std::nullopt;
  return LoadU64(bytes.data() + offset);
}

}  // namespace quillmark::le
