#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillmark::test {

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t pos = 0;
  while (pos <= dirs.size()) {
    std::size_t end = dirs.find(':', pos);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(pos, end - pos) + "/" + name;
    if (end > pos && access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = end + 1;
  }
  return {};
}

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& AEnvironment,
                             const std::string& AErrorFile) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const std::string& change : AEnvironment) {
    const std::string name = change.substr(0, change.find('='));
    std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const std::string errorFile = AErrorFile.empty() ? "/dev/null" : AErrorFile;
  FPid = fork();
  if (FPid < 0) throw std::runtime_error("fork");
  if (FPid == 0) {
    setpgid(0, 0);
    dup2(pipeFds[1], STDOUT_FILENO);
    int err = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, STDIN_FILENO);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(FPid, FPid);
  close(pipeFds[1]);
  FOut = pipeFds[0];
}

TChildProcess::~TChildProcess() {
  Kill();
  if (FOut >= 0) close(FOut);
}

std::string TChildProcess::ReadLine(int ATimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  for (;;) {
    auto eol = FPending.find('\n');
    if (eol != std::string::npos) {
      std::string line = FPending.substr(0, eol);
      FPending.erase(0, eol + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || FOut < 0) return {};
    pollfd p{FOut, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    char buf[256];
    ssize_t n = read(FOut, buf, sizeof buf);
    if (n <= 0) return {};
    FPending.append(buf, static_cast<std::size_t>(n));
  }
}

void TChildProcess::Kill() {
  if (FPid <= 0) return;
  kill(-FPid, SIGKILL);
  kill(FPid, SIGKILL);
  waitpid(FPid, nullptr, 0);
  FPid = -1;
}

int TChildProcess::Wait(int ATimeoutMs) {
  if (FPid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  do {
    int status = 0;
    if (waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return -1;
}

TLoopbackListener::TLoopbackListener() {
  FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(FFd, 8) != 0 ||
      getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  FPort = ntohs(a.sin_port);
}

TLoopbackListener::~TLoopbackListener() {
  for (int fd : FAccepted) close(fd);
  if (FFd >= 0) close(FFd);
}

bool TLoopbackListener::Accept(int ATimeoutMs) {
  pollfd p{FFd, POLLIN, 0};
  if (poll(&p, 1, ATimeoutMs) <= 0) return false;
  int fd = accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  FAccepted.push_back(fd);
  return true;
}

namespace {

bool Accepts(const std::string& socketPath) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, socketPath.c_str(), sizeof a.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace

TXvfb::TXvfb() {
  const std::string xvfb = FindProgram("Xvfb");
  if (xvfb.empty()) return;
  for (int n = 91; n < 140 && !FRunning; ++n) {
    const std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(n);
    const std::string lockPath = "/tmp/.X" + std::to_string(n) + "-lock";
    // A lock whose server is gone is stale; Xvfb replaces it, and the
    // socket with it.
    std::ifstream existing(lockPath);
    long holder = 0;
    if (existing >> holder && holder > 0 && kill(static_cast<pid_t>(holder), 0) == 0) continue;
    FDisplay = std::to_string(n);
    FDisplay.insert(FDisplay.begin(), ':');
    FServer = std::make_unique<TChildProcess>(
        std::vector<std::string>{xvfb, FDisplay, "-noreset", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
    for (int i = 0; i < 100; ++i) {
      // A socket that takes connections and a lock file naming our server:
      // another run may have taken the same number at the same moment.
      if (Accepts(socketPath)) {
        std::ifstream lock(lockPath);
        long owner = 0;
        if (lock >> owner && owner == static_cast<long>(FServer->Pid())) {
          FRunning = true;
          break;
        }
      }
      if (FServer->Wait(0) >= 0) break;  // it ended: display taken meanwhile
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!FRunning) FServer.reset();
  }
}

TXvfb::~TXvfb() {
  // Asked to stop, the server removes its lock file and socket.
  if (FServer && FServer->Pid() > 0) {
    kill(FServer->Pid(), SIGTERM);
    FServer->Wait(5000);
  }
  FServer.reset();
}

}  // namespace quillmark::test
