#include "runtime/interfaced_object.h"

#include <cstdio>
#include <string>

namespace quillmark {

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return buf;
}

}  // namespace quillmark

namespace quillmark::runtime {

HRESULT DllGetInstanceInternal(const GUID& iid, void** obj, std::initializer_list<const TClassInfo*> classes) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  for (const TClassInfo* cls : classes) {
    IUnknown* instance = cls->Create();
    if (!instance) continue;
    instance->AddRef();
    HRESULT hr = instance->QueryInterface(iid, obj);
    instance->Release();  // the queried interface, if any, holds the host's reference
    if (hr == S_OK) return S_OK;
    *obj = nullptr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNowInternal(std::initializer_list<const TClassInfo*> classes) {
  for (const TClassInfo* cls : classes)
    if (cls->Instances && cls->Instances->Count() > 0) return S_FALSE;
  return S_OK;
}

HRESULT DllGetVersionInternal(const std::string& moduleFileName, DLLVERSIONINFO2* info) {
  (void)moduleFileName;  // the version is compiled in; the module name is kept for the contract
  if (!info) return E_POINTER;
  if (info->info1.cbSize != sizeof(DLLVERSIONINFO) && info->info1.cbSize != sizeof(DLLVERSIONINFO2))
    return E_INVALIDARG;
  info->info1.dwMajorVersion = QUILLMARK_VERSION_MAJOR;
  info->info1.dwMinorVersion = QUILLMARK_VERSION_MINOR;
  info->info1.dwBuildNumber = QUILLMARK_VERSION_PATCH;
  info->info1.dwPlatformID = DLLVER_PLATFORM_NT;
  if (info->info1.cbSize == sizeof(DLLVERSIONINFO2)) {
    info->dwFlags = 0;
    info->ullVersion = (std::uint64_t(QUILLMARK_VERSION_MAJOR) << 48) |
                       (std::uint64_t(QUILLMARK_VERSION_MINOR) << 32) |
                       (std::uint64_t(QUILLMARK_VERSION_PATCH) << 16);
  }
  return S_OK;
}

}  // namespace quillmark::runtime
