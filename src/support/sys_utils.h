#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/target_system.h"

namespace quillmark {

class TSysUtils {
 public:
  TSysUtils() = delete;
  // Milliseconds since the target system started.
  static std::uint64_t GetTickCount64(runtime::ITargetSystem& target) { return target.GetTickCount64(); }
  // True when the text, without surrounding white space, is a GUID of 36 hex
  // digits and dashes (8-4-4-4-12), optionally with an opening and/or closing brace.
  static bool IsGUID(std::string_view text);
};

}  // namespace quillmark
