// Turning arbitrary bytes (file names above all) into safe output: JSON
// string literals and single-line terminal text.
#pragma once

#include <string>
#include <string_view>

namespace quillmark::cli {

// A JSON string literal, quotes included. Quotes, backslashes and control
// characters are escaped; bytes that are not well-formed UTF-8 (stray
// continuation bytes, overlong forms, surrogates, code points above
// U+10FFFF, truncated sequences) become U+FFFD, one per offending byte.
std::string JsonString(std::string_view s);

// A JSON number for v; null when v is not finite. Written as a double, in its
// shortest form that reads back to the same double.
std::string JsonNumber(long double v);

// s for one line of terminal output: control characters and bytes that are not
// well-formed UTF-8 are shown as \xNN, everything else is kept.
std::string PrintableText(std::string_view s);

// A file name for one line of terminal output: as PrintableText, and a
// backslash is doubled, so that "\x0A" in a name cannot be mistaken for an
// escaped line feed.
std::string PrintableName(std::string_view s);

// True when all of s is well-formed UTF-8.
bool IsValidUtf8(std::string_view s);

// Standard base64 (RFC 4648, with padding) of the bytes of s.
std::string Base64(std::string_view s);

// Length of the well-formed UTF-8 sequence at the start of s, with its code
// point in cp; 0 when s does not start with one (or is empty).
std::size_t DecodeUtf8(std::string_view s, char32_t& cp);

}  // namespace quillmark::cli
