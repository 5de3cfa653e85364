#include "rules/harmony_name.h"

#include "db/harmony_strings.h"
#include "db/knowledge_keys.h"
#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"
#include "rules/threats_file_info.h"
#include "runtime/target_system.h"
#include "support/sys_utils.h"

namespace quillmark {

// --- result ---------------------------------------------------------------------

void TMalwareRuleResultHarmonyName::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"totalFactor", FTotalFactor});
  ADetails.push_back({"averageFactor", FAverageFactor});
  ADetails.push_back({"isGuid", FIsGuid});
}

// --- rule -----------------------------------------------------------------------

TRuleCheckCode TMalwareRuleHarmonyName::CheckFile(const std::string& AFileName, Extended& APercent) {
  std::string stem = Target().ExtractFileName(AFileName);
  if (auto dot = stem.rfind('.'); dot != std::string::npos) stem.erase(dot);
  const std::string name(TKnowledgeKeys::Trim(stem));
  if (TMalwareHarmonyStrings::SplitCharacters(name).size() < 2 || !Owner()) return TRuleCheckCode::rccContinue;

  TStringHarmonyInfo info;
  if (!Owner()->HarmonyStrings().GetStringInfo(name, &info)) return TRuleCheckCode::rccContinue;

  auto& result = static_cast<TMalwareRuleResultHarmonyName&>(RuleResult());
  result.FTotalFactor = info.Total;
  result.FAverageFactor = info.Average;
  if (info.IsRandomString(kRandomAverage)) {
    result.AddThreat<ThreatFileName>(TThreatSubGroup::tsgSuspicious, -1);
    APercent = 100;
  } else if (TSysUtils::IsGUID(name)) {
    result.AddThreat<ThreatFileName>(TThreatSubGroup::tsgSuspicious, -1);
    result.FIsGuid = true;
    APercent = 50;
  }
  return TRuleCheckCode::rccContinue;
}

void TMalwareRuleHarmonyName::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                            TMalwareRuleResult*) {
  using R = TMalwareRuleType;
  if (AResult->GetRulePercent(R::mhRuleSuspiciousPath) <= 0) return;
  auto path = AResult->RuleResultAs<IMalwareRuleResultSuspiciousPath>(R::mhRuleSuspiciousPath);
  if (!path || path->GetFolderType() == TSuspiciousPathResultFolder::sprFolderWindows) return;
  if (!AResult->CheckRulesAnd({R::mhRuleSignedFile, R::mhRuleOpenNetworkPorts})) return;
  AResult->SetPercentageMatch(100);
}

}  // namespace quillmark
