// Finding the files to scan: command-line paths, folders walked recursively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmark::cli {

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
  // The same path made absolute, for the engine.
  std::string FullPath;
  // wkError: why it could not be read.
  std::string Reason;
  // wkFile: the size when it was found.
  std::uint64_t Size = 0;
};

// What the paths name, in order: a file or special file as it is, a folder's
// files in name order before its subfolders. Folders are opened relative to
// their parent's descriptor, so neither depth nor path length limits the
// walk, and never by a path that could block. Links are followed; a folder
// already entered (same device and inode: a link loop, a folder named twice)
// is not entered again.
std::vector<TWalkItem> WalkPaths(const std::vector<std::string>& paths);

// Descriptors the walk keeps open at most, whatever the depth; deeper
// ancestors are opened again, checked to be the same folder, when the walk
// comes back to them.
constexpr std::size_t kWalkOpenFolders = 48;

}  // namespace quillmark::cli
