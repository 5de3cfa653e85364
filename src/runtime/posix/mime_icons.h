// Icon indices of file extensions from the shared-mime-info database (the
// "globs2" or "globs" file under each XDG data folder's "mime" folder): an
// extension registered with a MIME type of its own has an index of 1 or more,
// one the database does not know (or maps to the generic binary type) 0, and
// every extension -1 when no database is installed.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::runtime::posix {

class TMimeIconIndex {
 public:
  // Reads the databases under the given data folders (each holding "mime/"),
  // the first folder having the highest priority.
  explicit TMimeIconIndex(const std::vector<std::string>& dataFolders);

  // Whether some database was found and read.
  bool Loaded() const { return FLoaded; }
  // Icon index of an extension written with its leading dot (".pdf").
  int IconIndex(std::string_view ext) const;
  // MIME type of an extension, empty when the database does not know it.
  std::string MimeType(std::string_view ext) const;

  // The data folders of the running user: $XDG_DATA_HOME (or ~/.local/share),
  // then $XDG_DATA_DIRS (or /usr/local/share:/usr/share).
  static std::vector<std::string> HostDataFolders();
  // The live host's database, read on first use and kept.
  static const TMimeIconIndex& Host();

 private:
  struct TGlob {
    std::string Type;
    int Weight = 0;
  };
  void ReadFolder(const std::string& folder);
  void AddGlob(const std::string& type, const std::string& glob, int weight, bool caseSensitive,
               std::map<std::string, TGlob>& folderCaseless, std::map<std::string, TGlob>& folderExact);
  const TGlob* Find(std::string_view ext) const;

  bool FLoaded = false;
  // Extension (with its dot) to type; the caseless map is keyed lower-case.
  std::map<std::string, TGlob, std::less<>> FCaseless;
  std::map<std::string, TGlob, std::less<>> FExact;
  // Types whose globs a higher-priority folder cleared ("__NOGLOBS__").
  std::vector<std::string> FNoGlobs;
  // Index of each known type (1-based, in sorted order of the type names).
  std::map<std::string, int, std::less<>> FTypeIndex;
};

}  // namespace quillmark::runtime::posix
