// Main windows: which top-level window of a process counts, over a target's
// window list; the X11 reading on a real Xvfb display with child processes
// that map windows; and a host without a display, which never loads libX11.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/posix/x11_windows.h"
#include "support/child_process.h"
#include "support/processes.h"
#include "support/programs.h"
#include "support/test_target.h"

using namespace quillmark;
using runtime::TWindowEntry;
using test::TEnvironmentGuard;

namespace {

class TWindowTarget : public test::TTestTarget {
 public:
  std::vector<TWindowEntry> Windows;
  int Enumerations = 0;
  std::vector<TWindowEntry> EnumerateTopLevelWindows() override {
    ++Enumerations;
    return Windows;
  }
};

runtime::TProcessEntry Proc(std::uint32_t pid) { return {pid, 1, 1, "app.exe", "C:\\app.exe"}; }

TWindowEntry Win(std::uint64_t handle, std::uint32_t pid, bool visible = true, bool parent = false,
                 bool owner = false) {
  return {handle, pid, visible, parent, owner};
}

}  // namespace

TEST(MainWindow, FirstVisibleUnownedTopLevelWindowOfTheProcess) {
  struct Case {
    const char* what;
    std::vector<TWindowEntry> windows;
    std::uint64_t expected;  // 0: none
  } cases[] = {
      {"a visible window", {Win(11, 7)}, 11},
      {"only hidden windows (a tray program)", {Win(11, 7, false), Win(12, 7, false)}, 0},
      {"only owned dialogs", {Win(11, 7, true, false, true)}, 0},
      {"a window with a parent", {Win(11, 7, true, true)}, 0},
      {"windows of another process", {Win(11, 8)}, 0},
      {"the topmost qualifying one", {Win(10, 7, false), Win(11, 7, true, false, true), Win(12, 7), Win(13, 7)}, 12},
      {"no windows at all", {}, 0},
  };
  for (const Case& c : cases) {
    auto target = std::make_shared<TWindowTarget>();
    target->SetProcesses({Proc(7), Proc(8)});
    target->Windows = c.windows;
    ComPtr<IProcess> p = TProcesses::GetProcessList(target)->FindByID(7);
    ASSERT_TRUE(p) << c.what;
    ComPtr<IWindow> w = p->MainWindow();
    EXPECT_EQ(w ? w->Handle() : 0, c.expected) << c.what;
  }
}

TEST(MainWindow, LookedUpOnDemandAndAgainAfterARefresh) {
  auto target = std::make_shared<TWindowTarget>();
  target->SetProcesses({Proc(7)});
  ComPtr<IProcessList> list = TProcesses::GetProcessList(target);
  EXPECT_EQ(target->Enumerations, 0);  // a list nobody asks about windows
  ComPtr<IProcess> p = list->FindByID(7);
  EXPECT_FALSE(p->MainWindow());
  target->Windows = {Win(11, 7)};
  EXPECT_FALSE(p->MainWindow());  // kept until the next refresh
  EXPECT_EQ(target->Enumerations, 1);
  list->Update();
  ASSERT_TRUE(p->MainWindow());
  EXPECT_EQ(p->MainWindow()->Handle(), 11u);
}

TEST(MainWindow, AHostWithoutADisplayHasNoWindowsAndNeverLoadsLibX11) {
  // A fresh process, so that nothing this test program did loads the library.
  test::TChildProcess child({QUILLMARK_PROCESS_CHILD_PATH, "headless"}, {"DISPLAY"});
  EXPECT_EQ(child.ReadLine(10000), "x11-absent 0");
}

class MainWindowOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!runtime::posix::TXlib::Get()) GTEST_SKIP() << "libX11.so.6 is not installed";
    FXvfb = std::make_unique<test::TXvfb>();
    if (!FXvfb->Running()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb) or did not start";
  }
  std::unique_ptr<test::TChildProcess> Start(const std::string& kind) {
    auto child = std::make_unique<test::TChildProcess>(
        std::vector<std::string>{QUILLMARK_PROCESS_CHILD_PATH, "window", kind, "30"},
        std::vector<std::string>{"DISPLAY=" + FXvfb->Display()});
    EXPECT_EQ(child->ReadLine(10000), "ready") << kind;
    return child;
  }
  std::unique_ptr<test::TXvfb> FXvfb;
};

TEST_F(MainWindowOnXvfb, MappedTopLevelWindowIsAMainWindowUnmappedOrTransientIsNot) {
  auto visible = Start("visible");
  auto unmapped = Start("unmapped");
  auto transient = Start("transient");

  // What the display shows of each child.
  auto windows = runtime::posix::EnumerateX11Windows(FXvfb->Display());
  auto of = [&](pid_t pid) {
    std::vector<TWindowEntry> r;
    for (const auto& w : windows)
      if (w.ProcessID == static_cast<std::uint32_t>(pid)) r.push_back(w);
    return r;
  };
  ASSERT_EQ(of(visible->Pid()).size(), 1u);
  EXPECT_TRUE(of(visible->Pid())[0].Visible);
  EXPECT_FALSE(of(visible->Pid())[0].HasOwner);
  ASSERT_EQ(of(unmapped->Pid()).size(), 1u);
  EXPECT_FALSE(of(unmapped->Pid())[0].Visible);
  ASSERT_EQ(of(transient->Pid()).size(), 2u);  // the hidden owner and its mapped dialog
  for (const auto& w : of(transient->Pid())) EXPECT_EQ(w.Visible, w.HasOwner);

  // The process list of the live host, with DISPLAY naming the server.
  TEnvironmentGuard display("DISPLAY", FXvfb->Display());
  ComPtr<IProcessList> list = TProcesses::GetProcessList(runtime::LiveHost());
  auto mainWindow = [&](pid_t pid) {
    ComPtr<IProcess> p = list->FindByID(static_cast<std::uint32_t>(pid));
    EXPECT_TRUE(p);
    return p ? p->MainWindow() : ComPtr<IWindow>();
  };
  ComPtr<IWindow> w = mainWindow(visible->Pid());
  ASSERT_TRUE(w);
  EXPECT_EQ(w->Handle(), of(visible->Pid())[0].Handle);
  EXPECT_FALSE(mainWindow(unmapped->Pid()));
  EXPECT_FALSE(mainWindow(transient->Pid()));
}

TEST_F(MainWindowOnXvfb, AnUnreachableDisplayGivesNoWindows) {
  EXPECT_TRUE(runtime::posix::EnumerateX11Windows(":1999").empty());
}
