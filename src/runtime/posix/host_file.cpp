#include "runtime/host_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/target_system.h"

namespace quillmark::runtime {

namespace {

class TDescriptor {
 public:
  explicit TDescriptor(int fd) : FFd(fd) {}
  ~TDescriptor() {
    if (FFd >= 0) ::close(FFd);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return FFd; }

 private:
  int FFd;
};

[[noreturn]] void Fail(int code, const std::string& reason) { throw EOSError(code, reason); }

}  // namespace

std::vector<std::uint8_t> ReadHostRegularFile(const std::string& APath, std::uint64_t AMaxSize) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  TDescriptor fd(::open(APath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) Fail(errno, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) Fail(errno, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) Fail(EINVAL, "not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > AMaxSize)
    Fail(EFBIG, "larger than " + std::to_string(AMaxSize) + " bytes");

  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t r = ::pread(fd.Get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      Fail(errno, std::strerror(errno));
    }
    if (r == 0) break;  // shrunk since fstat
    done += static_cast<std::size_t>(r);
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace quillmark::runtime
