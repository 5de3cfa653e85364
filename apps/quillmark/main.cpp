// quillmark: scores Windows executables with the heuristic engine.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options.h"
#include "quillmark/exports.h"
#include "scanner.h"

using namespace quillmark::cli;

namespace {

int PrintVersion() {
  DLLVERSIONINFO2 info{};
  info.info1.cbSize = sizeof info;
  if (DllGetVersion(&info) == quillmark::S_OK)
    std::printf("quillmark %u.%u.%u\n", info.info1.dwMajorVersion, info.info1.dwMinorVersion,
                info.info1.dwBuildNumber);
  else
    std::printf("quillmark (unknown version)\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  TParseResult parsed = ParseCommandLine(args);
  if (!parsed.Ok) {
    std::fprintf(stderr, "quillmark: %s\nTry 'quillmark --help' for more information.\n", parsed.Error.c_str());
    return 2;
  }
  try {
    switch (parsed.Options.Command) {
      case TCommand::cmdHelp:
        std::fputs(UsageText(), stdout);
        return 0;
      case TCommand::cmdVersion:
        return PrintVersion();
      case TCommand::cmdScan:
        return RunScan(parsed.Options);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillmark: %s\n", e.what());
  }
  return 2;
}
