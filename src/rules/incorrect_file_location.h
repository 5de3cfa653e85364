// Incorrect-location rule: a file that bears the name of a Windows system
// file but lies outside every folder where that file belongs is probably
// hiding behind the name; one in its own folder is the system file itself.
#pragma once

#include <string>
#include <vector>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

struct TIncorrectFileLocationResultFields {
  std::vector<std::string> FPaths;
};

class TMalwareRuleResultIncorrectFileLocation
    : public TMalwareRuleResultOf<"TMalwareRuleResultIncorrectFileLocation", TIncorrectFileLocationResultFields,
                                  IMalwareRuleResultIncorrectFileLocation> {
 public:
  const std::vector<std::string>& GetPaths() override { return FPaths; }

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleIncorrectFileLocation : public TMalwareRuleCustom {
 public:
  // The rule percent of a system-file name outside its folders; above 100 so
  // that it weighs more than one rule in the mean.
  static constexpr Extended kMisplacedPercent = 150;

  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleIncorrectFileLocation"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultIncorrectFileLocation(); }
  // A misplaced system-file name outside the Windows folder itself makes the
  // whole analysis 100.
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;

 private:
  // A path in the form folders compare in on the target: Unicode lower case
  // with "\" as the only delimiter on a Windows target, unchanged otherwise.
  std::string ComparableFolder(const std::string& APath) const;
};

}  // namespace quillmark
