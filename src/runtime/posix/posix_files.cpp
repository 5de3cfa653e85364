#include "runtime/posix/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillmark::runtime::posix {

namespace {

[[noreturn]] void ThrowErrno(int e, const std::string& what) {
  throw EOSError(e, what + ": " + std::strerror(e), std::strerror(e));
}

// Reads go through a buffer of their own rather than a mapping: another
// process may shrink the file at any moment, and a mapping would turn that
// into a fatal signal.
class THeapFileView : public IFileView {
 public:
  explicit THeapFileView(std::vector<std::uint8_t> bytes) : FBytes(std::move(bytes)) {}
  const std::uint8_t* Data() const override { return FBytes.empty() ? nullptr : FBytes.data(); }
  std::size_t Size() const override { return FBytes.size(); }

 private:
  std::vector<std::uint8_t> FBytes;
};

class TPosixFile : public IReadOnlyFile {
 public:
  TPosixFile(TFd fd, std::uint64_t size, std::string path) : FFd(std::move(fd)), FSize(size), FPath(std::move(path)) {}
  std::uint64_t Size() const override { return FSize; }

  std::unique_ptr<IFileView> Map(std::uint64_t offset, std::size_t size) override {
    if (offset >= FSize || size == 0) return std::make_unique<THeapFileView>(std::vector<std::uint8_t>());
    if (size > FSize - offset) size = static_cast<std::size_t>(FSize - offset);
    std::vector<std::uint8_t> bytes(size);
    ReadAt(offset, bytes.data(), size);  // whole, or EFileChanged
    return std::make_unique<THeapFileView>(std::move(bytes));
  }

  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t n) override {
    if (offset >= FSize) return 0;
    if (n > FSize - offset) n = static_cast<std::size_t>(FSize - offset);
    std::size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < n) {
      ssize_t r = pread(FFd.Get(), out + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        ThrowErrno(errno, "read " + FPath);
      }
      if (r == 0) throw EFileChanged("file changed while it was read: " + FPath);
      done += static_cast<std::size_t>(r);
    }
    return done;
  }

  // The start of the trailing hole, found with SEEK_DATA in a binary search:
  // lo only ever rises to the end of data found, hi falls to where none
  // follows, so a file of any size or layout takes a few dozen seeks.
  // Answers Size() when the file system cannot tell. (Seeking moves the
  // descriptor's offset, which positioned reads do not use.)
  std::uint64_t DataEnd() override {
    const off_t size = static_cast<off_t>(FSize);
    off_t lo = lseek(FFd.Get(), 0, SEEK_HOLE);
    if (lo < 0 || lo >= size) return FSize;
    off_t hi = size;
    while (lo < hi) {
      const off_t mid = lo + (hi - lo) / 2;
      const off_t data = lseek(FFd.Get(), mid, SEEK_DATA);
      if (data < 0) {
        if (errno != ENXIO) return FSize;
        hi = mid;  // nothing stored from mid on
        continue;
      }
      const off_t hole = lseek(FFd.Get(), data, SEEK_HOLE);
      if (hole < 0) return FSize;
      lo = hole;  // data runs up to hole
    }
    return static_cast<std::uint64_t>(std::min(lo, size));
  }

 private:
  TFd FFd;
  std::uint64_t FSize;
  std::string FPath;
};

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the file an O_PATH descriptor refers to, for reading. Through
// /proc/self/fd the very inode that was looked up is opened, whatever now
// has its name; without /proc the name is opened again and must still lead
// to the same file.
int ReopenForReading(int pathFd, const TPathAt& at, const struct stat& looked) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
  // Reading must not change the file's access time where the system lets us
  // (the owner, or a process with CAP_FOWNER): evidence stays as found.
  int fd = ::open(self.c_str(), kFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(self.c_str(), kFlags);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = ::openat(at.DirFd(), at.Rest.c_str(), kFlags);
  if (fd < 0) return fd;
  struct stat now {};
  if (fstat(fd, &now) != 0 || !SameFile(now, looked)) {
    ::close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

}  // namespace

TFd& TFd::operator=(TFd&& o) noexcept {
  if (this != &o) Reset(o.Release());
  return *this;
}

void TFd::Reset(int fd) {
  if (FFd >= 0) ::close(FFd);
  FFd = fd;
}

int TPathAt::DirFd() const { return Dir.Valid() ? Dir.Get() : AT_FDCWD; }

bool ResolvePath(const std::string& path, TPathAt& out) {
  out.Dir.Reset();
  if (path.size() < PATH_MAX) {
    out.Rest = path;
    return true;
  }
  std::size_t pos = 0;
  while (path.size() - pos >= PATH_MAX) {
    // The longest run of whole leading folders that the system accepts.
    const std::size_t limit = pos + PATH_MAX - 1;
    std::size_t cut = path.rfind('/', limit - 1);
    if (cut == std::string::npos || cut < pos) {
      errno = ENAMETOOLONG;
      return false;
    }
    const std::string chunk = path.substr(pos, cut - pos + 1);
    int fd = ::openat(out.DirFd(), chunk.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    out.Dir.Reset(fd);
    pos = cut + 1;
    while (pos < path.size() && path[pos] == '/') ++pos;
  }
  out.Rest = pos < path.size() ? path.substr(pos) : std::string(".");
  return true;
}

int StatPath(const std::string& path, struct stat& st) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  TPathAt at;
  if (!ResolvePath(path, at)) return -1;
  return ::fstatat(at.DirFd(), at.Rest.c_str(), &st, 0);
}

std::unique_ptr<IReadOnlyFile> OpenPosixFile(const std::string& path) {
  if (path.empty()) ThrowErrno(ENOENT, "open ''");
  TPathAt at;
  if (!ResolvePath(path, at)) ThrowErrno(errno, "open " + path);
  // An O_PATH descriptor looks the name up without opening the file itself.
  TFd looked(::openat(at.DirFd(), at.Rest.c_str(), O_PATH | O_CLOEXEC));
  if (!looked.Valid()) ThrowErrno(errno, "open " + path);
  struct stat st {};
  if (fstat(looked.Get(), &st) != 0) ThrowErrno(errno, "stat " + path);
  if (S_ISDIR(st.st_mode)) throw EOSError(EISDIR, "not a regular file (a folder): " + path, "a folder");
  if (!S_ISREG(st.st_mode)) throw EOSError(EINVAL, "not a regular file: " + path, "not a regular file");

  TFd fd(ReopenForReading(looked.Get(), at, st));
  if (!fd.Valid()) {
    if (errno == ESTALE) throw EFileChanged("file changed while it was opened: " + path);
    ThrowErrno(errno, "open " + path);
  }
  struct stat opened {};
  if (fstat(fd.Get(), &opened) != 0) ThrowErrno(errno, "stat " + path);
  if (!S_ISREG(opened.st_mode) || !SameFile(opened, st)) throw EFileChanged("file changed while it was opened: " + path);
  return std::make_unique<TPosixFile>(std::move(fd), static_cast<std::uint64_t>(opened.st_size), path);
}

bool PosixFileExists(const std::string& path) {
  struct stat st {};
  return StatPath(path, st) == 0 && S_ISREG(st.st_mode);
}

bool PosixDirectoryExists(const std::string& path) {
  struct stat st {};
  return StatPath(path, st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<ITargetSystem::TDirectoryEntry> PosixListDirectory(const std::string& folder) {
  std::vector<ITargetSystem::TDirectoryEntry> out;
  TPathAt at;
  if (folder.empty() || !ResolvePath(folder, at)) return out;
  int fd = ::openat(at.DirFd(), at.Rest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return out;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return out;
  }
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // Links are followed, as FileExists and DirectoryExists do.
    struct stat st {};
    bool isDir = fstatat(dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    out.push_back({std::move(name), isDir});
  }
  closedir(dir);
  return out;
}

}  // namespace quillmark::runtime::posix
