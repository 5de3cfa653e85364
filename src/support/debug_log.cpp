#include "support/debug_log.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "runtime/log_file.h"
#include "runtime/target_system.h"
#include "support/exceptions.h"

namespace quillmark {

namespace {
constexpr char S_SPACE = ' ';
constexpr const char* S_VALUE_STR = "%s = %s";
constexpr const char* S_ERROR = "%s: error %s (%s)";
constexpr const char* S_EXCEPTION = "%s: exception %s: %s";
constexpr const char* BOOL_TO_STR[2] = {"False", "True"};

std::string Format(const char* fmt, const std::string& a, const std::string& b, const std::string& c = {}) {
  int n = std::snprintf(nullptr, 0, fmt, a.c_str(), b.c_str(), c.c_str());
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(out.data(), out.size() + 1, fmt, a.c_str(), b.c_str(), c.c_str());
  return out;
}

std::string BaseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

TDebugLog::TDebugLog(const std::string& ALogName, const std::string& AModuleName, std::uint64_t AMaxFileSize)
    : FLogName(ALogName) {
  FModuleName = AModuleName;
  if (FModuleName.size() < 30) FModuleName.append(30 - FModuleName.size(), S_SPACE);
  FModuleName += S_SPACE;
  if (strcasecmp(ALogName.c_str(), "bds") != 0) {
    FDebugLogFile = runtime::TDebugLogFile::GetLogInstance(ALogName);
    FDebugLogFile->SetMaxFileSize(AMaxFileSize);
  }
}

TDebugLog::~TDebugLog() { runtime::TDebugLogFile::FreeLogInstance(FDebugLogFile); }

TLogLevel TDebugLog::LogLevel() const {
  if (!FDebugLogFile) return TLogLevel::llNone;
  int l = FDebugLogFile->LogLevel();
  if (l < 0) l = 0;
  if (l > 3) l = 3;
  return static_cast<TLogLevel>(l);
}

void TDebugLog::SetLogLevel(TLogLevel ALevel) {
  if (FDebugLogFile) FDebugLogFile->SetLogLevel(static_cast<int>(ALevel));
}

bool TDebugLog::DirectWrite() const { return FDebugLogFile && FDebugLogFile->DirectWrite(); }

void TDebugLog::SetDirectWrite(bool AValue) {
  if (FDebugLogFile) FDebugLogFile->SetDirectWrite(AValue);
}

std::string TDebugLog::FileName() const { return FDebugLogFile ? FDebugLogFile->FileName() : std::string(); }

void TDebugLog::WriteLog(TLogLevel ALevel, const std::string& AStr, const std::string& AOwner) {
  if (FDebugLogFile) FDebugLogFile->WriteLog(static_cast<int>(ALevel), FModuleName, AStr, AOwner);
}

void TDebugLog::BeginNesting(TLogLevel ALevel) {
  if (FDebugLogFile) FDebugLogFile->BeginNesting(static_cast<int>(ALevel));
}

void TDebugLog::EndNesting(TLogLevel ALevel) {
  if (FDebugLogFile) FDebugLogFile->EndNesting(static_cast<int>(ALevel));
}

void TDebugLog::BeginProc(TLogLevel ALevel, const std::string& AProcName, const std::string& AOwner) {
  WriteLog(ALevel, "Begin " + AProcName, AOwner);
  BeginNesting(ALevel);
}

void TDebugLog::EndProc(TLogLevel ALevel, const std::string& AResult, const std::string& AOwner) {
  EndNesting(ALevel);
  WriteLog(ALevel, "End " + AResult, AOwner);
}

void TDebugLog::LogValue(TLogLevel ALevel, const std::string& AComment, bool AValue, const std::string& AOwner) {
  WriteLog(ALevel, Format(S_VALUE_STR, AComment, BOOL_TO_STR[AValue ? 1 : 0]), AOwner);
}

void TDebugLog::LogValue(TLogLevel ALevel, const std::string& AComment, std::uint32_t AValue,
                         const std::string& AOwner) {
  WriteLog(ALevel, Format(S_VALUE_STR, AComment, std::to_string(AValue)), AOwner);
}

void TDebugLog::LogValue(TLogLevel ALevel, const std::string& AComment, std::int32_t AValue,
                         const std::string& AOwner) {
  WriteLog(ALevel, Format(S_VALUE_STR, AComment, std::to_string(AValue)), AOwner);
}

void TDebugLog::LogValue(TLogLevel ALevel, const std::string& AComment, const std::string& AValue,
                         const std::string& AOwner) {
  WriteLog(ALevel, Format(S_VALUE_STR, AComment, AValue), AOwner);
}

void TDebugLog::LogError(TLogLevel ALevel, const std::string& AComment, std::uint32_t AErrorCode,
                         const std::string& AOwner) {
  if (!FDebugLogFile) return;
  char code[16];
  std::snprintf(code, sizeof code, "%08X", AErrorCode);
  WriteLog(ALevel, Format(S_ERROR, AComment, code, std::strerror(static_cast<int>(AErrorCode))), AOwner);
}

void TDebugLog::LogError(TLogLevel ALevel, const std::string& AComment, const std::exception& AException,
                         const std::string& AOwner) {
  if (!FDebugLogFile) return;
  WriteLog(ALevel, Format(S_EXCEPTION, AComment, ExceptionClassName(AException), AException.what()), AOwner);
}

TDebugLog& DebugLog() {
  static TDebugLog log(
      [] {
        std::string name = runtime::HostExecutableName();
        auto dot = name.rfind('.');
        return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
      }(),
      BaseName(runtime::LibraryModuleFileName()), 0);
  return log;
}

}  // namespace quillmark
