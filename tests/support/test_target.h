// A configurable target system for tests. Its environment, folders, version,
// process list, clock and device names are set by the test; its files are
// real files under a host folder, so file access goes through the live
// host's code paths.
//
// With Windows path syntax, "C:\dir\f.exe" lives at <root>/C/dir/f.exe and
// "\\server\share\f" at <root>/UNC/server/share/f; the long-path prefix is
// understood. With POSIX syntax a path lives at <root><path>.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runtime/target_system.h"

namespace quillmark::test {

class TTestTarget : public runtime::ITargetSystem {
 public:
  explicit TTestTarget(std::string hostRoot = {}, runtime::TPathSyntax syntax = runtime::TPathSyntax::psWindows);
  ~TTestTarget() override;

  // --- configuration --------------------------------------------------------
  // Names compare without regard to case on a Windows target.
  TTestTarget& SetEnvironmentVariable(const std::string& name, const std::string& value);
  TTestTarget& SetSpecialFolder(int csidl, const std::string& path);
  TTestTarget& SetWindowsDirectory(const std::string& path);
  TTestTarget& SetWindowsVersion(runtime::TWindowsVersion v);
  TTestTarget& SetProcesses(std::vector<runtime::TProcessEntry> processes);
  TTestTarget& SetTickCount64(std::uint64_t ticks);
  TTestTarget& AdvanceTicks(std::uint64_t ms);
  TTestTarget& SetDosDevices(std::vector<std::pair<std::string, std::string>> devices);
  // Paths without the long-path prefix that are this long or longer neither
  // exist nor open (as MAX_PATH on Windows); 0 turns the limit off.
  TTestTarget& SetMaxPathLength(std::size_t length);

  // Where a target path lives on the host.
  std::string HostPath(const std::string& targetPath) const;
  // Paths handed to OpenFileForRead, in order.
  const std::vector<std::string>& OpenedPaths() const { return FOpened; }
  int DosDevicesCalls() const { return FDosDevicesCalls; }

  // --- ITargetSystem -----------------------------------------------------------
  runtime::TPathSyntax PathSyntax() const override { return FSyntax; }
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  std::unique_ptr<runtime::IReadOnlyFile> OpenFileForRead(const std::string& path) override;
  std::string EnvironmentVariable(const std::string& name) override;
  std::string GetSpecialFolder(int csidl) override;
  std::string WindowsDirectory() override { return FWindowsDirectory; }
  runtime::TWindowsVersion WindowsVersion() override { return FVersion; }
  std::vector<runtime::TProcessEntry> EnumerateProcesses() override { return FProcesses; }
  std::uint64_t GetTickCount64() override { return FTicks; }
  std::vector<std::pair<std::string, std::string>> DosDevices() override;

 private:
  std::string EnvKey(const std::string& name) const;
  bool TooLong(const std::string& path) const;

  std::string FRoot;
  runtime::TPathSyntax FSyntax;
  std::map<std::string, std::string> FEnvironment;
  std::map<int, std::string> FSpecialFolders;
  std::string FWindowsDirectory;
  runtime::TWindowsVersion FVersion = runtime::TWindowsVersion::wvWin10;
  std::vector<runtime::TProcessEntry> FProcesses;
  std::uint64_t FTicks = 0;
  std::vector<std::pair<std::string, std::string>> FDosDevices;
  int FDosDevicesCalls = 0;
  std::size_t FMaxPathLength = 0;
  std::vector<std::string> FOpened;
};

}  // namespace quillmark::test
