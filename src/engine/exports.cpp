// The library's three entry points.
#include "quillmark/exports.h"

#include "engine/malware_heuristic.h"
#include "engine/settings.h"
#include "runtime/interfaced_object.h"
#include "runtime/target_system.h"

using namespace quillmark;

extern "C" {

QUILLMARK_API HRESULT QUILLMARK_STDCALL DllGetInstance(const GUID& IID, void** Obj) {
  return runtime::DllGetInstanceInternal(IID, Obj, {&TMalwareHeuristic::ClassInfo});
}

QUILLMARK_API HRESULT QUILLMARK_STDCALL DllCanUnloadNow() {
  return runtime::DllCanUnloadNowInternal(
      {&TMalwareHeuristic::ClassInfo, &TMalwareHeuristicResult::ClassInfo, &TMalwareHeuristicSettings::ClassInfo});
}

QUILLMARK_API HRESULT QUILLMARK_STDCALL DllGetVersion(DLLVERSIONINFO2* pdvi) {
  return runtime::DllGetVersionInternal(runtime::LibraryModuleFileName(), pdvi);
}
}
