// Dangerous-file-name rule: a run of four spaces in a file name, or a name
// that is nothing but an extension, ends the analysis as malicious.
#pragma once

#include <string>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

struct TDangerousFileNameResultFields {
  TDangerousFileNameCauses FCauses = 0;
};

class TMalwareRuleResultDangerousFileName
    : public TMalwareRuleResultOf<"TMalwareRuleResultDangerousFileName", TDangerousFileNameResultFields,
                                  IMalwareRuleResultDangerousFileName> {
 public:
  TDangerousFileNameCauses GetCauses() override { return FCauses; }

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleDangerousFileName : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleDangerousFileName"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultDangerousFileName(); }

 private:
  // One test per cause: rccMalicious when the cause is present, else rccSkip.
  TRuleCheckCode TestCause(TDangerousFileNameCause ACause, const std::string& AName, Extended& APercent);
  TRuleCheckCode TestManyGaps(const std::string& AName);
  static TRuleCheckCode TestPEEmptyName(const std::string& AName);
};

}  // namespace quillmark
