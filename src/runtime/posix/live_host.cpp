#include "runtime/posix/live_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "runtime/posix/mime_icons.h"
#include "runtime/posix/posix_files.h"
#include "runtime/posix/tcp_table.h"
#include "runtime/posix/wine_paths.h"
#include "runtime/posix/x11_windows.h"
#include "runtime/shell_folders.h"

namespace quillmark::runtime {

namespace posix {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  int e = errno;
  throw EOSError(e, what + ": " + std::strerror(e));
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string HomeFolder() {
  const char* h = std::getenv("HOME");
  return h ? h : "";
}

std::string XdgFolder(const char* var, const char* fallback) {
  const char* v = std::getenv(var);
  if (v && *v == '/') return v;
  std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/" + fallback;
}

}  // namespace

std::vector<ITargetSystem::TDirectoryEntry> TLiveHost::ListDirectory(const std::string& folder) {
  return PosixListDirectory(folder);
}

std::string TLiveHost::EnvironmentVariable(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  return v ? v : "";
}

std::string TLiveHost::GetSpecialFolder(int AFolder) {
  switch (AFolder) {
    case csidl::kAppData:
      return XdgFolder("XDG_CONFIG_HOME", ".config");
    case csidl::kLocalAppData:
      return XdgFolder("XDG_DATA_HOME", ".local/share");
    case csidl::kInternetCache:
      return XdgFolder("XDG_CACHE_HOME", ".cache");
    case csidl::kProfile:
      return HomeFolder();
    default:
      return {};
  }
}

std::vector<TProcessEntry> TLiveHost::EnumerateProcesses() {
  DIR* dir = opendir("/proc");
  if (!dir) ThrowErrno("opendir /proc");
  std::vector<TProcessEntry> out;
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(e->d_name, &end, 10);
    if (!end || *end || pid == 0) continue;
    std::string base = std::string("/proc/") + e->d_name;
    TProcessEntry p;
    p.ProcessID = static_cast<std::uint32_t>(pid);
    std::string status = ReadSmallFile(base + "/status");
    if (status.empty()) continue;  // exited meanwhile
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
      auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string key = line.substr(0, colon);
      std::string value = line.substr(colon + 1);
      auto first = value.find_first_not_of(" \t");
      value = first == std::string::npos ? std::string() : value.substr(first);
      if (key == "Name") p.ExeName = value;
      else if (key == "PPid") p.ParentProcessID = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
      else if (key == "Threads") p.ThreadCount = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    }
    char target[4096];
    ssize_t n = readlink((base + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
      p.FileName.assign(target, static_cast<std::size_t>(n));
      // Wine's loader runs the program: the process is that program's.
      if (IsWineLoader(p.FileName)) {
        std::string program = WineProcessImagePath(p.ProcessID);
        if (!program.empty()) p.FileName = std::move(program);
      }
      auto slash = p.FileName.rfind('/');
      if (slash != std::string::npos) p.ExeName = p.FileName.substr(slash + 1);
    }
    out.push_back(std::move(p));
  }
  closedir(dir);
  return out;
}

std::vector<TWindowEntry> TLiveHost::EnumerateTopLevelWindows() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return {};
  return EnumerateX11Windows(display);
}

std::vector<TTcpRowOwnerPid> TLiveHost::GetTcpTable() { return ReadTcpTable(); }

int TLiveHost::ExtensionIconIndex(const std::string& ext) { return TMimeIconIndex::Host().IconIndex(ext); }

namespace {
// Mount points of /proc/self/mounts have space, tab, newline and backslash
// written as octal escapes.
std::string UnescapeMountField(const std::string& s) {
  std::string r;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      r += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      r += s[i];
    }
  }
  return r;
}

// Kernel and virtual file systems, where no desktop keeps a Trash.
bool IsPseudoFileSystem(const std::string& type) {
  static const char* const kTypes[] = {"proc",   "sysfs",    "devpts",     "devtmpfs",  "cgroup",     "cgroup2",
                                       "mqueue", "debugfs",  "tracefs",    "securityfs", "pstore",    "bpf",
                                       "configfs", "fusectl", "hugetlbfs", "autofs",    "binfmt_misc", "efivarfs",
                                       "rpc_pipefs", "nsfs", "ramfs"};
  for (const char* t : kTypes)
    if (type == t) return true;
  return false;
}
}  // namespace

std::vector<std::string> TLiveHost::RecycleBinFolders() {
  std::vector<std::string> out;
  std::string data = XdgFolder("XDG_DATA_HOME", ".local/share");
  if (!data.empty()) out.push_back(data + (data.back() == '/' ? "" : "/") + "Trash/");
  const std::string uid = std::to_string(static_cast<unsigned long>(getuid()));
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string device, mountPoint, type;
    if (!(fields >> device >> mountPoint >> type) || IsPseudoFileSystem(type)) continue;
    std::string root = UnescapeMountField(mountPoint);
    if (root.empty() || root[0] != '/') continue;
    if (root.back() != '/') root += '/';
    for (std::string trash : {root + ".Trash-" + uid + "/", root + ".Trash/" + uid + "/"})
      if (std::find(out.begin(), out.end(), trash) == out.end()) out.push_back(std::move(trash));
  }
  return out;
}

std::uint64_t TLiveHost::GetTickCount64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace posix

std::shared_ptr<ITargetSystem> LiveHost() {
  static std::shared_ptr<ITargetSystem> host = std::make_shared<posix::TLiveHost>();
  return host;
}

namespace {
std::string SelfExecutable() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}
}  // namespace

std::string HostExecutableFolder() {
  std::string exe = SelfExecutable();
  auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

std::string HostExecutableName() {
  std::string exe = SelfExecutable();
  auto slash = exe.rfind('/');
  return slash == std::string::npos ? exe : exe.substr(slash + 1);
}

std::string LibraryModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryModuleFileName), &info) && info.dli_fname) return info.dli_fname;
  return SelfExecutable();
}

}  // namespace quillmark::runtime
