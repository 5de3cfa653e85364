// Compiled with mingw-w64 by check_windows_headers.cmake, never run: where
// <windows.h> makes GetObject a macro (GetObjectW under UNICODE), a call
// spelled GetObject still compiles against ILinkObjectInterface, directly and
// through LinkedObject, and a class implementing the slot declares its
// override with the macro held off.
#include <windows.h>

#include "rules/rule_custom.h"

#ifndef GetObject
#error "<windows.h> no longer defines GetObject: this check tests nothing"
#endif

namespace {
using namespace quillmark;

#pragma push_macro("GetObject")
#undef GetObject
struct TLinked final : ILinkObjectInterface {
  HRESULT QueryInterface(const quillmark::GUID&, void**) override { return E_NOINTERFACE; }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  void* GetObject() override { return this; }
};
#pragma pop_macro("GetObject")

[[maybe_unused]] void* Calls(TMalwareRuleResult* AResult, TLinked& ALinked) {
  ComPtr<IMalwareRuleResult> result(AResult);
  void* object = result.As<ILinkObjectInterface>()->GetObject();
  if (LinkedObject<TMalwareRuleResult>(result) != object) return nullptr;
  ILinkObjectInterface& link = ALinked;
  return link.GetObject();
}
}  // namespace
