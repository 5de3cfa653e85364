// Base64 and the one-byte scrambling of the knowledge databases' text columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

namespace quillmark {

class TCrypt {
 public:
  TCrypt() = delete;

  // Key of the SQL functions when no key argument is given.
  static constexpr std::uint8_t kDefaultKey = 0x9E;

  // Base64 (RFC 4648 alphabet, "=" padding, no line breaks) of the stream's
  // remaining bytes, read 45 bytes at a time. The A form writes 8-bit
  // characters, the W form UTF-16LE code units.
  static void Base64EncodeA(std::istream& AInStream, std::ostream& AOutStream);
  static void Base64EncodeW(std::istream& AInStream, std::ostream& AOutStream);
  static void Base64Encode(std::istream& AInStream, std::ostream& AOutStream) { Base64EncodeW(AInStream, AOutStream); }
  static std::string Base64Encode(std::istream& AInStream);
  // Base64 of the string's bytes (UTF-8 text is encoded as its UTF-8 bytes).
  static std::string Base64Encode(std::string_view AInString);

  // Decodes 8-bit (A) or UTF-16LE (W) Base64 characters, 88 at a time. A
  // character below "+" or above "z" raises Exception "Invalid Base64
  // Character"; one inside that range that is not in the alphabet decodes
  // through the value 127. A trailing group of 2 or 3 characters decodes as
  // if padded; a single trailing character gives nothing.
  static void Base64DecodeA(std::istream& AInStream, std::ostream& AOutStream);
  static void Base64DecodeW(std::istream& AInStream, std::ostream& AOutStream);
  static void Base64Decode(std::istream& AInStream, std::ostream& AOutStream) { Base64DecodeW(AInStream, AOutStream); }
  static void Base64Decode(std::string_view AInString, std::ostream& AOutStream);
  // The decoded bytes.
  static std::string Base64Decode(std::string_view AInString);

  // In place: every byte b becomes (not b) xor key, resp. not (b xor key);
  // the two are the same map and each undoes the other. A size of 0 or less
  // changes nothing.
  static void SimpleEncode(void* ABuffer, std::ptrdiff_t ABufferSize, std::uint8_t AKey);
  static void SimpleDecode(void* ABuffer, std::ptrdiff_t ABufferSize, std::uint8_t AKey);

  // The text pipelines of the SQL functions. Decoding: Base64, unscramble,
  // read as UTF-8 (invalid sequences become U+FFFD). Encoding: the UTF-8
  // bytes, scrambled, as Base64. Both answer an empty text for empty input
  // and on any failure; neither throws.
  static std::string DecodeString(std::string_view AStored, std::uint8_t AKey = kDefaultKey) noexcept;
  static std::string EncodeString(std::string_view AText, std::uint8_t AKey = kDefaultKey) noexcept;
};

}  // namespace quillmark
