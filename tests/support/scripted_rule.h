// A rule class for engine tests whose behaviour each test scripts per rule
// type: check code, percentage, threats, exceptions, progress reports and a
// post-pass.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/malware_heuristic.h"
#include "rules/rule_custom.h"

namespace quillmark::test {

struct TRuleScript {
  TRuleCheckCode Code = TRuleCheckCode::rccContinue;
  Extended Percent = 0;
  bool Throw = false;
  bool SupportsMemory = false;
  std::vector<Extended> ProgressReports;  // reported in order during the check, after DuringCheck
  // Runs as the rule's post-pass.
  std::function<void(TMalwareHeuristicResult&, TMalwareRuleResult&)> PostPass;
  // Runs first inside the check.
  std::function<void()> DuringCheck;
};

// Shared record of what scripted rules did, in order.
struct TRuleJournal {
  std::vector<TMalwareRuleType> Checked;
  std::vector<TMalwareRuleType> PostPassed;
  std::vector<TMalwareRuleType> Closed;
  void Clear() { *this = {}; }
};

TRuleJournal& Journal();
std::map<TMalwareRuleType, TRuleScript>& Scripts();

class TScriptedRule : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TScriptedRule"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TRuleCheckCode CheckMemory(const void* AMemory, std::uint32_t AMemorySize, Extended& APercent) override;
  TMalwareRuleSupportedTypes DoGetSupportedTypes() const override;
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;
  void DoClose() override { Journal().Closed.push_back(const_cast<TScriptedRule*>(this)->GetRuleType()); }

 private:
  TRuleCheckCode Run(Extended& APercent);
};

// Registers TScriptedRule for the given types (and nothing else) for the
// guard's lifetime; restores the registry and clears scripts afterwards.
class TScriptedRegistry {
 public:
  explicit TScriptedRegistry(std::vector<TMalwareRuleType> ATypes);
  ~TScriptedRegistry();

 private:
  std::map<TMalwareRuleType, TMalwareRuleClass> FSaved;
};

std::vector<TMalwareRuleType> AllRuleTypes();

}  // namespace quillmark::test
