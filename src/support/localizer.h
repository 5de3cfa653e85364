// The library's replaceable message table, shared by every engine.
#pragma once

#include <string>
#include <vector>

#include "quillmark/malware_heuristic.h"

namespace quillmark {

enum class TMalwareLocalizerStr { MSG_FILE_NOT_FOUND = 0, MSG_REGISTER_DB_FUNCTION_FAIL = 1, RULE_NAME_ = 2, MSG_NONE = 3 };

const char* LocalizerStrIdentifier(TMalwareLocalizerStr s);

// Formats "%s" (next argument), "%N:s" (argument N; any conversion letter)
// and "%%"; a reference to a missing argument stays as written.
std::string FormatPositional(const std::string& AFormat, const std::vector<std::string>& AArgs);

class TMalwareLocalizer {
 public:
  TMalwareLocalizer() = delete;

  // Replaces the table by a copy of name=value lines; nullptr empties it.
  static void Update(const std::vector<std::string>* AStrings);
  // The table's value for the key (names compared without case), or the key
  // itself when the value is empty or absent.
  static std::string Lookup(const std::string& AKey);
  static std::string GetMsg(TMalwareLocalizerStr AStr);
  static std::string MsgF(TMalwareLocalizerStr AStr, const std::vector<std::string>& AArgs);
  static std::string GetRuleName(TMalwareRuleType ARuleType);
};

}  // namespace quillmark
