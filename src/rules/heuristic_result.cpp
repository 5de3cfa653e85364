#include "rules/heuristic_result.h"

namespace quillmark {

runtime::TInstanceCounter TMalwareHeuristicResult::Instances;
const runtime::TClassInfo TMalwareHeuristicResult::ClassInfo{
    "TMalwareHeuristicResult",
    []() -> IUnknown* { return static_cast<IMalwareHeuristicResult*>(new TMalwareHeuristicResult()); },
    &TMalwareHeuristicResult::Instances};

TMalwareHeuristicResult::TMalwareHeuristicResult() {
  Instances.Inc();
  Reset();
}

void* TMalwareHeuristicResult::GetInterface(const GUID& iid) {
  if (iid == IUnknown::IID || iid == IMalwareHeuristicResult::IID) return static_cast<IMalwareHeuristicResult*>(this);
  if (iid == ILinkObjectInterface::IID) return static_cast<ILinkObjectInterface*>(this);
  return nullptr;
}

void TMalwareHeuristicResult::Reset() {
  FPercentageMatch = 0;
  FMalwareID = kDefaultMalwareID;
  FRules.clear();
}

Extended TMalwareHeuristicResult::GetRulePercent(TMalwareRuleType AType) {
  auto it = FRules.find(AType);
  return it == FRules.end() || !it->second ? 0.0L : it->second->GetPercentageMatch();
}

bool TMalwareHeuristicResult::CheckRulesAnd(std::initializer_list<TMalwareRuleType> ATypes) {
  for (TMalwareRuleType t : ATypes)
    if (!(GetRulePercent(t) > kLowerPercent)) return false;
  return true;
}

bool TMalwareHeuristicResult::CheckRulesOr(std::initializer_list<TMalwareRuleType> ATypes) {
  for (TMalwareRuleType t : ATypes)
    if (GetRulePercent(t) > kLowerPercent) return true;
  return false;
}

}  // namespace quillmark
