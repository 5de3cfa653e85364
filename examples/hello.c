/* A well-behaved little GUI program with an icon and version information. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)instance, (void)previous, (void)command_line, (void)show;
  MessageBoxA(NULL, "Hello from a Quillmark example.", "Hello", MB_OK | MB_ICONINFORMATION);
  return 0;
}
