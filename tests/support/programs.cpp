#include "support/programs.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quillmark::test {

namespace {

// Starts argv with stdout and stderr on fd (which it closes); answers the
// child's pid or -1.
pid_t Spawn(const std::vector<std::string>& argv, int fd) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  if (fd >= 0) close(fd);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TProgramRun RunProgramCapture(const std::vector<std::string>& argv) {
  TProgramRun run;
  int pipeFds[2];
  if (argv.empty() || pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  pid_t pid = Spawn(argv, dup(pipeFds[1]));
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    return run;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) run.Output.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR) break;
  }
  close(pipeFds[0]);
  run.Status = Wait(pid);
  return run;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& logFile) {
  if (argv.empty()) return -1;
  int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = Spawn(argv, fd >= 0 ? dup(fd) : -1);
  if (fd >= 0) close(fd);
  return pid < 0 ? -1 : Wait(pid);
}

void TEnvironmentGuard::Set(const char* name, const std::optional<std::string>& value) {
  if (!FSaved.count(name)) {
    const char* old = std::getenv(name);
    FSaved[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  if (value) setenv(name, value->c_str(), 1);
  else unsetenv(name);
}

TEnvironmentGuard::~TEnvironmentGuard() {
  for (auto& [name, value] : FSaved) {
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
  }
}

}  // namespace quillmark::test
