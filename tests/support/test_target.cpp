#include "support/test_target.h"

#include <cerrno>

#include "runtime/posix/live_host.h"
#include "support/file_utils.h"

namespace quillmark::test {

TTestTarget::TTestTarget(std::string hostRoot, runtime::TPathSyntax syntax)
    : FRoot(std::move(hostRoot)), FSyntax(syntax) {
  while (!FRoot.empty() && FRoot.back() == '/') FRoot.pop_back();
}

TTestTarget::~TTestTarget() { FileUtils::ReleaseDosDeviceMap(*this); }

TTestTarget& TTestTarget::SetEnvironmentVariable(const std::string& name, const std::string& value) {
  FEnvironment[EnvKey(name)] = value;
  return *this;
}

TTestTarget& TTestTarget::SetSpecialFolder(int csidl, const std::string& path) {
  FSpecialFolders[csidl] = path;
  return *this;
}

TTestTarget& TTestTarget::SetWindowsDirectory(const std::string& path) {
  FWindowsDirectory = path;
  return *this;
}

TTestTarget& TTestTarget::SetWindowsVersion(runtime::TWindowsVersion v) {
  FVersion = v;
  return *this;
}

TTestTarget& TTestTarget::SetProcesses(std::vector<runtime::TProcessEntry> processes) {
  FProcesses = std::move(processes);
  return *this;
}

TTestTarget& TTestTarget::SetTickCount64(std::uint64_t ticks) {
  FTicks = ticks;
  return *this;
}

TTestTarget& TTestTarget::AdvanceTicks(std::uint64_t ms) {
  FTicks += ms;
  return *this;
}

TTestTarget& TTestTarget::SetDosDevices(std::vector<std::pair<std::string, std::string>> devices) {
  FDosDevices = std::move(devices);
  return *this;
}

TTestTarget& TTestTarget::SetMaxPathLength(std::size_t length) {
  FMaxPathLength = length;
  return *this;
}

std::string TTestTarget::EnvKey(const std::string& name) const {
  if (FSyntax != runtime::TPathSyntax::psWindows) return name;
  std::string key = name;
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return key;
}

std::string TTestTarget::HostPath(const std::string& targetPath) const {
  if (FSyntax != runtime::TPathSyntax::psWindows) return FRoot + targetPath;
  std::string p = targetPath;
  if (p.starts_with("\\\\?\\UNC\\")) p = "\\\\" + p.substr(8);
  else if (p.starts_with("\\\\?\\")) p = p.substr(4);
  std::string host;
  if (p.size() >= 2 && p[1] == ':') {
    host = FRoot + "/" + p.substr(0, 1);
    p = p.substr(2);
  } else if (p.starts_with("\\\\")) {
    host = FRoot + "/UNC";
    p = p.substr(1);
  } else {
    host = FRoot;
    if (p.empty() || (p[0] != '\\' && p[0] != '/')) host += '/';
  }
  for (char& c : p)
    if (c == '\\') c = '/';
  return host + p;
}

bool TTestTarget::TooLong(const std::string& path) const {
  return FSyntax == runtime::TPathSyntax::psWindows && FMaxPathLength != 0 && path.size() >= FMaxPathLength &&
         !path.starts_with("\\\\?\\");
}

bool TTestTarget::FileExists(const std::string& path) {
  return !TooLong(path) && runtime::posix::PosixFileExists(HostPath(path));
}

bool TTestTarget::DirectoryExists(const std::string& path) {
  return !TooLong(path) && runtime::posix::PosixDirectoryExists(HostPath(path));
}

std::unique_ptr<runtime::IReadOnlyFile> TTestTarget::OpenFileForRead(const std::string& path) {
  FOpened.push_back(path);
  if (TooLong(path)) throw runtime::EOSError(ENAMETOOLONG, "path too long: " + path);
  return runtime::posix::OpenPosixFile(HostPath(path));
}

std::string TTestTarget::EnvironmentVariable(const std::string& name) {
  auto it = FEnvironment.find(EnvKey(name));
  return it == FEnvironment.end() ? std::string() : it->second;
}

std::string TTestTarget::GetSpecialFolder(int csidl) {
  auto it = FSpecialFolders.find(csidl);
  return it == FSpecialFolders.end() ? std::string() : it->second;
}

std::vector<std::pair<std::string, std::string>> TTestTarget::DosDevices() {
  ++FDosDevicesCalls;
  return FDosDevices;
}

}  // namespace quillmark::test
