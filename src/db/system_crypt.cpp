#include "db/system_crypt.h"

#include <array>
#include <sstream>
#include <vector>

#include "support/exceptions.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kEncodeChunk = 45;  // bytes in, 60 characters out
constexpr std::size_t kDecodeChunk = 88;  // characters in

// Indexed by character code - 43 ("+") up to 122 ("z"); 127 outside the alphabet.
constexpr std::array<std::uint8_t, 80> MakeReverseTable() {
  std::array<std::uint8_t, 80> table{};
  for (auto& v : table) v = 127;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<std::size_t>(kAlphabet[i] - 43)] = i;
  return table;
}
constexpr std::array<std::uint8_t, 80> kReverse = MakeReverseTable();

// Base64 characters of one chunk of bytes.
std::string EncodeChunk(const std::uint8_t* in, std::size_t n) {
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8) | in[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (n - i == 2) {
    std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  } else if (n - i == 1) {
    std::uint32_t v = std::uint32_t(in[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  }
  return out;
}

std::uint8_t ReverseOf(std::uint32_t code) {
  if (code < 43 || code > 122) throw Exception("Invalid Base64 Character");
  return kReverse[code - 43];
}

// Appends the bytes of one chunk of character codes.
void DecodeChunk(const std::uint32_t* codes, std::size_t n, std::string& out) {
  for (std::size_t g = 0; g < n; g += 4) {
    std::size_t k = std::min<std::size_t>(4, n - g);
    std::uint32_t c[4] = {'=', '=', '=', '='};
    for (std::size_t j = 0; j < k; ++j) c[j] = codes[g + j];
    for (std::uint32_t code : c) ReverseOf(code);
    if (k == 1) continue;
    std::uint32_t a = ReverseOf(c[0]), b = ReverseOf(c[1]), cc = ReverseOf(c[2]), d = ReverseOf(c[3]);
    out += static_cast<char>(((a << 2) | (b >> 4)) & 0xFF);
    if (c[2] != '=') {
      out += static_cast<char>(((b << 4) | (cc >> 2)) & 0xFF);
      if (c[3] != '=') out += static_cast<char>(((cc << 6) | d) & 0xFF);
    }
  }
}

template <class Emit>
void EncodeStream(std::istream& in, Emit emit) {
  std::uint8_t buffer[kEncodeChunk];
  for (;;) {
    in.read(reinterpret_cast<char*>(buffer), kEncodeChunk);
    auto n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    emit(EncodeChunk(buffer, n));
    if (n < kEncodeChunk) break;
  }
}

// Reads chunks of characters of unitSize bytes (1 or 2, little-endian).
void DecodeStream(std::istream& in, std::ostream& out, std::size_t unitSize) {
  std::vector<char> raw(kDecodeChunk * unitSize);
  std::uint32_t codes[kDecodeChunk];
  for (;;) {
    in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    auto bytes = static_cast<std::size_t>(in.gcount());
    std::size_t n = bytes / unitSize;
    if (n == 0) break;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t lo = static_cast<std::uint8_t>(raw[i * unitSize]);
      codes[i] = unitSize == 1 ? lo : (lo | (std::uint32_t(static_cast<std::uint8_t>(raw[i * unitSize + 1])) << 8));
    }
    std::string decoded;
    DecodeChunk(codes, n, decoded);
    out.write(decoded.data(), static_cast<std::streamsize>(decoded.size()));
    if (n < kDecodeChunk) break;
  }
}

}  // namespace

void TCrypt::Base64EncodeA(std::istream& AInStream, std::ostream& AOutStream) {
  EncodeStream(AInStream, [&](const std::string& s) { AOutStream.write(s.data(), static_cast<std::streamsize>(s.size())); });
}

void TCrypt::Base64EncodeW(std::istream& AInStream, std::ostream& AOutStream) {
  EncodeStream(AInStream, [&](const std::string& s) {
    for (char c : s) {
      AOutStream.put(c);
      AOutStream.put('\0');
    }
  });
}

std::string TCrypt::Base64Encode(std::istream& AInStream) {
  std::string out;
  EncodeStream(AInStream, [&](const std::string& s) { out += s; });
  return out;
}

std::string TCrypt::Base64Encode(std::string_view AInString) {
  std::istringstream in{std::string(AInString)};
  return Base64Encode(in);
}

void TCrypt::Base64DecodeA(std::istream& AInStream, std::ostream& AOutStream) { DecodeStream(AInStream, AOutStream, 1); }

void TCrypt::Base64DecodeW(std::istream& AInStream, std::ostream& AOutStream) { DecodeStream(AInStream, AOutStream, 2); }

void TCrypt::Base64Decode(std::string_view AInString, std::ostream& AOutStream) {
  if (AInString.empty()) return;
  std::istringstream in{std::string(AInString)};
  Base64DecodeA(in, AOutStream);
}

std::string TCrypt::Base64Decode(std::string_view AInString) {
  std::ostringstream out;
  Base64Decode(AInString, out);
  return out.str();
}

void TCrypt::SimpleEncode(void* ABuffer, std::ptrdiff_t ABufferSize, std::uint8_t AKey) {
  auto* p = static_cast<std::uint8_t*>(ABuffer);
  for (std::ptrdiff_t i = 0; i < ABufferSize; ++i) p[i] = static_cast<std::uint8_t>(~p[i] ^ AKey);
}

void TCrypt::SimpleDecode(void* ABuffer, std::ptrdiff_t ABufferSize, std::uint8_t AKey) {
  auto* p = static_cast<std::uint8_t*>(ABuffer);
  for (std::ptrdiff_t i = 0; i < ABufferSize; ++i) p[i] = static_cast<std::uint8_t>(~(p[i] ^ AKey));
}

std::string TCrypt::DecodeString(std::string_view AStored, std::uint8_t AKey) noexcept {
  try {
    if (AStored.empty()) return {};
    std::string bytes = Base64Decode(AStored);
    SimpleDecode(bytes.data(), static_cast<std::ptrdiff_t>(bytes.size()), AKey);
    return SanitizeUtf8(bytes);
  } catch (...) {
    return {};
  }
}

std::string TCrypt::EncodeString(std::string_view AText, std::uint8_t AKey) noexcept {
  try {
    if (AText.empty()) return {};
    std::string bytes(AText);
    SimpleEncode(bytes.data(), static_cast<std::ptrdiff_t>(bytes.size()), AKey);
    return Base64Encode(std::string_view(bytes));
  } catch (...) {
    return {};
  }
}


}  // namespace quillmark
