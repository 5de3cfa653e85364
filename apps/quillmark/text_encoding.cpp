#include "text_encoding.h"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdio>

#include "support/text_utils.h"

namespace quillmark::cli {

std::size_t DecodeUtf8(std::string_view s, char32_t& cp) { return quillmark::DecodeUtf8(s, 0, cp); }

std::string JsonString(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  while (!s.empty()) {
    char32_t cp = 0;
    const std::size_t n = DecodeUtf8(s, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      s.remove_prefix(1);
      continue;
    }
    if (n > 1) {
      out.append(s.data(), n);
    } else {
      switch (cp) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (cp < 0x20 || cp == 0x7F) {
            out += "\\u00";
            out += kHex[cp >> 4];
            out += kHex[cp & 0xF];
          } else {
            out += static_cast<char>(cp);
          }
      }
    }
    s.remove_prefix(n);
  }
  out += '"';
  return out;
}

std::string JsonNumber(long double v) {
  const double d = static_cast<double>(v);
  if (!std::isfinite(d)) return "null";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return "null";
  return std::string(buf, end);
}

namespace {

std::string Printable(std::string_view s, bool escapeBackslash) {
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    char32_t cp = 0;
    std::size_t n = DecodeUtf8(s, cp);
    // C1 controls (U+0080..U+009F) can drive a terminal as well.
    if (n == 0 || cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
      if (n == 0) n = 1;
      for (std::size_t i = 0; i < n; ++i) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(s[i]));
        out += buf;
      }
    } else if (escapeBackslash && cp == '\\') {
      out += "\\\\";
    } else {
      out.append(s.data(), n);
    }
    s.remove_prefix(n);
  }
  return out;
}

}  // namespace

std::string PrintableText(std::string_view s) { return Printable(s, false); }

std::string PrintableName(std::string_view s) { return Printable(s, true); }

bool IsValidUtf8(std::string_view s) {
  while (!s.empty()) {
    char32_t cp = 0;
    const std::size_t n = DecodeUtf8(s, cp);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

std::string Base64(std::string_view s) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((s.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= s.size(); i += 3) {
    const std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(s[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(s[i + 1])) << 8 |
                            static_cast<unsigned char>(s[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (const std::size_t rest = s.size() - i; rest > 0) {
    std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(s[i])) << 16;
    if (rest == 2) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s[i + 1])) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace quillmark::cli
