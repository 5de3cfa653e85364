#include "output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillmark/host_api.h"
#include "quillmark/host_services.h"

namespace quillmark::cli {

namespace {

std::atomic<int> gOutputError{0};
std::atomic<bool> gOutputErrorReported{false};
FILE* gOutput = nullptr;    // nullptr: stdout
std::string gOutputName;    // the -o file, as given

FILE* Output() { return gOutput ? gOutput : stdout; }

}  // namespace

bool UseOutputFile(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "we");
  if (!file) {
    const int err = errno;
    Message({"cannot write '", PrintableName(path), "': ", std::strerror(err)});
    return false;
  }
  gOutput = file;
  gOutputName = path;
  return true;
}

int WriteOutput(std::string_view text) {
  if (const int err = gOutputError.load()) return err;
  errno = 0;
  FILE* out = Output();
  const bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
  if (ok) return 0;
  const int err = errno ? errno : EIO;
  gOutputError = err;
  return err;
}

bool OutputFailed() { return gOutputError.load() != 0; }

void ReportOutputError(int err) {
  if (gOutputErrorReported.exchange(true)) return;
  if (gOutput)
    Message({"cannot write '", PrintableName(gOutputName), "': ", std::strerror(err)});
  else
    Message({"cannot write the output: ", std::strerror(err)});
}

bool CloseOutput() {
  FILE* out = Output();
  if (const int err = gOutputError.load()) {
    ReportOutputError(err);
    std::fclose(out);
    return false;
  }
  errno = 0;
  // fflush first: fclose does not always say why a buffered write failed.
  const bool flushed = std::fflush(out) == 0;
  int err = flushed ? 0 : (errno ? errno : EIO);
  errno = 0;
  if (std::fclose(out) != 0 && !err) err = errno ? errno : EIO;
  if (!err) return true;
  gOutputError = err;
  ReportOutputError(err);
  return false;
}

bool StderrIsCapableTerminal() {
  if (!runtime::IsTerminal(stderr)) return false;
  const char* term = std::getenv("TERM");
  return term && *term && std::strcmp(term, "dumb") != 0;
}

void Message(std::initializer_list<std::string_view> pieces) {
  std::string line = "quillmark: ";
  for (std::string_view piece : pieces) line += piece;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

TOutput::TOutput(bool json, bool quiet, long double threshold, bool progress, std::size_t total,
                 std::vector<std::string> AWarnings)
    : FJson(json),
      FQuiet(quiet),
      FThreshold(threshold),
      FProgress(progress),
      FOutputIsTerminal(runtime::IsTerminal(Output())),
      FTotal(total),
      FWarnings(std::move(AWarnings)) {}

bool TOutput::Report(const TFileReport& r) {
  std::lock_guard<std::mutex> guard(FLock);
  if (OutputFailed()) return false;
  const bool flagged = r.Analyzed && r.Percent >= FThreshold;
  const bool printLine = FQuiet ? flagged : (FJson || r.Readable);
  if (!r.Readable || r.AnalysisFailed || !r.Warnings.empty() || (printLine && FOutputIsTerminal)) ClearProgress();
  if (!r.Readable) Message({"cannot read '", PrintableName(r.File), "': ", r.Error});
  if (r.AnalysisFailed) Message({"cannot analyse '", PrintableName(r.File), "': ", r.Error});
  for (const std::string& note : r.Warnings) Message({"warning: '", PrintableName(r.File), "': ", note});
  if (printLine) {
    std::string line = FJson ? FormatJson(r, FThreshold, FWarnings) : FormatText(r, FThreshold);
    line += '\n';
    if (const int err = WriteOutput(line)) {
      ClearProgress();
      ReportOutputError(err);
      return false;
    }
  }
  ++FDone;
  const auto now = std::chrono::steady_clock::now();
  if (!FDrawn || now - FLastDraw >= std::chrono::milliseconds(100)) {
    DrawProgress();
    FLastDraw = now;
  }
  return true;
}

void TOutput::Finish() {
  std::lock_guard<std::mutex> guard(FLock);
  ClearProgress();
}

void TOutput::ClearProgress() {
  if (FDrawn) std::fputs("\r\033[K", stderr);
  FDrawn = false;
}

void TOutput::DrawProgress() {
  if (!FProgress || FDone >= FTotal) return;
  constexpr std::size_t kWidth = 30;
  const std::size_t filled = FDone * kWidth / FTotal;
  std::string bar(filled, '#');
  bar.append(kWidth - filled, '.');
  std::fprintf(stderr, "\r[%s] %zu/%zu files\033[K", bar.c_str(), FDone, FTotal);
  std::fflush(stderr);
  FDrawn = true;
}

}  // namespace quillmark::cli
