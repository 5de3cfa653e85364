#include "runtime/posix/wine_paths.h"

#include <dirent.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace quillmark::runtime::posix {

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SameTextNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string BaseName(std::string_view path, bool windows) {
  auto cut = windows ? path.find_last_of("\\/") : path.rfind('/');
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

// Appends relative components to a Linux folder, matching each one without
// regard to case when the exact name is absent; empty when one is missing.
std::string ResolveComponents(std::string base, std::string_view relative) {
  std::size_t pos = 0;
  while (pos <= relative.size()) {
    std::size_t next = relative.find_first_of("\\/", pos);
    std::string_view part = relative.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
    pos = next == std::string_view::npos ? relative.size() + 1 : next + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      auto slash = base.find_last_of('/');
      base = slash == 0 || slash == std::string::npos ? "/" : base.substr(0, slash);
      continue;
    }
    std::string candidate = base + (base.back() == '/' ? "" : "/") + std::string(part);
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) != 0) {
      candidate.clear();
      if (DIR* dir = opendir(base.c_str())) {
        while (dirent* e = readdir(dir))
          if (SameTextNoCase(e->d_name, part)) {
            candidate = base + (base.back() == '/' ? "" : "/") + e->d_name;
            break;
          }
        closedir(dir);
      }
      if (candidate.empty()) return {};
    }
    base = std::move(candidate);
  }
  return base;
}

// Value of NAME=... in a NUL-separated environment block.
std::string EnvValue(const std::string& block, std::string_view name) {
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t end = block.find('\0', pos);
    if (end == std::string::npos) end = block.size();
    std::string_view entry(block.data() + pos, end - pos);
    if (entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=')
      return std::string(entry.substr(name.size() + 1));
    pos = end + 1;
  }
  return {};
}

std::string HomeOfUser(uid_t uid) {
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) return found->pw_dir;
  return {};
}

}  // namespace

bool IsWineLoader(std::string_view exePath) {
  std::string name = BaseName(exePath, false);
  return name == "wine" || name == "wine64" || name == "wine-preloader" || name == "wine64-preloader" ||
         name == "wine-stable" || name == "wine64-stable";
}

std::string WineWindowsPathToLinux(const std::string& prefix, std::string_view windowsPath, const std::string& cwd) {
  std::string_view p = windowsPath;
  if (p.empty()) return {};
  // NT and long-path prefixes.
  for (std::string_view lead : {std::string_view("\\??\\"), std::string_view("\\\\?\\"), std::string_view("\\\\.\\")})
    if (p.substr(0, lead.size()) == lead) {
      p.remove_prefix(lead.size());
      if (p.size() > 5 && SameTextNoCase(p.substr(0, 5), "unix\\")) {
        std::string linuxPath(p.substr(4));
        for (char& c : linuxPath)
          if (c == '\\') c = '/';
        return IsRegularFile(linuxPath) ? RealPath(linuxPath) : std::string();
      }
      break;
    }
  std::string resolved;
  if (!p.empty() && p[0] == '/') {
    resolved = std::string(p);  // a Linux path handed to wine as it is
  } else if (p.size() >= 2 && p[1] == ':' && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'))) {
    if (prefix.empty()) return {};
    char drive = static_cast<char>(p[0] >= 'A' && p[0] <= 'Z' ? p[0] + 32 : p[0]);
    std::string root = RealPath(prefix + "/dosdevices/" + drive + ":");
    if (root.empty()) return {};
    resolved = ResolveComponents(root, p.substr(2));
  } else if (!p.empty() && p[0] != '\\' && !cwd.empty()) {
    resolved = ResolveComponents(cwd, p);
  }
  if (resolved.empty() || !IsRegularFile(resolved)) return {};
  return RealPath(resolved);
}

std::string WineProcessImagePath(unsigned pid, const std::string& procRoot) {
  const std::string base = procRoot + "/" + std::to_string(pid);
  std::string cmdline = ReadWhole(base + "/cmdline");
  std::string program = cmdline.substr(0, cmdline.find('\0'));
  if (program.empty()) return {};

  std::string environ = ReadWhole(base + "/environ");
  std::string prefix = EnvValue(environ, "WINEPREFIX");
  if (prefix.empty()) {
    std::string home = EnvValue(environ, "HOME");
    if (home.empty()) {
      struct stat st {};
      if (::stat(base.c_str(), &st) == 0) home = HomeOfUser(st.st_uid);
    }
    if (!home.empty()) prefix = home + "/.wine";
  }
  std::string cwd = RealPath(base + "/cwd");

  std::string path = WineWindowsPathToLinux(prefix, program, cwd);
  if (path.empty() && !program.empty()) {
    // "wine app" finds app.exe as Windows does.
    std::string name = BaseName(program, true);
    if (name.find('.') == std::string::npos) path = WineWindowsPathToLinux(prefix, program + ".exe", cwd);
  }
  if (!path.empty()) return path;

  // The program's image is mapped from its file: take the mapped file whose
  // name is the one the command line gives.
  std::string name = BaseName(program, true);
  std::ifstream maps(base + "/maps");
  for (std::string line; std::getline(maps, line);) {
    auto slash = line.find('/');
    if (slash == std::string::npos) continue;
    std::string file = line.substr(slash);
    std::string fileName = BaseName(file, false);
    if (SameTextNoCase(fileName, name) || SameTextNoCase(fileName, name + ".exe")) return RealPath(file);
  }
  return {};
}

}  // namespace quillmark::runtime::posix
