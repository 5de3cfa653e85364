// The library's three C entry points, as a host finds them with dlsym.
#pragma once

#include <cstdint>

#include "quillmark/base.h"

#if defined(_WIN32)
// The shell's DLLVERSIONINFO / DLLVERSIONINFO2 records and DLLVER_PLATFORM_*
// values, as a host that includes <shlwapi.h> itself knows them.
#include <shlwapi.h>
#else
extern "C" {

// Shell DLLVERSIONINFO / DLLVERSIONINFO2 records, laid out as on Windows.
struct DLLVERSIONINFO {
  std::uint32_t cbSize;
  std::uint32_t dwMajorVersion;
  std::uint32_t dwMinorVersion;
  std::uint32_t dwBuildNumber;
  std::uint32_t dwPlatformID;
};

struct DLLVERSIONINFO2 {
  DLLVERSIONINFO info1;
  std::uint32_t dwFlags;
  std::uint64_t ullVersion;  // major << 48 | minor << 32 | build << 16 | qfe
};
}

constexpr std::uint32_t DLLVER_PLATFORM_WINDOWS = 1;
constexpr std::uint32_t DLLVER_PLATFORM_NT = 2;
#endif

// The entry points have C names and the shell's calling convention; on
// Windows DllCanUnloadNow is also the declaration <combaseapi.h> makes.
extern "C" {

QUILLMARK_API quillmark::HRESULT QUILLMARK_STDCALL DllGetInstance(const quillmark::GUID& IID, void** Obj);
QUILLMARK_API quillmark::HRESULT QUILLMARK_STDCALL DllCanUnloadNow();
QUILLMARK_API quillmark::HRESULT QUILLMARK_STDCALL DllGetVersion(DLLVERSIONINFO2* pdvi);

using TDllGetInstance = quillmark::HRESULT(QUILLMARK_STDCALL*)(const quillmark::GUID&, void**);
using TDllCanUnloadNow = quillmark::HRESULT(QUILLMARK_STDCALL*)();
using TDllGetVersion = quillmark::HRESULT(QUILLMARK_STDCALL*)(DLLVERSIONINFO2*);
}
