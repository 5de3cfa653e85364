#include "quillmark/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <utility>

namespace quillmark::runtime {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

void AppendName(std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  folder += name;
}

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  std::string full = std::filesystem::absolute(path, ec).lexically_normal().string();
  return ec || full.empty() ? path : full;
}

// A folder opened for listing; O_DIRECTORY makes anything else fail
// instead of blocking (a pipe put in the folder's place). A folder that was
// not met as a link is opened without following one: a link put in its
// place must not escape the link policy.
int OpenFolderAt(int parent, const char* name, bool followLink = true) {
  return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW));
}

bool Matches(const std::vector<std::string>& globs, const std::string& name) {
  return std::any_of(globs.begin(), globs.end(),
                     [&name](const std::string& glob) { return ::fnmatch(glob.c_str(), name.c_str(), 0) == 0; });
}

// A link whose target cannot be reached because it does not exist: a
// missing target, a path through a non-folder, a loop of links.
bool LeadsNowhere(int err) { return err == ENOENT || err == ENOTDIR || err == ELOOP; }

class TWalker {
 public:
  TWalker(std::vector<TWalkItem>& out, const TWalkOptions& options) : FOut(out), FOptions(options) {}
  ~TWalker() {
    while (!FStack.empty()) Pop();
  }

  void Top(const std::string& top) {
    struct stat st;
    const std::string full = AbsolutePath(top);
    if (::stat(top.c_str(), &st) != 0) return Error(top, full, errno);
    if (S_ISREG(st.st_mode)) return Skipped(st) ? void() : File(top, full, st);
    if (!S_ISDIR(st.st_mode)) return Special(top, full);
    const int fd = OpenFolderAt(AT_FDCWD, top.c_str());
    if (fd < 0) return Error(top, full, errno);
    if (::fstat(fd, &st) != 0 || !FVisited.insert({st.st_dev, st.st_ino}).second) {
      ::close(fd);
      return;
    }
    FPath = top;
    FFull = full;
    FTopDev = st.st_dev;
    Push(fd, st, {});
    Walk();
  }

 private:
  struct TSubfolder {
    std::string Name;
    bool Link;  // met as a link to a folder
  };
  struct TFrame {
    int Fd;
    dev_t Dev;
    ino_t Ino;
    std::string Name;  // in the parent folder; empty for the top
    std::size_t ParentPathSize, ParentFullSize;
    std::vector<TSubfolder> Subfolders;
    std::size_t Next = 0;
  };

  bool Skipped(const struct stat& st) const {
    const std::pair<std::uint64_t, std::uint64_t> id{st.st_dev, st.st_ino};
    return std::find(FOptions.SkipFiles.begin(), FOptions.SkipFiles.end(), id) != FOptions.SkipFiles.end();
  }

  void Error(const std::string& path, const std::string& full, int err) {
    FOut.push_back({TWalkItem::TKind::wkError, path, full, ErrnoText(err), 0});
  }
  void Error(const std::string& path, const std::string& full, std::string reason) {
    FOut.push_back({TWalkItem::TKind::wkError, path, full, std::move(reason), 0});
  }
  void File(const std::string& path, const std::string& full, const struct stat& st) {
    FOut.push_back({TWalkItem::TKind::wkFile, path, full, {}, static_cast<std::uint64_t>(st.st_size)});
  }
  void Special(const std::string& path, const std::string& full) {
    FOut.push_back({TWalkItem::TKind::wkSpecial, path, full, {}, 0});
  }

  // Depth first: list the folder on top of the stack, then enter its
  // subfolders one by one.
  void Walk() {
    List();
    while (!FStack.empty()) {
      TFrame& frame = FStack.back();
      if (frame.Next >= frame.Subfolders.size()) {
        Pop();
        continue;
      }
      const TSubfolder sub = frame.Subfolders[frame.Next++];
      const std::string& name = sub.Name;
      const dev_t parentDev = frame.Dev;
      const int parent = FrameFd(FStack.size() - 1);
      if (parent < 0) {
        frame.Next = frame.Subfolders.size();
        continue;
      }
      std::string path = FPath, full = FFull;
      AppendName(path, name);
      AppendName(full, name);
      const int fd = OpenFolderAt(parent, name.c_str(), sub.Link);
      if (fd < 0) {
        const int err = errno;
        if (!(sub.Link && LeadsNowhere(err))) Error(path, full, err);
        continue;
      }
      struct stat st;
      if (::fstat(fd, &st) != 0) {
        Error(path, full, errno);
        ::close(fd);
        continue;
      }
      // Another file system: never through a link unless asked to, and not
      // at all with --one-file-system.
      const bool crossing = (FOptions.OneFileSystem && st.st_dev != FTopDev) ||
                            (sub.Link && !FOptions.FollowSymlinks && st.st_dev != parentDev);
      if (crossing || !FVisited.insert({st.st_dev, st.st_ino}).second) {
        ::close(fd);
        continue;
      }
      Push(fd, st, name);
      List();
    }
  }

