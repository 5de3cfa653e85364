#include "engine/dictionaries.h"

namespace quillmark {

void TMalwareHeuristicDictionaries::CloseAll() {
  std::lock_guard<std::mutex> guard(FSync);
  (void)FOwner;
}

}  // namespace quillmark
