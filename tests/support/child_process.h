// Real processes, sockets and displays for the running-process tests: a child
// process in its own process group (killed with its whole group when the
// object goes away), a TCP listener on 127.0.0.1 and an Xvfb server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillmark::test {

// Full path of a program found in PATH; empty when there is none.
std::string FindProgram(const std::string& name);

class TChildProcess {
 public:
  // Starts argv[0] with the arguments. AEnvironment changes the inherited
  // environment: "NAME=VALUE" sets, a bare "NAME" removes. The child's
  // standard output is a pipe read by ReadLine; its standard error goes to
  // AErrorFile (or /dev/null).
  explicit TChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& AEnvironment = {},
                         const std::string& AErrorFile = {});
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Pid() const { return FPid; }
  // One line of the child's output without its end; empty on timeout or end
  // of output.
  std::string ReadLine(int ATimeoutMs);
  // Kills the child's process group and reaps the child.
  void Kill();
  // Waits for the child to end by itself; its exit status, or -1 on timeout.
  int Wait(int ATimeoutMs);

 private:
  pid_t FPid = -1;
  int FOut = -1;
  std::string FPending;
};

class TLoopbackListener {
 public:
  // Listens on 127.0.0.1 on a free port.
  TLoopbackListener();
  ~TLoopbackListener();
  std::uint16_t Port() const { return FPort; }
  // Accepts one connection (kept open until the listener goes away); false
  // when none came in time.
  bool Accept(int ATimeoutMs);

 private:
  int FFd = -1;
  std::uint16_t FPort = 0;
  std::vector<int> FAccepted;
};

// An Xvfb server on a free display number, stopped when the object goes away.
class TXvfb {
 public:
  TXvfb();
  ~TXvfb();
  bool Running() const { return FRunning; }
  // ":N".
  const std::string& Display() const { return FDisplay; }

 private:
  std::string FDisplay;
  bool FRunning = false;
  std::unique_ptr<TChildProcess> FServer;
};

}  // namespace quillmark::test
