#include "rules/rule_registration.h"

#include "engine/malware_heuristic.h"

namespace quillmark {

void RegisterBuiltinRules() {
  // Each rule unit adds its line here as it joins the library.
}

}  // namespace quillmark
