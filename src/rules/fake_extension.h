// Fake-extension rule: an executable image whose extension is not one under
// which executable images live (a PE file named "photo.jpg").
#pragma once

#include <string>
#include <unordered_set>

#include "rules/rule_custom.h"

namespace quillmark {

class TMalwareRuleFakeExtension : public TMalwareRuleCustom {
 public:
  TMalwareRuleFakeExtension(IRuleHost* AOwner, TMalwareRuleType ARuleType);
  const char* ClassName() const override { return "TMalwareRuleFakeExtension"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;

 private:
  // The executable extensions, lower-case, dot included.
  std::unordered_set<std::string> FIgnoreExtensions;
};

}  // namespace quillmark
