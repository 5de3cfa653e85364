#include "support/scripted_rule.h"

#include <stdexcept>

namespace quillmark::test {

TRuleJournal& Journal() {
  static TRuleJournal j;
  return j;
}

std::map<TMalwareRuleType, TRuleScript>& Scripts() {
  static std::map<TMalwareRuleType, TRuleScript> s;
  return s;
}

std::vector<TMalwareRuleType> AllRuleTypes() {
  std::vector<TMalwareRuleType> all;
  for (int i = 0; i < kMalwareRuleTypeCount; ++i) all.push_back(static_cast<TMalwareRuleType>(i));
  return all;
}

TRuleCheckCode TScriptedRule::Run(Extended& APercent) {
  Journal().Checked.push_back(GetRuleType());
  const TRuleScript& s = Scripts()[GetRuleType()];
  if (s.DuringCheck) s.DuringCheck();
  for (Extended p : s.ProgressReports)
    if (!DoProgress(p)) return TRuleCheckCode::rccContinue;
  if (s.Throw) throw std::runtime_error("scripted failure");
  APercent = s.Percent;
  return s.Code;
}

TRuleCheckCode TScriptedRule::CheckFile(const std::string&, Extended& APercent) { return Run(APercent); }

TRuleCheckCode TScriptedRule::CheckMemory(const void*, std::uint32_t, Extended& APercent) { return Run(APercent); }

TMalwareRuleSupportedTypes TScriptedRule::DoGetSupportedTypes() const {
  auto it = Scripts().find(const_cast<TScriptedRule*>(this)->GetRuleType());
  TMalwareRuleSupportedTypes t = SupportedTypeBit(TMalwareRuleSupportedType::mrstFile);
  if (it != Scripts().end() && it->second.SupportsMemory) t |= SupportedTypeBit(TMalwareRuleSupportedType::mrstMemory);
  return t;
}

void TScriptedRule::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                  TMalwareRuleResult* ARuleResult) {
  Journal().PostPassed.push_back(GetRuleType());
  const TRuleScript& s = Scripts()[GetRuleType()];
  if (s.PostPass) s.PostPass(*AResult, *ARuleResult);
}

TScriptedRegistry::TScriptedRegistry(std::vector<TMalwareRuleType> ATypes) {
  for (TMalwareRuleType t : AllRuleTypes()) {
    FSaved[t] = TMalwareHeuristic::RegisteredRule(t);
    TMalwareHeuristic::RegisterRule(t, nullptr);
  }
  for (TMalwareRuleType t : ATypes) TMalwareHeuristic::RegisterRule(t, &RuleClassOf<TScriptedRule>);
  Scripts().clear();
  Journal().Clear();
}

TScriptedRegistry::~TScriptedRegistry() {
  for (auto& [t, cls] : FSaved) TMalwareHeuristic::RegisterRule(t, cls);
  Scripts().clear();
  Journal().Clear();
}

}  // namespace quillmark::test
