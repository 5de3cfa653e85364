// Files of the live Linux host: opening for reading without ever blocking or
// touching anything but a regular file, paths of any length, folder listing.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/target_system.h"

namespace quillmark::runtime::posix {

// An owned file descriptor.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : FFd(fd) {}
  TFd(TFd&& o) noexcept : FFd(o.Release()) {}
  TFd& operator=(TFd&& o) noexcept;
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  int Release() {
    int fd = FFd;
    FFd = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int FFd = -1;
};

// A path split so that the system accepts it: Rest relative to the folder
// Dir (AT_FDCWD when the path fits PATH_MAX as it is). Longer paths are
// reached through descriptors of their leading folders, so that no length
// hides a file. Links are followed as a whole path lookup would.
struct TPathAt {
  TFd Dir;
  std::string Rest;
  int DirFd() const;
};
// False with errno set when a leading folder cannot be reached.
bool ResolvePath(const std::string& path, TPathAt& out);

// stat(2) of a path of any length, links followed; -1 with errno on failure.
int StatPath(const std::string& path, struct stat& st);

// Opens a regular file for reading. The file is looked up once; anything but
// a regular file (a FIFO, socket or device) is refused without being opened,
// so that no open can block or disturb a device; a file swapped between the
// look-up and the open is refused too. Throws EOSError.
std::unique_ptr<IReadOnlyFile> OpenPosixFile(const std::string& path);
bool PosixFileExists(const std::string& path);
bool PosixDirectoryExists(const std::string& path);
// Entries of a folder ("." and ".." left out); empty when it cannot be read.
std::vector<ITargetSystem::TDirectoryEntry> PosixListDirectory(const std::string& folder);

}  // namespace quillmark::runtime::posix
