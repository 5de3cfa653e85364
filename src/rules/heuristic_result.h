// The result of one analysis: the overall percentage, the threat and every
// rule's stored result. Rules read it in their post-passes; the engine fills it.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "quillmark/malware_heuristic.h"
#include "runtime/interfaced_object.h"

namespace quillmark {

// Percent bounds of the verdict.
constexpr Extended kDecisivePercent = 90.0L;
constexpr Extended kLowerPercent = 0.0L;
constexpr Extended kUpperPercent = 100.0L;
constexpr std::int32_t kDefaultMalwareID = 8000001;

class TMalwareHeuristicResult : public runtime::TInterfacedObject,
                                public ILinkObjectInterface,
                                public IMalwareHeuristicResult {
 public:
  static runtime::TInstanceCounter Instances;
  static const runtime::TClassInfo ClassInfo;

  TMalwareHeuristicResult();
  ~TMalwareHeuristicResult() override { Instances.Dec(); }
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TMalwareHeuristicResult"; }

#pragma push_macro("GetObject")  // the slot's own name, never <windows.h>'s macro
#undef GetObject
  void* GetObject() override { return this; }
#pragma pop_macro("GetObject")
  Extended GetPercentageMatch() override { return FPercentageMatch; }
  const TMalwareRuleResultMap& GetRules() override { return FRules; }
  std::int32_t GetMalwareID() override { return FMalwareID; }

  Extended PercentageMatch() const { return FPercentageMatch; }
  void SetPercentageMatch(Extended AValue) { FPercentageMatch = AValue; }
  TMalwareRuleResultMap& Rules() { return FRules; }
  std::int32_t MalwareID() const { return FMalwareID; }
  void SetMalwareID(std::int32_t AValue) { FMalwareID = AValue; }

  // Percentage 0, threat 8000001, no rule results.
  void Reset();
  void AddPercent(Extended APercent) { FPercentageMatch += APercent; }
  // Percentage of the result stored for AType, 0 when there is none.
  Extended GetRulePercent(TMalwareRuleType AType);
  // Every listed rule scored above 0 (true for an empty list).
  bool CheckRulesAnd(std::initializer_list<TMalwareRuleType> ATypes);
  // Some listed rule scored above 0 (false for an empty list).
  bool CheckRulesOr(std::initializer_list<TMalwareRuleType> ATypes);
  // The stored result for AType as interface I (empty when absent or when it
  // does not answer for I).
  template <class I>
  ComPtr<I> RuleResultAs(TMalwareRuleType AType) {
    auto it = FRules.find(AType);
    return it == FRules.end() ? ComPtr<I>() : it->second.template As<I>();
  }

 protected:
  void* GetInterface(const GUID& iid) override;

 private:
  Extended FPercentageMatch = 0;
  TMalwareRuleResultMap FRules;
  std::int32_t FMalwareID = kDefaultMalwareID;
};

}  // namespace quillmark
