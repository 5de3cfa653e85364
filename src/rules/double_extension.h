// Double-extension rule: a decoy extension in front of the real one
// ("invoice.pdf.exe"), judged from the name alone.
#pragma once

#include <string>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"

namespace quillmark {

class TMalwareRuleResultDoubleExtension : public TMalwareRuleResult, public IMalwareRuleResultDoubleExtension {
 public:
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TMalwareRuleResultDoubleExtension"; }
  Extended GetPercentageMatch() override { return TMalwareRuleResult::GetPercentageMatch(); }
  std::string GetSecondExt() override { return FSecondExt; }
  std::int32_t GetSecondExtImageIndex() override { return FSecondExtImageIndex; }
  std::string GetNameWithoutSecondExt() override { return FNameWithoutSecondExt; }

  void Reset() override;
  void GetDetails(TRuleResultDetails& ADetails) const override;

  std::string FSecondExt;
  std::int32_t FSecondExtImageIndex = -1;
  std::string FNameWithoutSecondExt;

 protected:
  void* GetInterface(const GUID& iid) override;
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
