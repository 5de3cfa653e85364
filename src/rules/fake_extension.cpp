#include "rules/fake_extension.h"

#include <algorithm>

#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"
#include "rules/threats_file_info.h"
#include "runtime/target_system.h"
#include "support/file_utils.h"

namespace quillmark {

TMalwareRuleFakeExtension::TMalwareRuleFakeExtension(IRuleHost* AOwner, TMalwareRuleType ARuleType)
    : TMalwareRuleCustom(AOwner, ARuleType) {
  for (std::string_view ext : FileUtils::ExecutableExtensions) FIgnoreExtensions.emplace(ext);
}

TRuleCheckCode TMalwareRuleFakeExtension::CheckFile(const std::string& AFileName, Extended& APercent) {
  std::string ext = Target().ExtractFileExt(AFileName);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (!FIgnoreExtensions.contains(ext)) {
    APercent = 100;
    RuleResult().AddThreat<ThreatFileName>(TThreatSubGroup::tsgDangerous, -1);
  }
  return TRuleCheckCode::rccContinue;
}

void TMalwareRuleFakeExtension::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                              TMalwareRuleResult*) {
  using R = TMalwareRuleType;
  if (!AResult->CheckRulesAnd({R::mhRuleSignedFile, R::mhRuleHarmonyName, R::mhRuleNoCompanyInfo})) return;
  if (AResult->GetRulePercent(R::mhRuleEntropy) > 0)
    AResult->SetPercentageMatch(100);
  else
    AResult->SetPercentageMatch(std::max<Extended>(50, AResult->PercentageMatch()));
}

}  // namespace quillmark
