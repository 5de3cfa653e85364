// Windows programs under Wine: how a Wine process's program is found on the
// Linux side (drive mapping of the prefix, command line, mapped image), and
// end to end a small PE program built by the test suite that runs under Wine,
// connects to the test's listener on 127.0.0.1 and is analysed by its path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/malware_heuristic.h"
#include "quillmark/rule_results.h"
#include "runtime/posix/wine_paths.h"
#include "support/child_process.h"
#include "support/iphlpapi.h"
#include "support/signing.h"
#include "support/temp_dir.h"

using namespace quillmark;
using namespace quillmark::runtime::posix;
namespace fs = std::filesystem;
using R = TMalwareRuleType;

namespace {

// A prefix whose C: drive holds "Program Files/Tool/Tool.exe".
class WinePaths : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix = (dir.Path() / "prefix").string();
    fs::create_directories(dir.Path() / "prefix" / "dosdevices");
    fs::create_directory_symlink("../drive_c", dir.Path() / "prefix" / "dosdevices" / "c:");
    tool = fs::canonical(fs::path(dir.WriteFile("prefix/drive_c/Program Files/Tool/Tool.exe", "MZ"))).string();
  }
  test::TTempDir dir;
  std::string prefix, tool;
};

}  // namespace

TEST_F(WinePaths, WindowsPathsThroughTheDriveMapping) {
  const std::string toolFolder = fs::path(tool).parent_path().string();
  std::string unixForm = "\\\\?\\unix" + tool;
  for (char& c : unixForm)
    if (c == '/') c = '\\';
  struct Case {
    std::string windows, cwd, expected;
  } cases[] = {
      {"C:\\Program Files\\Tool\\Tool.exe", "", tool},
      {"c:\\PROGRAM FILES\\tool\\TOOL.EXE", "", tool},  // Windows names ignore case
      {"C:/Program Files/Tool/Tool.exe", "", tool},
      {"\\??\\C:\\Program Files\\Tool\\Tool.exe", "", tool},
      {"C:\\Program Files\\Tool\\..\\Tool\\Tool.exe", "", tool},
      {unixForm, "", tool},
      {tool, "", tool},                                     // a Linux path handed to wine as it is
      {"Tool\\tool.exe", fs::path(toolFolder).parent_path().string(), tool},  // relative to the working folder
      {"D:\\Tool.exe", "", ""},                             // no such drive
      {"C:\\Program Files\\Tool\\Missing.exe", "", ""},
      {"C:\\Program Files\\Tool", "", ""},                  // a folder is not a program
  };
  for (const Case& c : cases) EXPECT_EQ(WineWindowsPathToLinux(prefix, c.windows, c.cwd), c.expected) << c.windows;
}

TEST_F(WinePaths, ProgramOfAProcessFromItsProcEntries) {
  // A /proc of two Wine processes, laid out as the kernel shows them.
  const fs::path proc = dir.Path() / "proc";
  auto write = [&](const std::string& relative, const std::string& content) {
    fs::create_directories((proc / relative).parent_path());
    std::ofstream(proc / relative, std::ios::binary) << content;
  };
  using namespace std::string_literals;
  write("4242/cmdline", "C:\\Program Files\\Tool\\tool.exe\0\0\0\0"s);
  write("4242/environ", "HOME=/nonexistent\0WINEPREFIX="s + prefix + "\0WINEDEBUG=-all\0"s);
  fs::create_directory_symlink("/", proc / "4242" / "cwd");
  EXPECT_EQ(WineProcessImagePath(4242, proc.string()), tool);

  // Without WINEPREFIX the prefix is ~/.wine of the process's HOME.
  fs::create_directories(dir.Path() / "home");
  fs::create_directory_symlink(prefix, dir.Path() / "home" / ".wine");
  write("4243/cmdline", "C:\\Program Files\\Tool\\Tool.exe\0"s);
  write("4243/environ", "HOME="s + (dir.Path() / "home").string() + "\0"s);
  EXPECT_EQ(WineProcessImagePath(4243, proc.string()), tool);

  // A command line that leads nowhere: the mapped image of that name.
  write("4244/cmdline", "tool\0"s);
  write("4244/environ", "WINEPREFIX=/nonexistent\0"s);
  write("4244/maps", "7f0000000000-7f0000001000 r--p 00000000 08:01 123 /usr/lib/wine/wine64\n"
                     "140000000-140001000 r--p 00000000 08:01 456 " + tool + "\n");
  EXPECT_EQ(WineProcessImagePath(4244, proc.string()), tool);

  write("4245/cmdline", "C:\\elsewhere\\gone.exe\0"s);
  EXPECT_EQ(WineProcessImagePath(4245, proc.string()), "");
  EXPECT_EQ(WineProcessImagePath(4246, proc.string()), "");  // no such process
}

TEST(WineLoader, RecognisedByItsFileName) {
  for (const char* loader : {"/usr/lib/wine/wine64", "/usr/lib/wine/wine", "/usr/lib/wine/wine64-preloader",
                             "/opt/wine-stable/bin/wine-preloader", "/usr/bin/wine-stable"})
    EXPECT_TRUE(IsWineLoader(loader)) << loader;
  for (const char* other : {"/usr/lib/wine/wineserver64", "/usr/bin/winecfg", "/usr/bin/bash", "wine64.exe"})
    EXPECT_FALSE(IsWineLoader(other)) << other;
}

