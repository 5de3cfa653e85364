// Hook run after the combination when the verdict is not yet decisive: the
// place for a further evaluation of the combined result.
#pragma once

#include "interfaces/malware_rule_internal.h"

namespace quillmark {

class TMalwareHeuristic;
class TMalwareHeuristicResult;

class THeuristicResultLogic {
 public:
  explicit THeuristicResultLogic(TMalwareHeuristic* AOwner) : FOwner(AOwner) {}
  virtual ~THeuristicResultLogic() = default;

  void Execute(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult);

 protected:
  virtual void Prepare() {}
  virtual void Evaluate() {}
  virtual void Complete() {}

  TMalwareHeuristic* FOwner;
  PRuleAnalyzeParams FParams = nullptr;
  TMalwareHeuristicResult* FResult = nullptr;
};

}  // namespace quillmark
