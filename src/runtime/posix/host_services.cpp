#include "runtime/host_services.h"

#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <wctype.h>

#include <cstdio>
#include <cstdlib>
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
