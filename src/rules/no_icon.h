// No-icon rule: a program (".exe") whose resources hold no icon; programs
// made to be started by people carry one.
#pragma once

#include <string>

#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

// The plain rule result, with what the check read for hosts that show it.
struct TNoIconResultFields {
  bool FIconFound = false;
  std::string FResourceTypes;
};

class TMalwareRuleResultNoIcon : public TMalwareRuleResultOf<"TMalwareRuleResultNoIcon", TNoIconResultFields> {
 public:
  // The resource types of the latest file ("#3", "#16", "MYTYPE") and
  // whether one of them is an icon.
  void SetEvidence(bool AIconFound, std::string AResourceTypes);
  bool IconFound() const { return FIconFound; }
  const std::string& ResourceTypes() const { return FResourceTypes; }

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleNoIcon : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleNoIcon"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultNoIcon(); }
};

}  // namespace quillmark
