// quillmark: scores Windows executables with the heuristic engine.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options.h"
#include "output.h"
#include "quillmark/exports.h"
#include "scanner.h"

using namespace quillmark::cli;

namespace {

int PrintVersion() {
  using namespace quillmark;  // S_OK: our constant here, the SDK's macro on Windows
  DLLVERSIONINFO2 info{};
  info.info1.cbSize = sizeof info;
  std::string text = "quillmark (unknown version)\n";
  if (DllGetVersion(&info) == S_OK)
    text = "quillmark " + std::to_string(info.info1.dwMajorVersion) + "." +
           std::to_string(info.info1.dwMinorVersion) + "." + std::to_string(info.info1.dwBuildNumber) + "\n";
  return WriteOutput(text) == 0 ? 0 : 2;
}

int Run(const TOptions& options) {
  switch (options.Command) {
    case TCommand::cmdHelp:
      return WriteOutput(UsageText()) == 0 ? 0 : 2;
    case TCommand::cmdVersion:
      return PrintVersion();
    case TCommand::cmdListRules:
      return ListRules();
    case TCommand::cmdScan:
      return RunScan(options);
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away is an output error like any other, not a signal
  // that ends the program without a word.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  TParseResult parsed = ParseCommandLine(args);
  if (!parsed.Ok) {
    std::fprintf(stderr, "quillmark: %s\nTry 'quillmark --help' for more information.\n", parsed.Error.c_str());
    return 2;
  }
  int status = 2;
  try {
    status = Run(parsed.Options);
  } catch (const std::exception& e) {
    Message({e.what()});
    status = 2;
  }
  if (!CloseOutput()) status = 2;
  return status;
}
