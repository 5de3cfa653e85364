// The JSON record of one file and the text helpers it shares with the
// program's terminal output (FileReportJson, PrintableText and PrintableName
// are declared in quillmark/host_api.h).
#pragma once

#include <string>
#include <string_view>

#include "quillmark/host_api.h"

namespace quillmark {

// A JSON string literal, quotes included. Quotes, backslashes and control
// characters are escaped; bytes that are not well-formed UTF-8 (stray
// continuation bytes, overlong forms, surrogates, code points above
// U+10FFFF, truncated sequences) become U+FFFD, one per offending byte.
std::string JsonString(std::string_view s);

// A JSON number for v; null when v is not finite. Written as a double, in its
// shortest form that reads back to the same double.
std::string JsonNumber(Extended v);

// A detail value as JSON: records as objects, lists as arrays.
std::string JsonValue(const TDetailValue& v);

// True when all of s is well-formed UTF-8.
bool IsValidUtf8(std::string_view s);

}  // namespace quillmark
