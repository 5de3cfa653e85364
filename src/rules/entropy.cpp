#include "rules/entropy.h"

#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"

namespace quillmark {

// --- TMalwareRuleResultEntropy ------------------------------------------------

void TMalwareRuleResultEntropy::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"entropy", FEntropy});
}

// --- TMalwareRuleEntropy ------------------------------------------------------

IEntropy& TMalwareRuleEntropy::Entropy() {
  std::shared_ptr<runtime::ITargetSystem> target = Owner() ? Owner()->TargetPtr() : runtime::LiveHost();
  if (!FEntropy || FEntropyTarget != target) {
    FEntropy = TEntropyUtils::GetEntropy(target);
    FEntropyTarget = std::move(target);
  }
  return *FEntropy;
}

void TMalwareRuleEntropy::Score(bool AMeasured, Extended& APercent) {
  if (!AMeasured) return;
  const Extended value = FEntropy->GetEntropyValue();
  if (auto* result = dynamic_cast<TMalwareRuleResultEntropy*>(&RuleResult())) result->SetEntropy(value);
  if (value > kEntropyThreshold) APercent = 100;
}

TRuleCheckCode TMalwareRuleEntropy::CheckFile(const std::string& AFileName, Extended& APercent) {
  // The measuring object is always the library's own (GetEntropy).
  auto& measure = static_cast<TEntropyUtils::TEntropy&>(Entropy());
  bool measured = false;
  try {
    measured = measure.CalculateSecondSection(AnalyzedFile(AFileName));
  } catch (const std::exception&) {
    measured = false;
  }
  Score(measured, APercent);
  return TRuleCheckCode::rccContinue;
}

TRuleCheckCode TMalwareRuleEntropy::CheckMemory(const void* AMemory, std::uint32_t AMemorySize, Extended& APercent) {
  Score(Entropy().Calculate(AMemory, AMemorySize), APercent);
  return TRuleCheckCode::rccContinue;
}

TMalwareRuleSupportedTypes TMalwareRuleEntropy::DoGetSupportedTypes() const {
  return SupportedTypeBit(TMalwareRuleSupportedType::mrstFile) | SupportedTypeBit(TMalwareRuleSupportedType::mrstMemory);
}

void TMalwareRuleEntropy::DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                                        TMalwareRuleResult* ARuleResult) {
  (void)ARuleResult;
  if (!AParams || !AResult || AParams->ParamsType == TMalwareRuleSupportedType::mrstMemory) return;
  using enum TMalwareRuleType;

  // High entropy in an unsigned file in a suspicious folder, with one more
  // sign of a disguised program.
  if (AResult->CheckRulesAnd({mhRuleSuspiciousPath, mhRuleSignedFile}) &&
      AResult->CheckRulesOr({mhRuleHarmonyName, mhRuleNoCompanyInfo, mhRuleNoMainWindow, mhRuleSuspiciousRegistry})) {
    if (AResult->GetRulePercent(mhRuleSuspiciousRegistry) > 0)
      AResult->SetPercentageMatch(100);
    else
      AResult->SetPercentageMatch(std::max<Extended>(60, AResult->PercentageMatch()));
    return;
  }
  if (AResult->CheckRulesAnd({mhRuleSignedFile, mhRuleFakeExtension, mhRuleSuspiciousPath}) ||
      AResult->CheckRulesAnd({mhRuleSuspiciousPath, mhRuleNoIcon, mhRuleOpenNetworkPorts}) ||
      AResult->CheckRulesAnd({mhRuleSuspiciousRegistry, mhRuleNoCompanyInfo}))
    AResult->SetPercentageMatch(100);
}

}  // namespace quillmark
