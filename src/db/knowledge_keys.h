// Keys of the knowledge databases, shared by the library that looks rows up
// and the dictionary compiler that writes them:
//  - an n-gram's key is the CRC-32 (IEEE, as zlib) of the UTF-8 bytes of the
//    lower-cased n-gram, stored as a signed 32-bit integer;
//  - a system file's key is the lower-case hex MD5 of the UTF-8 bytes of the
//    trimmed, lower-cased file name followed by "-F".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmark {

class TKnowledgeKeys {
 public:
  TKnowledgeKeys() = delete;

  static std::int32_t NGramKey(std::string_view ANGram);
  static std::string SystemFileKey(std::string_view AFileName);

  static std::uint32_t Crc32(std::string_view ABytes);
  // Lower-case hex MD5 digest.
  static std::string Md5Hex(std::string_view ABytes);
  // Unicode lower case of UTF-8 text, the same on every host (independent of
  // the process locale); bytes that are not UTF-8 are kept.
  static std::string LowerCase(std::string_view AText);
  // The text without leading and trailing blanks and control characters.
  static std::string_view Trim(std::string_view AText);
};

}  // namespace quillmark
