// Identifiers of the rule types ("mhRuleEntropy"), as hosts, messages and
// the command line name them.
#include <cstdint>
#include <string>

#include "quillmark/malware_heuristic.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {
constexpr const char* kRuleTypeIdentifiers[kMalwareRuleTypeCount] = {
    "mhRuleSignedFile",       "mhRuleIncorrectFileLocation", "mhRuleEntropy",       "mhRuleDangerousFileName",
    "mhRuleHarmonyName",      "mhRuleSuspiciousPath",        "mhRuleNoCompanyInfo", "mhRuleNoIcon",
    "mhRuleDoubleExtension",  "mhRuleFakeExtension",         "mhRuleNoMainWindow",  "mhRuleOpenNetworkPorts",
    "mhRuleSuspiciousRegistry", "mhRuleAutoStart",
};
}  // namespace

const char* RuleTypeIdentifier(TMalwareRuleType t) {
  auto i = static_cast<std::uint32_t>(t);
  return i < kMalwareRuleTypeCount ? kRuleTypeIdentifiers[i] : "";
}

bool RuleTypeFromIdentifier(const std::string& s, TMalwareRuleType& out) {
  for (int i = 0; i < kMalwareRuleTypeCount; ++i) {
    if (SameTextAscii(kRuleTypeIdentifiers[i], s)) {
      out = static_cast<TMalwareRuleType>(i);
      return true;
    }
  }
  return false;
}

}  // namespace quillmark
