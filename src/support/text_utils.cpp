#include "support/text_utils.h"

#include "quillmark/host_services.h"

namespace quillmark {

std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp) {
  if (i >= s.size()) return 0;
  const auto b0 = static_cast<std::uint8_t>(s[i]);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > s.size() - i) return 0;
  for (std::size_t j = 1; j < len; ++j) {
    const auto b = static_cast<std::uint8_t>(s[i + j]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {
// Calls f with each code point of s, U+FFFD standing for a malformed byte.
template <class F>
void ForEachCodePoint(std::string_view s, F f) {
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    std::size_t len = DecodeUtf8(s, i, cp);
    if (len == 0) {
      cp = 0xFFFD;
      len = 1;
    }
    f(cp);
    i += len;
  }
}
}  // namespace

std::size_t CodePointCount(std::string_view s) {
  std::size_t n = 0;
  ForEachCodePoint(s, [&n](char32_t) { ++n; });
  return n;
}

std::size_t Utf16Length(std::string_view s) {
  std::size_t n = 0;
  ForEachCodePoint(s, [&n](char32_t cp) { n += cp >= 0x10000 ? 2 : 1; });
  return n;
}

std::vector<std::uint8_t> Utf8ToUtf16LEBytes(std::string_view s) {
  std::vector<std::uint8_t> out;
  out.reserve(s.size() * 2);
  auto put = [&out](char32_t unit) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  };
  ForEachCodePoint(s, [&](char32_t cp) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
  });
  return out;
}

std::string Utf16LEToUtf8(std::span<const std::uint8_t> bytes) {
  auto unit = [&bytes](std::size_t i) -> char32_t { return bytes[2 * i] | (bytes[2 * i + 1] << 8); };
  std::string out;
  const std::size_t units = bytes.size() / 2;
  out.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char32_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, u);  // an unpaired surrogate becomes U+FFFD
  }
  return out;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string LowerCaseUnicode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(s, i, cp);
    if (len == 0) {
      out += s[i++];
      continue;
    }
    if (cp < 0x80) out += LowerAscii(static_cast<char>(cp));
    else AppendUtf8(out, runtime::ToLowerCodePoint(cp));
    i += len;
  }
  return out;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool StartsWithTextAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

std::string SanitizeUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(s, i, cp);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace quillmark
