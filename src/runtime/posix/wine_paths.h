// Where a Windows program that runs under Wine lives on the Linux side.
//
// The process image of such a program is Wine's loader (wine64, wine,
// wine64-preloader...). Wine writes the program's path, as it was given or as
// Wine resolved it, into the process's argument area (/proc/PID/cmdline),
// and drive letters are symbolic links in the prefix's dosdevices folder
// ($WINEPREFIX, by default ~/.wine).
#pragma once

#include <string>
#include <string_view>

namespace quillmark::runtime::posix {

// Whether an executable path names Wine's loader.
bool IsWineLoader(std::string_view exePath);

// Linux path of a Windows path inside a Wine prefix: "C:\dir\app.exe" through
// <prefix>/dosdevices/c:, "\??\C:\..." and "\\?\C:\..." alike, "\\?\unix\..."
// as the Linux path it holds. Components are matched without regard to case,
// as Wine does. A relative path is taken from cwd. Empty when the drive is not
// mapped or the file does not exist.
std::string WineWindowsPathToLinux(const std::string& prefix, std::string_view windowsPath,
                                   const std::string& cwd = {});

// The Linux path of the program a Wine process runs, read from
// <procRoot>/<pid>: its cmdline, its environment (WINEPREFIX, HOME), its
// working folder and, when those lead nowhere, the .exe file it has mapped
// whose name matches. Symbolic links are resolved. Empty when unreadable.
std::string WineProcessImagePath(unsigned pid, const std::string& procRoot = "/proc");

}  // namespace quillmark::runtime::posix
