#include "runtime/target_system.h"

#include <array>
#include <cctype>

namespace quillmark::runtime {

namespace {
constexpr std::array<const char*, kWindowsVersionCount> kWindowsVersionNames = {
    "wvUnknown",     "wvWin31",          "wvWin95",         "wvWin95OSR2",       "wvWin98",
    "wvWin98SE",     "wvWinME",          "wvWinNT4",        "wvWin2000",         "wvWinXP",
    "wvWinXP64",     "wvWinServer2003",  "wvWinVista",      "wvWinServer2008",   "wvWin7",
    "wvWinServer2008R2", "wvWin8",       "wvWinServer2012", "wvWin81",           "wvWinServer2012R2",
    "wvWin10",       "wvWinServer2016",  "wvWin11",
};

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
}  // namespace

const char* WindowsVersionIdentifier(TWindowsVersion v) {
  auto i = static_cast<std::size_t>(v);
  return i < kWindowsVersionNames.size() ? kWindowsVersionNames[i] : "";
}

int WindowsVersionFromIdentifier(std::string_view name) {
  for (std::size_t i = 0; i < kWindowsVersionNames.size(); ++i)
    if (name == kWindowsVersionNames[i]) return static_cast<int>(i);
  return -1;
}

bool ITargetSystem::IsPathDelimiter(char c) const {
  if (PathSyntax() == TPathSyntax::psWindows) return c == '\\' || c == '/';
  return c == '/';
}

std::size_t ITargetSystem::DrivePrefixLength(std::string_view p) const {
  if (PathSyntax() != TPathSyntax::psWindows) return 0;
  if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') return 2;
  // "\\server\share" (and the long-path prefix forms "\\?\C:" and "\\?\UNC\server\share")
  if (p.size() >= 2 && IsPathDelimiter(p[0]) && IsPathDelimiter(p[1])) {
    std::size_t i = 2;
    if (p.size() >= 4 && p[2] == '?' && IsPathDelimiter(p[3])) {
      std::string_view rest = p.substr(4);
      if (rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':') return 6;
      if (rest.size() >= 4 && AsciiLower(rest[0]) == 'u' && AsciiLower(rest[1]) == 'n' &&
          AsciiLower(rest[2]) == 'c' && IsPathDelimiter(rest[3]))
        i = 8;
      else
        return 4;
    }
    // server, then share
    int parts = 0;
    while (i < p.size() && parts < 2) {
      while (i < p.size() && !IsPathDelimiter(p[i])) ++i;
      ++parts;
      if (parts < 2 && i < p.size()) ++i;
    }
    return i;
  }
  return 0;
}

std::string ITargetSystem::ExtractFileName(std::string_view p) const {
  std::size_t start = DrivePrefixLength(p);
  for (std::size_t i = p.size(); i > start; --i)
    if (IsPathDelimiter(p[i - 1])) return std::string(p.substr(i));
  return std::string(p.substr(start));
}

std::string ITargetSystem::ExtractFilePath(std::string_view p) const {
  std::size_t start = DrivePrefixLength(p);
  for (std::size_t i = p.size(); i > start; --i)
    if (IsPathDelimiter(p[i - 1])) return std::string(p.substr(0, i));
  return std::string(p.substr(0, start));
}

std::string ITargetSystem::ExtractFileExt(std::string_view p) const {
  std::string name = ExtractFileName(p);
  auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string ITargetSystem::IncludeTrailingPathDelimiter(std::string_view p) const {
  std::string r(p);
  if (r.empty() || !IsPathDelimiter(r.back())) r += PathDelimiter();
  return r;
}

std::string ITargetSystem::ExcludeTrailingPathDelimiter(std::string_view p) const {
  std::string r(p);
  if (!r.empty() && IsPathDelimiter(r.back()) && r.size() > DrivePrefixLength(r) + 1) r.pop_back();
  return r;
}

bool ITargetSystem::SameFileName(std::string_view a, std::string_view b) const {
  if (PathSyntax() != TPathSyntax::psWindows) return a == b;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

std::string ITargetSystem::LongPathForm(const std::string& path) const {
  if (PathSyntax() != TPathSyntax::psWindows) return path;
  return "\\\\?\\" + path;
}

}  // namespace quillmark::runtime
