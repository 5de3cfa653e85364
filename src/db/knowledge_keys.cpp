#include "db/knowledge_keys.h"

#include <locale.h>
#include <openssl/evp.h>
#include <wctype.h>

#include <array>
#include <stdexcept>

namespace quillmark {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

locale_t Utf8Locale() {
  static locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return locale;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
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

// Decodes the code point at s[i]; answers its byte length, 0 for an invalid sequence.
std::size_t DecodeUtf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
  auto b0 = static_cast<std::uint8_t>(s[i]);
  std::size_t len;
  std::uint32_t min;
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
  if (i + len > s.size()) return 0;
  for (std::size_t j = 1; j < len; ++j) {
    auto b = static_cast<std::uint8_t>(s[i + j]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::uint32_t TKnowledgeKeys::Crc32(std::string_view ABytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (char ch : ABytes) c = kCrcTable[(c ^ static_cast<std::uint8_t>(ch)) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::string TKnowledgeKeys::Md5Hex(std::string_view ABytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(ABytes.data(), ABytes.size(), digest, &length, EVP_md5(), nullptr) != 1)
    throw std::runtime_error("MD5 is not available");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::string TKnowledgeKeys::LowerCase(std::string_view AText) {
  locale_t locale = Utf8Locale();
  std::string out;
  out.reserve(AText.size());
  std::size_t i = 0;
  while (i < AText.size()) {
    std::uint32_t cp = 0;
    std::size_t len = DecodeUtf8(AText, i, cp);
    if (len == 0) {
      out += AText[i++];
      continue;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp - 'A' + 'a' : cp);
    } else {
      std::uint32_t lower = locale ? static_cast<std::uint32_t>(towlower_l(static_cast<wint_t>(cp), locale)) : cp;
      AppendUtf8(out, lower);
    }
    i += len;
  }
  return out;
}

std::string_view TKnowledgeKeys::Trim(std::string_view AText) {
  std::size_t b = 0, e = AText.size();
  while (b < e && static_cast<std::uint8_t>(AText[b]) <= ' ') ++b;
  while (e > b && static_cast<std::uint8_t>(AText[e - 1]) <= ' ') --e;
  return AText.substr(b, e - b);
}

std::int32_t TKnowledgeKeys::NGramKey(std::string_view ANGram) {
  return static_cast<std::int32_t>(Crc32(LowerCase(ANGram)));
}

std::string TKnowledgeKeys::SystemFileKey(std::string_view AFileName) {
  return Md5Hex(LowerCase(Trim(AFileName)) + "-F");
}

}  // namespace quillmark
