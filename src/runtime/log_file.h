// Log-file writer shared per log name. Files live in $QUILLMARK_LOG_DIR when
// set, else $XDG_STATE_HOME/quillmark, else ~/.local/state/quillmark, one file
// "<log name>.log" per name.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace quillmark::runtime {

class TDebugLogFile {
 public:
  // The shared writer of that log name (created on first request); every
  // request must be paired with FreeLogInstance.
  static TDebugLogFile* GetLogInstance(const std::string& ALogName);
  static void FreeLogInstance(TDebugLogFile* AInstance);

  // Folder that log files go to (without creating it).
  static std::string LogFolder();

  void SetMaxFileSize(std::uint64_t ABytes);  // 0: no limit
  int LogLevel() const { return FLogLevel; }
  void SetLogLevel(int ALevel) { FLogLevel = ALevel; }
  bool DirectWrite() const { return FDirectWrite; }
  void SetDirectWrite(bool AValue) { FDirectWrite = AValue; }
  void BeginNesting(int ALevel);
  void EndNesting(int ALevel);
  const std::string& FileName() const { return FFileName; }

  // Writes one entry when ALevel is within the current level.
  void WriteLog(int ALevel, const std::string& AModuleName, const std::string& AText, const std::string& AOwner);

 private:
  explicit TDebugLogFile(std::string AFileName);

  std::mutex FLock;
  std::string FFileName;
  std::uint64_t FMaxFileSize = 0;
  int FLogLevel = 1;  // errors only until told otherwise
  bool FDirectWrite = true;
  int FNesting = 0;
  int FRefs = 0;
};

}  // namespace quillmark::runtime
