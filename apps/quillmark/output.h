// Everything the program prints: result lines on the output (stdout, or the
// file given to -o), messages, the progress bar and the summary on stderr.
// Every write to the output is checked; a failed one is said once on stderr
// and makes the exit status 2.
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

// Sends the output to the file at path instead of stdout, created or
// truncated; false, said on stderr, when it cannot be opened.
bool UseOutputFile(const std::string& path);

// Writes text to the output and flushes it; 0, or the errno of the failure.
// Once a write failed nothing more is written (the same errno is answered).
// Callers serialise their calls.
int WriteOutput(std::string_view text);

// True once a write to the output failed.
bool OutputFailed();

// "quillmark: cannot write the output: REASON" (or "cannot write 'FILE':
// REASON" for -o) on stderr, the first time only.
void ReportOutputError(int err);

// Flushes and closes the output; false, said on stderr, when that failed or
// an earlier write did.
bool CloseOutput();

// True when stderr is a terminal that understands the progress bar's
// escapes: TERM is set and not "dumb".
bool StderrIsCapableTerminal();

// "quillmark: " with the pieces and a line end on stderr.
void Message(std::initializer_list<std::string_view> pieces);

// Serialises the workers' output. The bar is wiped before a line that lands
// on the same terminal, so that lines stay whole, and redrawn at most ten
// times a second otherwise.
class TOutput {
 public:
  // AWarnings: problems of the whole scan (knowledge that could not be
  // used), carried in every JSON record. quiet: only files at or above the
  // threshold get a line or record.
  TOutput(bool json, bool quiet, long double threshold, bool progress, std::size_t total,
          std::vector<std::string> AWarnings);

  // Prints what became of one file: its line or record on the output, a
  // message on stderr when it could not be read and for each of its notes.
  // False once the output failed: the scan should stop.
  bool Report(const TFileReport& r);

  // Wipes the progress bar.
  void Finish();

 private:
  void ClearProgress();
  void DrawProgress();

  std::mutex FLock;
  const bool FJson;
  const bool FQuiet;
  const long double FThreshold;
  const bool FProgress;
  const bool FOutputIsTerminal;
  const std::size_t FTotal;
  const std::vector<std::string> FWarnings;
  std::size_t FDone = 0;
  bool FDrawn = false;
  std::chrono::steady_clock::time_point FLastDraw;
};

}  // namespace quillmark::cli
