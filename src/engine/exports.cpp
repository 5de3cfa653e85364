// The library's three entry points.
#include "quillmark/exports.h"
#include "quillmark/host_api.h"

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

#define QM_TEXT(x) #x
#define QM_VERSION_TEXT(a, b, c) QM_TEXT(a) "." QM_TEXT(b) "." QM_TEXT(c)

QUILLMARK_API const char* QuillmarkVersion(void) {
  return QM_VERSION_TEXT(QUILLMARK_VERSION_MAJOR, QUILLMARK_VERSION_MINOR, QUILLMARK_VERSION_PATCH);
}
}
