#include "quillmark/host_services.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quillmark::runtime {

std::string DefaultLogFolder() {
  if (const char* d = std::getenv("QUILLMARK_LOG_DIR"); d && *d) return d;
  if (const char* s = std::getenv("XDG_STATE_HOME"); s && *s == '/') return std::string(s) + "/quillmark";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/state/quillmark";
}

void MakeFolders(const std::string& APath) {
  for (std::size_t i = 1; i <= APath.size(); ++i)
    if (i == APath.size() || APath[i] == '/') ::mkdir(APath.substr(0, i).c_str(), 0700);
}

std::optional<std::uint64_t> HostFileSize(const std::string& APath) {
  struct stat st {};
  if (::stat(APath.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t ThreadCpuNanoseconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) == 0)
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
  return static_cast<std::uint64_t>(std::clock()) * (1'000'000'000u / CLOCKS_PER_SEC);
}

std::optional<THostPathInfo> HostPathInfo(const std::string& APath, std::string* AError) {
  struct stat st {};
  if (::stat(APath.c_str(), &st) != 0) {
    if (AError) *AError = std::strerror(errno);
    return std::nullopt;
  }
  THostPathInfo info;
  info.Kind = S_ISREG(st.st_mode) ? THostPathKind::hpFile : S_ISDIR(st.st_mode) ? THostPathKind::hpFolder
                                                                                : THostPathKind::hpOther;
  info.Size = static_cast<std::uint64_t>(st.st_size);
  info.Device = static_cast<std::uint64_t>(st.st_dev);
  info.Inode = static_cast<std::uint64_t>(st.st_ino);
  return info;
}

bool HostCanRead(const std::string& APath) { return ::access(APath.c_str(), R_OK) == 0; }

namespace {
// Everything left to read from fd; false with errno set on a read error.
bool ReadAll(int fd, std::string& AText) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      AText.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}
}  // namespace

std::optional<std::string> ReadHostFile(const std::string& APath, std::string& AError) {
  const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    AError = std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  const bool read = ReadAll(fd, text);
  const int err = errno;
  ::close(fd);
  if (!read) {
    AError = std::strerror(err);
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> ReadStandardInput(std::string& AError) {
  std::string text;
  if (!ReadAll(STDIN_FILENO, text)) {
    AError = std::strerror(errno);
    return std::nullopt;
  }
  return text;
}

bool IsTerminal(std::FILE* AStream) { return AStream && ::isatty(::fileno(AStream)) == 1; }

std::string LocalTimeStamp() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03ld", when, ts.tv_nsec / 1000000L);
  return out;
}

std::vector<std::string> HostCertificateBundles() { return {"/etc/ssl/certs/ca-certificates.crt"}; }

namespace {
locale_t Utf8Locale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return locale;
}
}  // namespace

char32_t ToLowerCodePoint(char32_t ACodePoint) {
  if (ACodePoint < 0x80) return ACodePoint >= 'A' && ACodePoint <= 'Z' ? ACodePoint + 32 : ACodePoint;
  locale_t l = Utf8Locale();
  return l ? static_cast<char32_t>(towlower_l(static_cast<wint_t>(ACodePoint), l)) : ACodePoint;
}

bool IsLowerCodePoint(char32_t ACodePoint) {
  if (locale_t l = Utf8Locale()) return iswlower_l(static_cast<wint_t>(ACodePoint), l) != 0;
  return ACodePoint >= 'a' && ACodePoint <= 'z';
}

}  // namespace quillmark::runtime
