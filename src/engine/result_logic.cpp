#include "engine/result_logic.h"

namespace quillmark {

void THeuristicResultLogic::Execute(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult) {
  FParams = AParams;
  FResult = AResult;
  Prepare();
  try {
    Evaluate();
  } catch (...) {
    Complete();
    throw;
  }
  Complete();
}

}  // namespace quillmark
