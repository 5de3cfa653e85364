/* A small DLL with one export and version information. */
#include <windows.h>

__declspec(dllexport) int __cdecl GreeterAdd(int a, int b) { return a + b; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance, (void)reason, (void)reserved;
  return TRUE;
}
