// The library's three C entry points, as a host finds them with dlsym.
#pragma once

#include <cstdint>

#include "quillmark/base.h"

extern "C" {

// Shell DLLVERSIONINFO / DLLVERSIONINFO2 records.
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

constexpr std::uint32_t DLLVER_PLATFORM_WINDOWS = 1;
constexpr std::uint32_t DLLVER_PLATFORM_NT = 2;

QUILLMARK_API quillmark::HRESULT DllGetInstance(const quillmark::GUID& IID, void** Obj);
QUILLMARK_API quillmark::HRESULT DllCanUnloadNow();
QUILLMARK_API quillmark::HRESULT DllGetVersion(DLLVERSIONINFO2* pdvi);

using TDllGetInstance = quillmark::HRESULT (*)(const quillmark::GUID&, void**);
using TDllCanUnloadNow = quillmark::HRESULT (*)();
using TDllGetVersion = quillmark::HRESULT (*)(DLLVERSIONINFO2*);
}
