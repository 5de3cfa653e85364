#include "output.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text_encoding.h"

namespace quillmark::cli {

namespace {

std::atomic<int> gStdoutError{0};
std::atomic<bool> gStdoutErrorReported{false};

}  // namespace

int WriteStdout(std::string_view text) {
  if (const int err = gStdoutError.load()) return err;
  errno = 0;
  const bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
  if (ok) return 0;
  const int err = errno ? errno : EIO;
  gStdoutError = err;
  return err;
}

bool StdoutFailed() { return gStdoutError.load() != 0; }

void ReportOutputError(int err) {
  if (gStdoutErrorReported.exchange(true)) return;
  std::fprintf(stderr, "quillmark: cannot write the output: %s\n", std::strerror(err));
  std::fflush(stderr);
}

bool CloseStdout() {
  if (const int err = gStdoutError.load()) {
    ReportOutputError(err);
    std::fclose(stdout);
    return false;
  }
  errno = 0;
  // fflush first: fclose does not always say why a buffered write failed.
  const bool flushed = std::fflush(stdout) == 0;
  int err = flushed ? 0 : (errno ? errno : EIO);
  errno = 0;
  if (std::fclose(stdout) != 0 && !err) err = errno ? errno : EIO;
  if (!err) return true;
  gStdoutError = err;
  ReportOutputError(err);
  return false;
}

void Message(std::initializer_list<std::string_view> pieces) {
  std::string line = "quillmark: ";
  for (std::string_view piece : pieces) line += piece;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

TOutput::TOutput(bool json, long double threshold, bool progress, std::size_t total,
                 std::vector<std::string> AWarnings)
    : FJson(json),
      FThreshold(threshold),
      FProgress(progress),
      FStdoutIsTerminal(::isatty(STDOUT_FILENO) == 1),
      FTotal(total),
      FWarnings(std::move(AWarnings)) {}

bool TOutput::Report(const TFileReport& r) {
  std::lock_guard<std::mutex> guard(FLock);
  if (StdoutFailed()) return false;
  const bool printLine = FJson || r.Readable;
  if (!r.Readable || r.AnalysisFailed || !r.Warnings.empty() || (printLine && FStdoutIsTerminal)) ClearProgress();
  if (!r.Readable) Message({"cannot read '", PrintableName(r.File), "': ", r.Error});
  if (r.AnalysisFailed) Message({"cannot analyse '", PrintableName(r.File), "': ", r.Error});
  for (const std::string& note : r.Warnings) Message({"warning: '", PrintableName(r.File), "': ", note});
  if (printLine) {
    std::string line = FJson ? FormatJson(r, FWarnings) : FormatText(r, FThreshold);
    line += '\n';
    if (const int err = WriteStdout(line)) {
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