  void Push(int fd, const struct stat& st, const std::string& name) {
    FStack.push_back({fd, st.st_dev, st.st_ino, name, FPath.size(), FFull.size(), {}, 0});
    if (!name.empty()) {
      AppendName(FPath, name);
      AppendName(FFull, name);
    }
    // Keep the number of open descriptors bounded: the shallowest open
    // folders below the top are closed first (the top is never closed, it is
    // where a closed folder is reached from again).
    std::size_t open = 0;
    for (const TFrame& f : FStack) open += f.Fd >= 0;
    for (std::size_t i = 1; open > kWalkOpenFolders && i + 1 < FStack.size(); ++i) {
      if (FStack[i].Fd < 0) continue;
      ::close(FStack[i].Fd);
      FStack[i].Fd = -1;
      --open;
    }
  }

  void Pop() {
    TFrame& frame = FStack.back();
    if (frame.Fd >= 0) ::close(frame.Fd);
    FPath.resize(frame.ParentPathSize);
    FFull.resize(frame.ParentFullSize);
    FStack.pop_back();
  }

  // The descriptor of frame i, opening it again from its nearest open
  // ancestor when it was closed; -1 (and the folder reported) when a folder
  // on the way cannot be opened or is no longer the one that was entered.
  int FrameFd(std::size_t i) {
    if (FStack[i].Fd >= 0) return FStack[i].Fd;
    std::size_t j = i;
    while (FStack[j].Fd < 0) --j;  // the top frame is always open
    for (std::size_t k = j + 1; k <= i; ++k) {
      const int fd = OpenFolderAt(FStack[k - 1].Fd, FStack[k].Name.c_str());
      struct stat st;
      if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_dev != FStack[k].Dev || st.st_ino != FStack[k].Ino) {
        const int err = fd < 0 ? errno : 0;
        if (fd >= 0) ::close(fd);
        Error(FPath, FFull, err ? ErrnoText(err) : std::string("folder changed while it was scanned"));
        return -1;
      }
      FStack[k].Fd = fd;
    }
    return FStack[i].Fd;
  }

  // Files and special files of the folder on top of the stack, in name
  // order; its subfolders are kept in the frame to be entered next.
  void List() {
    TFrame& frame = FStack.back();
    std::vector<std::string> names;
    const int listFd = ::dup(frame.Fd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
      const int err = errno;
      if (listFd >= 0) ::close(listFd);
      return Error(FPath, FFull, err);
    }
    ::rewinddir(dir);  // the duplicate shares the descriptor's offset
    int err = 0;
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(dir);
      if (!e) {
        err = errno;
        break;
      }
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    if (err) Error(FPath, FFull, err);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
      std::string path = FPath, full = FFull;
      AppendName(path, name);
      AppendName(full, name);
      struct stat st;
      if (::fstatat(frame.Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        Error(path, full, errno);
        continue;
      }
      const bool link = S_ISLNK(st.st_mode);
      if (link && ::fstatat(frame.Fd, name.c_str(), &st, 0) != 0) {
        if (!LeadsNowhere(errno)) Error(path, full, errno);
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        if (!Matches(FOptions.ExcludeDirs, name)) frame.Subfolders.push_back({name, link});
        continue;
      }
      if (Matches(FOptions.Excludes, name)) continue;
      if (!S_ISREG(st.st_mode)) Special(path, full);
      else if (!Skipped(st)) File(path, full, st);
    }
  }

  std::vector<TWalkItem>& FOut;
  const TWalkOptions& FOptions;
  std::set<std::pair<dev_t, ino_t>> FVisited;
  dev_t FTopDev = 0;  // of the path the walk started from
  std::vector<TFrame> FStack;
  // Path of the folder on top of the stack, as found and absolute.
  std::string FPath, FFull;
};

}  // namespace

std::vector<TWalkItem> WalkPaths(const std::vector<std::string>& paths, const TWalkOptions& options) {
  std::vector<TWalkItem> items;
  TWalker walker(items, options);
  for (const std::string& top : paths) walker.Top(top);
  return items;
}

}  // namespace quillmark::runtime
