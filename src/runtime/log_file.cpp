#include "runtime/log_file.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>

namespace quillmark::runtime {

namespace {

std::mutex& InstancesLock() {
  static std::mutex m;
  return m;
}
std::map<std::string, TDebugLogFile*>& Instances() {
  static std::map<std::string, TDebugLogFile*> m;
  return m;
}

void MakeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0700);
}

const char* LevelText(int level) {
  switch (level) {
    case 1: return "ERROR";
    case 2: return "WARNING";
    case 3: return "INFO";
    default: return "NONE";
  }
}

}  // namespace

std::string TDebugLogFile::LogFolder() {
  if (const char* d = std::getenv("QUILLMARK_LOG_DIR"); d && *d) return d;
  if (const char* s = std::getenv("XDG_STATE_HOME"); s && *s == '/') return std::string(s) + "/quillmark";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/state/quillmark";
}

TDebugLogFile::TDebugLogFile(std::string AFileName) : FFileName(std::move(AFileName)) {}

TDebugLogFile* TDebugLogFile::GetLogInstance(const std::string& ALogName) {
  std::lock_guard<std::mutex> guard(InstancesLock());
  auto& map = Instances();
  auto it = map.find(ALogName);
  if (it == map.end()) it = map.emplace(ALogName, new TDebugLogFile(LogFolder() + "/" + ALogName + ".log")).first;
  ++it->second->FRefs;
  return it->second;
}

void TDebugLogFile::FreeLogInstance(TDebugLogFile* AInstance) {
  if (!AInstance) return;
  std::lock_guard<std::mutex> guard(InstancesLock());
  if (--AInstance->FRefs > 0) return;
  auto& map = Instances();
  for (auto it = map.begin(); it != map.end(); ++it)
    if (it->second == AInstance) {
      map.erase(it);
      break;
    }
  delete AInstance;
}

void TDebugLogFile::SetMaxFileSize(std::uint64_t ABytes) {
  std::lock_guard<std::mutex> guard(FLock);
  FMaxFileSize = ABytes;
}

void TDebugLogFile::BeginNesting(int ALevel) {
  std::lock_guard<std::mutex> guard(FLock);
  if (ALevel <= FLogLevel) ++FNesting;
}

void TDebugLogFile::EndNesting(int ALevel) {
  std::lock_guard<std::mutex> guard(FLock);
  if (ALevel <= FLogLevel && FNesting > 0) --FNesting;
}

void TDebugLogFile::WriteLog(int ALevel, const std::string& AModuleName, const std::string& AText,
                             const std::string& AOwner) {
  if (ALevel <= 0) return;
  std::lock_guard<std::mutex> guard(FLock);
  if (ALevel > FLogLevel) return;
  auto slash = FFileName.rfind('/');
  if (slash != std::string::npos) MakeFolders(FFileName.substr(0, slash));
  if (FMaxFileSize > 0) {
    struct stat st {};
    if (::stat(FFileName.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= FMaxFileSize)
      std::rename(FFileName.c_str(), (FFileName + ".1").c_str());
  }
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(FFileName.c_str(), "a"), std::fclose);
  if (!f) return;  // logging never fails an analysis
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  std::fprintf(f.get(), "%s.%03ld [%s] %s%*s%s [%s]\n", when, ts.tv_nsec / 1000000L, LevelText(ALevel),
               AModuleName.c_str(), FNesting * 2, "", AText.c_str(), AOwner.c_str());
}

}  // namespace quillmark::runtime
