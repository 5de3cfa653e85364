// Entropy rule: scores 100 when the second section of a PE file, or a memory
// block handed in by the host, has an entropy above 7 bits per byte, the mark
// of packed or encrypted content.
#pragma once

#include <memory>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"
#include "support/entropy_utils.h"

namespace quillmark {

// Entropy above this many bits per byte scores the rule 100.
constexpr Extended kEntropyThreshold = 7.0L;

struct TEntropyResultFields {
  Extended FEntropy = 0;
};

class TMalwareRuleResultEntropy
    : public TMalwareRuleResultOf<"TMalwareRuleResultEntropy", TEntropyResultFields, IMalwareRuleResultEntropy> {
 public:
  Extended GetEntropyValue() override { return FEntropy; }

  Extended Entropy() const { return FEntropy; }
  void SetEntropy(Extended AValue) { FEntropy = AValue; }

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleEntropy : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleEntropy"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TRuleCheckCode CheckMemory(const void* AMemory, std::uint32_t AMemorySize, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultEntropy(); }
  TMalwareRuleSupportedTypes DoGetSupportedTypes() const override;
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;

 private:
  // The measuring object, made on first use for the rule's current target
  // and kept (made again only when the engine's target changes).
  IEntropy& Entropy();
  // Stores a successful measurement in the result and scores it.
  void Score(bool AMeasured, Extended& APercent);

  ComPtr<IEntropy> FEntropy;
  std::shared_ptr<runtime::ITargetSystem> FEntropyTarget;
};

}  // namespace quillmark
