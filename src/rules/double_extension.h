// Double-extension rule: a decoy extension in front of the real one
// ("invoice.pdf.exe"), judged from the name alone.
#pragma once

#include <string>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

struct TDoubleExtensionResultFields {
  std::string FSecondExt;
  std::int32_t FSecondExtImageIndex = -1;
  std::string FNameWithoutSecondExt;
};

class TMalwareRuleResultDoubleExtension
    : public TMalwareRuleResultOf<"TMalwareRuleResultDoubleExtension", TDoubleExtensionResultFields,
                                  IMalwareRuleResultDoubleExtension> {
 public:
  std::string GetSecondExt() override { return FSecondExt; }
  std::int32_t GetSecondExtImageIndex() override { return FSecondExtImageIndex; }
  std::string GetNameWithoutSecondExt() override { return FNameWithoutSecondExt; }

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleDoubleExtension : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleDoubleExtension"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultDoubleExtension(); }
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;
};

}  // namespace quillmark
