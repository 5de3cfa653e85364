// Everything the program prints: result lines on stdout, messages and the
// progress bar on stderr. Every write to stdout is checked; a failed one is
// said once on stderr and makes the exit status 2.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

namespace quillmark::cli {

// Writes text to stdout and flushes it; 0, or the errno of the failure.
// Once a write failed nothing more is written (the same errno is answered).
// Callers serialise their calls.
int WriteStdout(std::string_view text);

// True once a write to stdout failed.
bool StdoutFailed();

// "quillmark: cannot write the output: REASON" on stderr, the first time
// only.
void ReportOutputError(int err);

// Flushes and closes stdout; false, said on stderr, when that failed or an
// earlier write did.
bool CloseStdout();

// "quillmark: " with the pieces and a line end on stderr.
void Message(std::initializer_list<std::string_view> pieces);

// Serialises the workers' output. The bar is wiped before a line that lands
// on the same terminal, so that lines stay whole, and redrawn at most ten
// times a second otherwise.
class TOutput {
 public:
  // AWarnings: problems of the whole scan (knowledge that could not be
  // used), carried in every JSON record.
  TOutput(bool json, long double threshold, bool progress, std::size_t total, std::vector<std::string> AWarnings);

  // Prints what became of one file: its line or record on stdout, a message
  // on stderr when it could not be read and for each of its notes. False
  // once stdout failed: the scan should stop.
  bool Report(const TFileReport& r);

  // Wipes the progress bar.
  void Finish();

 private:
  void ClearProgress();
  void DrawProgress();

  std::mutex FLock;
  const bool FJson;
  const long double FThreshold;
  const bool FProgress;
  const bool FStdoutIsTerminal;
  const std::size_t FTotal;
  const std::vector<std::string> FWarnings;
  std::size_t FDone = 0;
  bool FDrawn = false;
  std::chrono::steady_clock::time_point FLastDraw;
};

}  // namespace quillmark::cli
