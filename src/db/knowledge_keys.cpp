#include "db/knowledge_keys.h"

#include <openssl/evp.h>

#include <array>
#include <stdexcept>

#include "support/text_utils.h"

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

std::string TKnowledgeKeys::LowerCase(std::string_view AText) { return LowerCaseUnicode(AText); }

std::string_view TKnowledgeKeys::Trim(std::string_view AText) { return TrimBlanks(AText); }

std::int32_t TKnowledgeKeys::NGramKey(std::string_view ANGram) {
  return static_cast<std::int32_t>(Crc32(LowerCase(ANGram)));
}

std::string TKnowledgeKeys::SystemFileKey(std::string_view AFileName) {
  return Md5Hex(LowerCase(Trim(AFileName)) + "-F");
}

}  // namespace quillmark
