// The process list: refresh semantics over a scripted process table, and a
// real child process found, cached and lost on the live host.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/malware_heuristic.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

runtime::TProcessEntry Entry(std::uint32_t pid, std::string exe, std::string file, std::uint32_t threads = 1) {
  return {pid, 1, threads, std::move(exe), std::move(file)};
}

std::vector<std::uint32_t> Ids(IProcessList& list) {
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < list.Count(); ++i) ids.push_back(list.Items(i)->ProcessID());
  return ids;
}

// A copy of /bin/sleep in a temporary folder, run as a child process.
class TChild {
 public:
  explicit TChild(const std::string& path) : FPath(path) {
    fs::copy_file("/bin/sleep", path);
    fs::permissions(path, fs::perms::owner_all);
    std::string arg0 = path, arg1 = "30";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    if (posix_spawn(&FPid, path.c_str(), nullptr, nullptr, argv, environ) != 0) FPid = 0;
  }
  ~TChild() { Stop(); }
  pid_t Pid() const { return FPid; }
  // Waits until the child runs its own image (after exec).
  bool WaitForImage() {
    const std::string link = "/proc/" + std::to_string(FPid) + "/exe";
    for (int i = 0; i < 400; ++i) {
      std::error_code ec;
      if (fs::read_symlink(link, ec) == FPath) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  void Stop() {
    if (FPid <= 0) return;
    kill(FPid, SIGKILL);
    int status;
    while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FPid = 0;
  }

 private:
  std::string FPath;
  pid_t FPid = 0;
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TEST(ProcessList, UpdateRefreshesKeepsOrderAppendsNewAndFlagsExited) {
  auto target = std::make_shared<TTestTarget>();
  target->SetProcesses({Entry(0, "[System Process]", ""), Entry(10, "a.exe", "C:\\A\\a.exe"),
                        Entry(20, "b.exe", "C:\\B\\b.exe"), Entry(30, "c.exe", "C:\\C\\c.exe")});
  ComPtr<IProcessList> list = TProcesses::GetProcessList(target);
  // The idle pseudo-process is never listed.
  EXPECT_EQ(Ids(*list), (std::vector<std::uint32_t>{10, 20, 30}));
  ComPtr<IProcess> a = list->FindByID(10), b = list->FindByID(20);
  ASSERT_TRUE(a && b);

  target->SetProcesses({Entry(0, "[System Process]", ""), Entry(40, "d.exe", "C:\\D\\d.exe"),
                        Entry(30, "c.exe", "C:\\C\\c.exe"), Entry(10, "a.exe", "C:\\A\\a.exe", 7)});
  list->Update();
  EXPECT_EQ(Ids(*list), (std::vector<std::uint32_t>{10, 30, 40}));
  EXPECT_TRUE(b->Removed());
  EXPECT_FALSE(a->Removed());
  EXPECT_EQ(a->ThreadCount(), 7u);  // the item held by a caller is refreshed in place
  EXPECT_EQ(list->FindByID(10).get(), a.get());
  EXPECT_FALSE(list->FindByID(20));
  int index = 0;
  EXPECT_TRUE(list->FindByIDIndex(40, index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(list->FindByIDIndex(20, index));
  EXPECT_EQ(index, -1);

  // A process table that comes back empty removes everything.
  target->SetProcesses({});
  list->Update();
  EXPECT_EQ(list->Count(), 0);
  EXPECT_TRUE(a->Removed());
}

TEST(ProcessList, FindsIgnoreCaseOnAWindowsTargetAndSkipUnreadablePaths) {
  auto target = std::make_shared<TTestTarget>();
  target->SetProcesses({Entry(5, "System", ""), Entry(6, "Tool.exe", "C:\\Program Files\\Tool\\Tool.exe"),
                        Entry(7, "tool.exe", "D:\\tool.exe")});
  ComPtr<IProcessList> list = TProcesses::GetProcessList(target);
  int index = -2;
  ComPtr<IProcess> p = list->FindByFileNameIndex("c:\\PROGRAM FILES\\tool\\TOOL.EXE", index);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->ProcessID(), 6u);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(list->FindByName("TOOL.EXE")->ProcessID(), 6u);  // the first of equal names
  EXPECT_FALSE(list->FindByFileName(""));                     // a process without a path is never found by path
  EXPECT_FALSE(list->FindByFileName("C:\\Program Files\\Tool\\Tool.ex"));
  EXPECT_EQ(list->FindByName("system")->ProcessID(), 5u);

  list->SortWith([](IProcess& l, IProcess& r) { return int(r.ProcessID()) - int(l.ProcessID()); });
  EXPECT_EQ(Ids(*list), (std::vector<std::uint32_t>{7, 6, 5}));
  list->Sort();  // by executable name, case-sensitive
  EXPECT_EQ(Ids(*list), (std::vector<std::uint32_t>{5, 6, 7}));

  EXPECT_TRUE(TProcesses::HasProcess(target, "d:\\TOOL.exe", true));
  EXPECT_FALSE(TProcesses::HasProcess(target, "d:\\TOOL.exe", false));
  EXPECT_EQ(TProcesses::GetProcess(target, 7)->ExeName(), "tool.exe");
}

TEST(ProcessList, LiveHostListsAChildWithItsPathParentAndThreads) {
  TTempDir dir;
  const std::string path = fs::canonical(dir.Path()).string() + "/QmSleeper";
  TChild child(path);
  ASSERT_GT(child.Pid(), 0);
  ASSERT_TRUE(child.WaitForImage());
  ComPtr<IProcessList> list = TProcesses::GetProcessList(runtime::LiveHost());
  ComPtr<IProcess> p = list->FindByFileName(path);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->ProcessID(), static_cast<std::uint32_t>(child.Pid()));
  EXPECT_EQ(p->ParentProcessID(), static_cast<std::uint32_t>(getpid()));
  EXPECT_EQ(p->ExeName(), "QmSleeper");
  EXPECT_GE(p->ThreadCount(), 1u);
  // Names are compared as the target compares file names: exactly on Linux,
  // where a path in other letter case is another file.
  EXPECT_FALSE(list->FindByFileName(Upper(path)));
  EXPECT_EQ(list->FindByName("QmSleeper").get(), p.get());
  EXPECT_FALSE(list->FindByName("qmsleeper"));

  child.Stop();
  list->Update();
  EXPECT_TRUE(p->Removed());
  EXPECT_FALSE(list->FindByFileName(path));
}

TEST(ProcessList, IsApplicationRunningSeesAChildStartAndExitThroughTheCache) {
  TTempDir dir;
  const std::string path = fs::canonical(dir.Path()).string() + "/qm-sleeper";
  ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic());
  // The list is stamped when its reading ends, somewhere between the times
  // taken before and after the call: a check less than 600 ms after the
  // "before" time is surely answered from it, one 800 ms after the "after"
  // time surely reads the table again, however slow the machine is.
  auto t0 = Clock::now();
  EXPECT_FALSE(engine->IsApplicationRunning(path));  // the list is read here
  auto t0After = Clock::now();

  TChild child(path);
  ASSERT_GT(child.Pid(), 0);
  ASSERT_TRUE(child.WaitForImage());
  // Within 700 ms the engine answers from the list it already has.
  if (Clock::now() - t0 < std::chrono::milliseconds(600)) {
    EXPECT_FALSE(engine->IsApplicationRunning(path));
  }
  std::this_thread::sleep_until(t0After + std::chrono::milliseconds(800));
  const auto t1 = Clock::now();
  EXPECT_TRUE(engine->IsApplicationRunning(path));
  const auto t1After = Clock::now();
  EXPECT_FALSE(engine->IsApplicationRunning(Upper(path)));

  child.Stop();
  if (Clock::now() - t1 < std::chrono::milliseconds(600)) {
    EXPECT_TRUE(engine->IsApplicationRunning(path));
  }
  std::this_thread::sleep_until(t1After + std::chrono::milliseconds(800));
  EXPECT_FALSE(engine->IsApplicationRunning(path));
  // A fresh engine reads the table anew.
  ComPtr<TMalwareHeuristic> fresh(new TMalwareHeuristic());
  EXPECT_FALSE(fresh->IsApplicationRunning(path));
}