namespace {

// A Wine program from PATH, or where Debian's wine64 package puts it when the
// wine package (the commands in /usr/bin) is absent.
std::string WineProgram(const std::string& name, const std::string& fallback) {
  std::string path = test::FindProgram(name);
  if (path.empty() && access(fallback.c_str(), X_OK) == 0) path = fallback;
  return path;
}

// Ends every process of a Wine prefix when it goes away.
class TWinePrefix {
 public:
  explicit TWinePrefix(std::string path) : FPath(std::move(path)) {}
  ~TWinePrefix() {
    const std::string server = WineProgram("wineserver", "/usr/lib/wine/wineserver64");
    if (server.empty()) return;
    test::TChildProcess kill({server, "-k"}, Environment());
    kill.Wait(20000);
  }
  std::vector<std::string> Environment() const {
    return {"WINEPREFIX=" + FPath, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY"};
  }

 private:
  std::string FPath;
};

ComPtr<IMalwareRuleResult> RuleResult(TMalwareHeuristic& e, R type) {
  const auto& rules = e.GetResult()->GetRules();
  auto it = rules.find(type);
  return it == rules.end() ? ComPtr<IMalwareRuleResult>() : it->second;
}

}  // namespace

TEST(WineEndToEnd, ConnectedWindowsProgramIsAnalysedByItsPath) {
  const std::string wine = WineProgram("wine", "/usr/lib/wine/wine64");
  if (wine.empty()) GTEST_SKIP() << "wine is not installed (apt-get install wine wine64)";
  if (std::string(QUILLMARK_WINE_CLIENT_PATH).empty()) GTEST_SKIP() << "x86_64-w64-mingw32-gcc was not found";

  test::TTempDir dir;
  TWinePrefix prefix((dir.Path() / "prefix").string());
  const fs::path program = dir.Path() / "app" / "netclient.exe";
  fs::create_directories(program.parent_path());
  fs::copy_file(QUILLMARK_WINE_CLIENT_PATH, program);
  const std::string linuxPath = fs::canonical(program).string();
  // The Windows path Wine sees, through its Z: drive, with the name in
  // other letter case.
  std::string windowsPath = "Z:" + fs::path(linuxPath).parent_path().string() + "/NETCLIENT.EXE";
  for (char& c : windowsPath)
    if (c == '/') c = '\\';

  test::TLoopbackListener listener;
  test::TChildProcess child({wine, windowsPath, std::to_string(listener.Port()), "90"}, prefix.Environment(),
                            (dir.Path() / "wine.log").string());
  // The first start creates the prefix.
  ASSERT_TRUE(listener.Accept(60000)) << "the program did not connect; see " << (dir.Path() / "wine.log");

  ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic(runtime::LiveHost()));
  engine->GetSettings()->SetDictionaryBlackWhiteListsFileName(std::string(QUILLMARK_BUILT_DATA_DIR) +
                                                              "/hbwlists.mdict");
  bool running = false;
  for (int i = 0; i < 100 && !running; ++i) {
    running = engine->IsApplicationRunning(linuxPath);
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(running) << "no process shows " << linuxPath;

  ASSERT_TRUE(engine->AnalyzeFile(linuxPath));
  auto ports = RuleResult(*engine, R::mhRuleOpenNetworkPorts);
  ASSERT_TRUE(ports);
  EXPECT_EQ(ports->GetPercentageMatch(), 100);
  auto list = ports.As<IMalwareRuleResultOpenNetworkPorts>();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->GetPorts().size(), 1u);
  const TRuleProcessPortInfo p = list->GetPorts()[0];
  EXPECT_EQ(p.State, MIB_TCP_STATE_ESTAB);
  EXPECT_EQ(p.RemoteIPAddr, 0x0100007Fu);
  EXPECT_EQ(p.RemotePort, listener.Port());
  EXPECT_FALSE(p.RemoteIPInBlackList);
  auto window = RuleResult(*engine, R::mhRuleNoMainWindow);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->GetPercentageMatch(), 100);  // a console program, and no display

  // The CLI shows the connection, as text and as JSON.
  const std::string port = std::to_string(listener.Port());
  for (const auto& [option, expected] :
       {std::pair<std::string, std::string>{"--no-progress", "-> 127.0.0.1:" + port + " ESTABLISHED"},
        {"--json", "\"connections\":[{\"state\":\"ESTABLISHED\",\"localAddress\":\"127.0.0.1\""}}) {
    const std::string log = (dir.Path() / "cli.log").string();
    test::RunProgram({QUILLMARK_CLI_PATH, "scan", option, linuxPath}, log);
    std::ifstream in(log);
    const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(output.find(expected), std::string::npos) << output;
  }

  // With 127.0.0.0/8 black-listed the analysis ends as malicious.
  const std::string source = dir.WriteFile("networks.tsv", "first\tlast\n127.0.0.0/8\n");
  const std::string lists = (dir.Path() / "lists.mdict").string();
  ASSERT_EQ(test::RunProgram({QUILLMARK_DICT_PATH, "build", "--kind", "bwlists", source, "-o", lists},
                             (dir.Path() / "dict.log").string()),
            0);
  ComPtr<TMalwareHeuristic> strict(new TMalwareHeuristic(runtime::LiveHost()));
  strict->GetSettings()->SetDictionaryBlackWhiteListsFileName(lists);
  ASSERT_TRUE(strict->AnalyzeFile(linuxPath));
  EXPECT_EQ(strict->GetResult()->GetPercentageMatch(), 100);
  auto strictPorts = RuleResult(*strict, R::mhRuleOpenNetworkPorts).As<IMalwareRuleResultOpenNetworkPorts>();
  ASSERT_TRUE(strictPorts);
  ASSERT_FALSE(strictPorts->GetPorts().empty());
  EXPECT_TRUE(strictPorts->GetPorts().back().RemoteIPInBlackList);

  child.Kill();
}
