// What every rule-specific result class has in common, written once: the
// IUnknown slots, the class name, QueryInterface answering the rule's result
// interface, GetPercentageMatch reached through either interface base, and a
// Reset that puts every field back to the value its declaration gives it.
//
// A rule declares its fields in a struct (with their initial values), the
// getters of its interface, and GetDetails:
//
//   struct TEntropyResultFields { Extended FEntropy = 0; };
//   class TMalwareRuleResultEntropy
//       : public TMalwareRuleResultOf<"TMalwareRuleResultEntropy", TEntropyResultFields,
//                                     IMalwareRuleResultEntropy> { ... };
#pragma once

#include <algorithm>
#include <cstddef>

#include "rules/rule_custom.h"

namespace quillmark {

// A class name as a template argument.
template <std::size_t N>
struct TResultClassName {
  constexpr TResultClassName(const char (&AName)[N]) { std::copy_n(AName, N, Value); }
  char Value[N];
};

// AName: the class name hosts and logs see; TFields: the result's own fields,
// a base of the class; IInterfaces: the result interfaces it answers beside
// IMalwareRuleResult (none for a result with no interface of its own).
template <TResultClassName AName, class TFields, class... IInterfaces>
class TMalwareRuleResultOf : public TMalwareRuleResult, public IInterfaces..., public TFields {
 public:
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return AName.Value; }
  Extended GetPercentageMatch() override { return PercentageMatch(); }

  // Percent and threats cleared, and every field back to its initial value.
  void Reset() override {
    TMalwareRuleResult::Reset();
    static_cast<TFields&>(*this) = TFields{};
  }

 protected:
  void* GetInterface(const GUID& iid) override {
    void* found = nullptr;
    ((found = found ? found : iid == IInterfaces::IID ? static_cast<IInterfaces*>(this) : nullptr), ...);
    return found ? found : TMalwareRuleResult::GetInterface(iid);
  }
};

}  // namespace quillmark
