#include "runtime/posix/mime_icons.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>

namespace quillmark::runtime::posix {

namespace {

constexpr std::string_view kGenericType = "application/octet-stream";

std::string AsciiLower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t i = s.find(sep, start);
    parts.push_back(s.substr(start, i == std::string::npos ? std::string::npos : i - start));
    if (i == std::string::npos) return parts;
    start = i + 1;
  }
}

}  // namespace

TMimeIconIndex::TMimeIconIndex(const std::vector<std::string>& dataFolders) {
  for (const std::string& folder : dataFolders)
    if (!folder.empty()) ReadFolder(folder);
  std::set<std::string> types;
  for (const auto& [ext, glob] : FCaseless) types.insert(glob.Type);
  for (const auto& [ext, glob] : FExact) types.insert(glob.Type);
  int index = 1;
  for (const std::string& t : types)
    if (t != kGenericType) FTypeIndex.emplace(t, index++);
}

void TMimeIconIndex::ReadFolder(const std::string& folder) {
  std::string base = folder;
  if (base.back() != '/') base += '/';
  bool v2 = true;
  std::ifstream in(base + "mime/globs2");
  if (!in) {
    v2 = false;
    in.open(base + "mime/globs");
    if (!in) return;
  }
  FLoaded = true;
  // Globs of this folder, merged into the tables after the folder is read so
  // that a lower-priority folder never overrides a higher one.
  std::map<std::string, TGlob> caseless, exact;
  std::vector<std::string> cleared;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f = Split(line, ':');
    int weight = 50;
    std::string type, glob;
    bool caseSensitive = false;
    if (v2) {
      if (f.size() < 3) continue;
      weight = std::atoi(f[0].c_str());
      type = f[1];
      glob = f[2];
      if (f.size() >= 4)
        for (const std::string& flag : Split(f[3], ','))
          if (flag == "cs") caseSensitive = true;
    } else {
      if (f.size() < 2) continue;
      type = f[0];
      glob = f[1];
    }
    if (type.empty()) continue;
    if (glob == "__NOGLOBS__") {
      cleared.push_back(type);
      continue;
    }
    if (std::find(FNoGlobs.begin(), FNoGlobs.end(), type) != FNoGlobs.end()) continue;
    AddGlob(type, glob, weight, caseSensitive, caseless, exact);
  }
  for (auto& [ext, g] : caseless) FCaseless.try_emplace(ext, g);
  for (auto& [ext, g] : exact) FExact.try_emplace(ext, g);
  FNoGlobs.insert(FNoGlobs.end(), cleared.begin(), cleared.end());
}

void TMimeIconIndex::AddGlob(const std::string& type, const std::string& glob, int weight, bool caseSensitive,
                             std::map<std::string, TGlob>& folderCaseless, std::map<std::string, TGlob>& folderExact) {
  // Only the plain "*.ext" form names an extension.
  if (glob.size() < 3 || glob[0] != '*' || glob[1] != '.') return;
  std::string ext = glob.substr(1);
  if (ext.find_first_of("*?[") != std::string::npos) return;
  auto& table = caseSensitive ? folderExact : folderCaseless;
  if (!caseSensitive) ext = AsciiLower(ext);
  auto [it, added] = table.try_emplace(ext, TGlob{type, weight});
  if (!added && weight > it->second.Weight) it->second = TGlob{type, weight};
}

const TMimeIconIndex::TGlob* TMimeIconIndex::Find(std::string_view ext) const {
  if (ext.size() < 2 || ext[0] != '.') return nullptr;
  if (auto it = FExact.find(ext); it != FExact.end()) return &it->second;
  if (auto it = FCaseless.find(AsciiLower(ext)); it != FCaseless.end()) return &it->second;
  return nullptr;
}

std::string TMimeIconIndex::MimeType(std::string_view ext) const {
  const TGlob* g = Find(ext);
  return g ? g->Type : std::string();
}

int TMimeIconIndex::IconIndex(std::string_view ext) const {
  if (!FLoaded) return -1;
  const TGlob* g = Find(ext);
  if (!g) return 0;
  auto it = FTypeIndex.find(g->Type);
  return it == FTypeIndex.end() ? 0 : it->second;
}

std::vector<std::string> TMimeIconIndex::HostDataFolders() {
  std::vector<std::string> folders;
  const char* home = std::getenv("XDG_DATA_HOME");
  if (home && *home == '/') folders.emplace_back(home);
  else if (const char* h = std::getenv("HOME"); h && *h) folders.push_back(std::string(h) + "/.local/share");
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
  for (const std::string& d : Split(list, ':'))
    if (!d.empty() && d[0] == '/') folders.push_back(d);
  return folders;
}

const TMimeIconIndex& TMimeIconIndex::Host() {
  static const TMimeIconIndex index(HostDataFolders());
  return index;
}

}  // namespace quillmark::runtime::posix
