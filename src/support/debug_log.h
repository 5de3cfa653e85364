// The library's level-filtered debug log. One instance for the library,
// named after the host executable; analyses write one error entry when they
// fail with an exception.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace quillmark {

namespace runtime {
class TDebugLogFile;
}

enum class TLogLevel { llNone = 0, llError = 1, llWarning = 2, llInfo = 3 };

class TDebugLog {
 public:
  // A log named "bds" (any case) has no writer and writes nothing.
  TDebugLog(const std::string& ALogName, const std::string& AModuleName, std::uint64_t AMaxFileSize);
  ~TDebugLog();
  TDebugLog(const TDebugLog&) = delete;
  TDebugLog& operator=(const TDebugLog&) = delete;

  const std::string& LogName() const { return FLogName; }
  // Module name padded to 30 characters plus one separator.
  const std::string& ModuleName() const { return FModuleName; }
  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel ALevel);
  bool DirectWrite() const;
  void SetDirectWrite(bool AValue);
  // Path of the file entries go to; empty without a writer.
  std::string FileName() const;

  void WriteLog(TLogLevel ALevel, const std::string& AStr, const std::string& AOwner);
  void BeginNesting(TLogLevel ALevel);
  void EndNesting(TLogLevel ALevel);
  void BeginProc(TLogLevel ALevel, const std::string& AProcName, const std::string& AOwner);
  void EndProc(TLogLevel ALevel, const std::string& AResult, const std::string& AOwner);
  void LogValue(TLogLevel ALevel, const std::string& AComment, bool AValue, const std::string& AOwner);
  void LogValue(TLogLevel ALevel, const std::string& AComment, std::uint32_t AValue, const std::string& AOwner);
  void LogValue(TLogLevel ALevel, const std::string& AComment, std::int32_t AValue, const std::string& AOwner);
  void LogValue(TLogLevel ALevel, const std::string& AComment, const std::string& AValue, const std::string& AOwner);
  void LogError(TLogLevel ALevel, const std::string& AComment, std::uint32_t AErrorCode, const std::string& AOwner);
  void LogError(TLogLevel ALevel, const std::string& AComment, const std::exception& AException,
                const std::string& AOwner);

 private:
  std::string FModuleName;
  runtime::TDebugLogFile* FDebugLogFile = nullptr;
  std::string FLogName;
};

// The library's log: named after the host executable without its extension,
// carrying this library's file name as module name.
TDebugLog& DebugLog();

}  // namespace quillmark
