// A process for the running-process tests to look at. It prints "ready" on
// its standard output once it is in the wanted state, then sleeps until it is
// killed (or for at most the given number of seconds).
//
//   qm_process_child connect PORT SECONDS      TCP connection to 127.0.0.1:PORT
//   qm_process_child listen SECONDS            a listening socket on 127.0.0.1
//   qm_process_child window KIND SECONDS       on $DISPLAY: KIND is visible
//                                              (a mapped top-level window),
//                                              unmapped (one never mapped) or
//                                              transient (a mapped window owned
//                                              by an unmapped one)
//   qm_process_child headless                  asks the live host for windows
//                                              and prints whether libX11 got
//                                              loaded ("x11-loaded"/"x11-absent")
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>

#include "runtime/posix/x11_windows.h"
#include "runtime/target_system.h"

using quillmark::runtime::posix::TXlib;

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "qm_process_child: %s: %s\n", what, std::strerror(errno));
  return 2;
}

void ReadyThenSleep(int seconds) {
  std::printf("ready\n");
  std::fflush(stdout);
  for (int i = 0; i < seconds * 10; ++i) usleep(100000);
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int Connect(int port, int seconds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail("connect");
  ReadyThenSleep(seconds);
  return 0;
}

int Listen(int seconds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0)
    return Fail("listen");
  ReadyThenSleep(seconds);
  return 0;
}

int Window(const std::string& kind, int seconds) {
  const TXlib* x = TXlib::Get();
  if (!x) return Fail("libX11");
  TXlib::Display* dpy = x->XOpenDisplay(nullptr);
  if (!dpy) return Fail("XOpenDisplay");
  TXlib::Window root = x->XDefaultRootWindow(dpy);
  TXlib::Atom pidAtom = x->XInternAtom(dpy, "_NET_WM_PID", 0);
  auto make = [&] {
    TXlib::Window w = x->XCreateSimpleWindow(dpy, root, 10, 10, 200, 100, 1, 0, 0xFFFFFF);
    long pid = static_cast<long>(getpid());  // format-32 data is passed as longs
    x->XChangeProperty(dpy, w, pidAtom, TXlib::XA_CARDINAL, 32, TXlib::PropModeReplace,
                       reinterpret_cast<const unsigned char*>(&pid), 1);
    return w;
  };
  TXlib::Window w = make();
  if (kind == "visible") {
    x->XMapWindow(dpy, w);
  } else if (kind == "transient") {
    TXlib::Window dialog = make();
    x->XSetTransientForHint(dpy, dialog, w);
    x->XMapWindow(dpy, dialog);
  } else if (kind != "unmapped") {
    std::fprintf(stderr, "qm_process_child: unknown window kind %s\n", kind.c_str());
    return 2;
  }
  x->XSync(dpy, 0);
  ReadyThenSleep(seconds);
  x->XCloseDisplay(dpy);
  return 0;
}

int Headless() {
  auto windows = quillmark::runtime::LiveHost()->EnumerateTopLevelWindows();
  void* loaded = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
  std::printf("%s %zu\n", loaded ? "x11-loaded" : "x11-absent", windows.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "connect" && argc == 4) return Connect(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "listen" && argc == 3) return Listen(std::atoi(argv[2]));
  if (mode == "headless" && argc == 2) return Headless();
  if (mode == "window" && argc == 4) return Window(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: qm_process_child connect PORT SECONDS | listen SECONDS | window KIND SECONDS\n");
  return 2;
}
