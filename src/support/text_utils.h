// UTF-8 text helpers shared by the library: code points, UTF-16 conversion
// and the two lower-casing functions (ASCII-only and Unicode-aware).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {

// Byte length of the well-formed UTF-8 sequence at s[i] with its code point
// in cp; 0 when s[i] does not start one (overlong forms, surrogates and
// values past U+10FFFF are not well-formed).
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp);
void AppendUtf8(std::string& out, char32_t cp);

// Code points of UTF-8 text; a byte that starts no well-formed sequence
// counts as one.
std::size_t CodePointCount(std::string_view s);
// UTF-16 code units the text needs (a malformed byte becomes one U+FFFD).
std::size_t Utf16Length(std::string_view s);
// UTF-16LE bytes of UTF-8 text; a malformed byte becomes U+FFFD.
std::vector<std::uint8_t> Utf8ToUtf16LEBytes(std::string_view s);
// UTF-8 of UTF-16LE bytes (an odd last byte is dropped); unpaired surrogates
// become U+FFFD.
std::string Utf16LEToUtf8(std::span<const std::uint8_t> bytes);

constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
// ASCII letters lower-cased, every other byte kept.
std::string LowerCase(std::string_view s);
// Unicode lower case, the same on every host whatever the process locale;
// bytes that are not UTF-8 are kept.
std::string LowerCaseUnicode(std::string_view s);
// Equal when lower-cased ASCII-only.
bool SameTextAscii(std::string_view a, std::string_view b);
// text begins with prefix, ASCII letters compared without case.
bool StartsWithTextAscii(std::string_view text, std::string_view prefix);
// The text without leading and trailing blanks and control characters
// (every byte up to the space).
std::string_view TrimBlanks(std::string_view s);
// The text with every byte that starts no well-formed UTF-8 sequence
// replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view s);

}  // namespace quillmark
