// Running the project's programs and other commands from tests, and setting
// environment variables for the length of a test.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillmark::test {

struct TProgramRun {
  int Status = -1;     // exit status; -1 when the program did not exit normally
  std::string Output;  // stdout and stderr together
};

// Runs argv[0] with the other arguments (no shell) and collects its output.
TProgramRun RunProgramCapture(const std::vector<std::string>& argv);

// Runs argv[0] with its output written to logFile; answers its exit status.
int RunProgram(const std::vector<std::string>& argv, const std::string& logFile);

// Sets or removes environment variables and puts the old values back at
// destruction.
class TEnvironmentGuard {
 public:
  TEnvironmentGuard() = default;
  TEnvironmentGuard(const char* name, const std::optional<std::string>& value) { Set(name, value); }
  TEnvironmentGuard(const TEnvironmentGuard&) = delete;
  TEnvironmentGuard& operator=(const TEnvironmentGuard&) = delete;
  ~TEnvironmentGuard();
  // An empty optional removes the variable.
  void Set(const char* name, const std::optional<std::string>& value);

 private:
  std::map<std::string, std::optional<std::string>> FSaved;
};

}  // namespace quillmark::test
