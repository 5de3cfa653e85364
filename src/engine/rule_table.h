// The rule classes the library brings, by rule type.
#pragma once

#include <span>

#include "rules/rule_custom.h"

namespace quillmark {

struct TRuleRegistration {
  TMalwareRuleType Type;
  TMalwareRuleClass Class;
};

// Every built-in rule once, in rule-type order.
std::span<const TRuleRegistration> BuiltinRules();

}  // namespace quillmark
