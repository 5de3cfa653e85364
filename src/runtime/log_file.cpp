#include "runtime/log_file.h"

#include <cstdio>
#include <map>
#include <memory>

#include "quillmark/host_services.h"

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

const char* LevelText(int level) {
  switch (level) {
    case 1: return "ERROR";
    case 2: return "WARNING";
    case 3: return "INFO";
    default: return "NONE";
  }
}

}  // namespace

std::string TDebugLogFile::LogFolder() { return DefaultLogFolder(); }

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
    if (auto size = HostFileSize(FFileName); size && *size >= FMaxFileSize)
      std::rename(FFileName.c_str(), (FFileName + ".1").c_str());
  }
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(FFileName.c_str(), "a"), std::fclose);
  if (!f) return;  // logging never fails an analysis
  const std::string when = LocalTimeStamp();
  std::fprintf(f.get(), "%s [%s] %s%*s%s [%s]\n", when.c_str(), LevelText(ALevel),
               AModuleName.c_str(), FNesting * 2, "", AText.c_str(), AOwner.c_str());
}

}  // namespace quillmark::runtime
