// Dangerous-file-name rule: a run of four spaces in a file name, or a name
// that is nothing but an extension, ends the analysis as malicious.
#pragma once

#include <string>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"

namespace quillmark {

class TMalwareRuleResultDangerousFileName : public TMalwareRuleResult, public IMalwareRuleResultDangerousFileName {
 public:
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TMalwareRuleResultDangerousFileName"; }
  Extended GetPercentageMatch() override { return TMalwareRuleResult::GetPercentageMatch(); }
  TDangerousFileNameCauses GetCauses() override { return FCauses; }

  void Reset() override;
  void GetDetails(TRuleResultDetails& ADetails) const override;

  TDangerousFileNameCauses FCauses = 0;

 protected:
  void* GetInterface(const GUID& iid) override;
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
