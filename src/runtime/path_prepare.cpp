#include "runtime/path_prepare.h"

namespace quillmark::runtime {

namespace {

std::string AsciiUpper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool SameName(const std::string& a, const char* b) { return AsciiUpper(a) == AsciiUpper(b); }

}  // namespace

std::string LookupEnvironmentVariable(ITargetSystem& target, const std::string& name) {
  if (name.empty()) return {};
  std::string value = target.EnvironmentVariable(name);
  if (value.empty()) {
    std::string upper = AsciiUpper(name);
    if (upper != name) value = target.EnvironmentVariable(upper);
  }
  if (!value.empty() || target.PathSyntax() != TPathSyntax::psWindows) return value;

  // Variables Windows defines for every process, derived from its directory.
  if (SameName(name, "SystemRoot") || SameName(name, "windir")) {
    return target.ExcludeTrailingPathDelimiter(target.WindowsDirectory());
  }
  if (SameName(name, "SystemDrive")) {
    std::string windows = target.WindowsDirectory();
    return windows.substr(0, target.DrivePrefixLength(windows));
  }
  return {};
}

std::string ExpandEnvironmentVariables(ITargetSystem& target, const std::string& path) {
  std::string out;
  out.reserve(path.size());
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t open = path.find('%', i);
    if (open == std::string::npos) {
      out.append(path, i, std::string::npos);
      break;
    }
    out.append(path, i, open - i);
    std::size_t close = path.find('%', open + 1);
    if (close == std::string::npos) {
      out.append(path, open, std::string::npos);
      break;
    }
    std::string name = path.substr(open + 1, close - open - 1);
    std::string value = LookupEnvironmentVariable(target, name);
    if (!value.empty()) {
      out += value;
      i = close + 1;
    } else {
      // Keep "%NAME" and let the closing sign open the next candidate.
      out.append(path, open, close - open);
      i = close;
    }
  }
  return out;
}

std::string PreparePathName(ITargetSystem& target, const std::string& path) {
  // "%" is an ordinary character of a POSIX file name.
  if (target.PathSyntax() != TPathSyntax::psWindows) return path;
  return ExpandEnvironmentVariables(target, path);
}

}  // namespace quillmark::runtime
