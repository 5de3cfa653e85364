// Finding files on the host: paths as given, folders walked recursively, with
// a policy for links, file systems and excluded names. The walk reports
// every path it cannot read as an item and goes on. The platform backend
// implements it (posix/folder_walk.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quillmark/base.h"

namespace quillmark::runtime {

struct TWalkItem {
  enum class TKind {
    wkFile,     // a regular file, to be analysed
    wkSpecial,  // a pipe, socket or device: never opened
    wkError,    // a path or folder that could not be read
  };
  TKind Kind = TKind::wkFile;
  // The path as found: a command-line path, or a folder's path joined with
  // the names below it.
  std::string Path;
  // The same path made absolute.
  std::string FullPath;
  // wkError: why it could not be read.
  std::string Reason;
  // wkFile: the size when it was found.
  std::uint64_t Size = 0;
};

struct TWalkOptions {
  // fnmatch patterns on the base names of files (and other non-folders) and
  // of folders met in a walk; a match is skipped. Paths given to WalkPaths
  // are never skipped.
  std::vector<std::string> Excludes;
  std::vector<std::string> ExcludeDirs;
  // Enter no folder on another file system than the path it was found under.
  bool OneFileSystem = false;
  // Follow links to folders on other file systems too.
  bool FollowSymlinks = false;
  // Regular files never reported, by device and inode (HostPathInfo's
  // identity), such as a file the caller is writing.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> SkipFiles;
};

// What the paths name, in order: a file or special file as it is, a folder's
// files in name order before its subfolders. Folders are opened relative to
// their parent's descriptor, so neither depth nor path length limits the
// walk, and never by a path that could block. A folder already entered
// (same device and inode: a link loop, a folder named twice) is not entered
// again.
//
// Links met in a walk: a link to a file is followed; a link to a folder is
// followed when the folder lies on the file system of the folder holding the
// link, or always with FollowSymlinks; a link that leads nowhere (missing
// target, a loop of links) is skipped without an item. A path given here is
// always followed, and reported when it leads nowhere.
QUILLMARK_API std::vector<TWalkItem> WalkPaths(const std::vector<std::string>& paths, const TWalkOptions& options = {});

// Descriptors the walk keeps open at most, whatever the depth; deeper
// ancestors are opened again, checked to be the same folder, when the walk
// comes back to them.
constexpr std::size_t kWalkOpenFolders = 48;

}  // namespace quillmark::runtime
