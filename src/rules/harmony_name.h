// Harmony-name rule: a file whose name is made of letter sequences that
// ordinary file names seldom contain (xkqzvt.exe), or that is a GUID, was
// probably named by a program rather than a person.
#pragma once

#include <string>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

struct THarmonyNameResultFields {
  Extended FTotalFactor = 0;
  Extended FAverageFactor = 0;
  bool FIsGuid = false;
};

class TMalwareRuleResultHarmonyName
    : public TMalwareRuleResultOf<"TMalwareRuleResultHarmonyName", THarmonyNameResultFields,
                                  IMalwareRuleResultHarmonyName> {
 public:
  Extended GetTotalFactor() override { return FTotalFactor; }
  Extended GetAverageFactor() override { return FAverageFactor; }
  bool GetIsGuid() override { return FIsGuid; }

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleHarmonyName : public TMalwareRuleCustom {
 public:
  // An average harmony at or below this marks a random-looking name.
  static constexpr Extended kRandomAverage = 2.0L;

  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleHarmonyName"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultHarmonyName(); }
  // A random name outside the Windows folder on a signed file that holds
  // network connections makes the whole analysis 100.
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;
};

}  // namespace quillmark
