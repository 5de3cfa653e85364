// The live Linux host as a target system.
#pragma once

#include "runtime/posix/posix_files.h"
#include "runtime/target_system.h"

namespace quillmark::runtime::posix {

// Windows version a live Linux host reports (the catalogue's rows are judged
// against it).
constexpr TWindowsVersion kLiveHostWindowsVersion = TWindowsVersion::wvWin10;

class TLiveHost : public ITargetSystem {
 public:
  TPathSyntax PathSyntax() const override { return TPathSyntax::psPosix; }
  bool FileExists(const std::string& path) override { return PosixFileExists(path); }
  bool DirectoryExists(const std::string& path) override { return PosixDirectoryExists(path); }
  std::unique_ptr<IReadOnlyFile> OpenFileForRead(const std::string& path) override { return OpenPosixFile(path); }
  std::vector<TDirectoryEntry> ListDirectory(const std::string& folder) override;
  std::string EnvironmentVariable(const std::string& name) override;
  std::string GetSpecialFolder(int csidl) override;
  std::string WindowsDirectory() override { return {}; }
  TWindowsVersion WindowsVersion() override { return kLiveHostWindowsVersion; }
  // From /proc. A Windows program that runs under Wine is shown with the
  // Linux path of its PE file (runtime/posix/wine_paths.h).
  std::vector<TProcessEntry> EnumerateProcesses() override;
  // The windows of the X11 display named by DISPLAY; none when it is unset
  // (libX11 is then never loaded) or the display cannot be reached.
  std::vector<TWindowEntry> EnumerateTopLevelWindows() override;
  // /proc/net/tcp with owners from /proc/<pid>/fd (runtime/posix/tcp_table.h).
  std::vector<TTcpRowOwnerPid> GetTcpTable() override;
  std::uint64_t GetTickCount64() override;
  // From the shared-mime-info database (runtime/posix/mime_icons.h).
  int ExtensionIconIndex(const std::string& ext) override;
  // The home Trash ($XDG_DATA_HOME/Trash) and the per-volume ".Trash-UID" and
  // ".Trash/UID" folders of every mounted disk file system.
  std::vector<std::string> RecycleBinFolders() override;
};

}  // namespace quillmark::runtime::posix
