// The no-main-window and open-network-ports rules against real processes of
// this host: a child that connects to the test's listener on 127.0.0.1, one
// that only listens, one that maps windows on Xvfb; the black list from a
// compiled knowledge file and from the shipped network list; and the
// open-ports post-pass.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/black_white_lists.h"
#include "engine/malware_heuristic.h"
#include "rules/no_main_window.h"
#include "rules/open_network_ports.h"
#include "runtime/posix/x11_windows.h"
#include "support/child_process.h"
#include "support/iphlpapi.h"
#include "support/programs.h"
#include "support/signing.h"
#include "support/temp_dir.h"

using namespace quillmark;
using R = TMalwareRuleType;
using test::TEnvironmentGuard;

namespace {

template <class Rule>
struct TProbe : Rule {
  using Rule::Rule;
  using Rule::CheckFile;
};
using TPortsProbe = TProbe<TMalwareRuleOpenNetworkPorts>;
using TWindowProbe = TProbe<TMalwareRuleNoMainWindow>;

constexpr std::uint32_t kLoopback = 0x0100007F;

class ProcessRules : public ::testing::Test {
 protected:
  void SetUp() override {
    // A copy of the child program under a name of its own, so that its
    // image path belongs to the processes this test starts and no other.
    FChild = (dir.Path() / "qm-net-child").string();
    std::filesystem::copy_file(QUILLMARK_PROCESS_CHILD_PATH, FChild);
    FChild = std::filesystem::canonical(FChild).string();
  }

  ComPtr<TMalwareHeuristic> Engine(const std::string& bwlists) {
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic(runtime::LiveHost()));
    e->GetSettings()->SetDictionaryBlackWhiteListsFileName(bwlists);
    return e;
  }
  std::string ShippedLists() const { return std::string(QUILLMARK_BUILT_DATA_DIR) + "/hbwlists.mdict"; }
  // A black/white-list file built by quillmark-dict from one network source.
  std::string ListsWith(const std::string& networks) {
    const std::string source = dir.WriteFile("networks.tsv", "first\tlast\n" + networks);
    const std::string out = dir / "lists.mdict";
    const std::string log = dir / "dict.log";
    EXPECT_EQ(test::RunProgram({QUILLMARK_DICT_PATH, "build", "--kind", "bwlists", source, "-o", out}, log), 0);
    return out;
  }
  std::unique_ptr<test::TChildProcess> Start(std::vector<std::string> args,
                                             std::vector<std::string> environment = {}) {
    args.insert(args.begin(), FChild);
    const std::string log = dir / "child.log";
    auto child = std::make_unique<test::TChildProcess>(args, environment, log);
    if (child->ReadLine(10000) != "ready") {
      std::ifstream in(log);
      ADD_FAILURE() << "the child did not get ready: " << std::string(std::istreambuf_iterator<char>(in), {});
    }
    return child;
  }

  struct TPortsOutcome {
    TRuleCheckCode Code;
    Extended Percent = 0;
    std::vector<TRuleProcessPortInfo> Ports;
  };
  TPortsOutcome CheckPorts(TMalwareHeuristic& e, const std::string& file) {
    ComPtr<TPortsProbe> rule(new TPortsProbe(&e, R::mhRuleOpenNetworkPorts));
    TPortsOutcome o;
    o.Code = rule->CheckFile(file, o.Percent);
    o.Ports = rule->GetResult().As<IMalwareRuleResultOpenNetworkPorts>()->GetPorts();
    return o;
  }
  Extended CheckWindow(TMalwareHeuristic& e, const std::string& file) {
    ComPtr<TWindowProbe> rule(new TWindowProbe(&e, R::mhRuleNoMainWindow));
    Extended percent = 0;
    EXPECT_EQ(rule->CheckFile(file, percent), TRuleCheckCode::rccContinue);
    return percent;
  }

  test::TTempDir dir;
  std::string FChild;
  TEnvironmentGuard FHeadless{"DISPLAY", std::nullopt};
};

}  // namespace

TEST_F(ProcessRules, ConnectedProcessHasOneRecordAndNoMainWindow) {
  test::TLoopbackListener listener;
  auto child = Start({"connect", std::to_string(listener.Port()), "30"});
  ASSERT_TRUE(listener.Accept(5000));
  auto engine = Engine(ShippedLists());

  TPortsOutcome o = CheckPorts(*engine, FChild);
  EXPECT_EQ(o.Code, TRuleCheckCode::rccContinue);
  EXPECT_EQ(o.Percent, 100);
  ASSERT_EQ(o.Ports.size(), 1u);
  EXPECT_EQ(o.Ports[0].State, MIB_TCP_STATE_ESTAB);
  EXPECT_EQ(o.Ports[0].RemoteIPAddr, kLoopback);
  EXPECT_EQ(o.Ports[0].RemotePort, listener.Port());
  EXPECT_EQ(o.Ports[0].LocalIPAddr, kLoopback);
  EXPECT_NE(o.Ports[0].LocalPort, 0u);
  EXPECT_FALSE(o.Ports[0].RemoteIPInBlackList);

  // Without a display no process has a main window.
  EXPECT_EQ(CheckWindow(*engine, FChild), 100);
  // The image path in other letter case is another file on Linux: an
  // unrelated program must not be blamed for this one's connections.
  std::string upper = FChild;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(CheckPorts(*engine, upper).Percent, 0);
}

TEST_F(ProcessRules, BlackListedRemoteAddressEndsTheAnalysisAsMalicious) {
  test::TLoopbackListener listener;
  auto child = Start({"connect", std::to_string(listener.Port()), "30"});
  ASSERT_TRUE(listener.Accept(5000));
  auto engine = Engine(ListsWith("127.0.0.0/8\n"));

  TPortsOutcome o = CheckPorts(*engine, FChild);
  EXPECT_EQ(o.Code, TRuleCheckCode::rccMalicious);
  EXPECT_EQ(o.Percent, 100);
  ASSERT_FALSE(o.Ports.empty());
  EXPECT_TRUE(o.Ports.back().RemoteIPInBlackList);
  EXPECT_EQ(o.Ports.back().RemotePort, listener.Port());

  // The details the CLI prints.
  ComPtr<TPortsProbe> rule(new TPortsProbe(engine.get(), R::mhRuleOpenNetworkPorts));
  Extended percent = 0;
  rule->CheckFile(FChild, percent);
  TRuleResultDetails details;
  rule->RuleResult().GetDetails(details);
  ASSERT_EQ(details.size(), 1u);
  const auto& records = std::get<TRuleResultDetailRecords>(details[0].Value);
  ASSERT_EQ(records.size(), 1u);
  auto field = [&](const char* name) {
    for (const auto& f : records[0])
      if (f.Name == name) return f.Value;
    return TRuleResultDetailValue{};
  };
  EXPECT_EQ(std::get<std::string>(field("state")), "ESTABLISHED");
  EXPECT_EQ(std::get<std::string>(field("remoteAddress")), "127.0.0.1");
  EXPECT_EQ(std::get<std::int64_t>(field("remotePort")), listener.Port());
  EXPECT_TRUE(std::get<bool>(field("remoteInBlackList")));
}

TEST_F(ProcessRules, ListeningOnlyOrNotRunningScoresNothingForPorts) {
  auto listening = Start({"listen", "30"});
  auto engine = Engine(ShippedLists());
  TPortsOutcome o = CheckPorts(*engine, FChild);
  EXPECT_EQ(o.Code, TRuleCheckCode::rccContinue);
  EXPECT_EQ(o.Percent, 0);
  EXPECT_TRUE(o.Ports.empty());
  EXPECT_EQ(CheckWindow(*engine, FChild), 100);

  listening->Kill();
  auto later = Engine(ShippedLists());  // a process list of its own, read now
  EXPECT_EQ(CheckPorts(*later, FChild).Percent, 0);
  EXPECT_EQ(CheckWindow(*later, FChild), 0);
}

TEST_F(ProcessRules, MainWindowOnXvfbDecidesTheNoMainWindowRule) {
  if (!runtime::posix::TXlib::Get()) GTEST_SKIP() << "libX11.so.6 is not installed";
  test::TXvfb xvfb;
  if (!xvfb.Running()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb) or did not start";
  TEnvironmentGuard display("DISPLAY", xvfb.Display());
  const std::string env = "DISPLAY=" + xvfb.Display();
  {
    auto child = Start({"window", "visible", "30"}, {env});
    EXPECT_EQ(CheckWindow(*Engine(ShippedLists()), FChild), 0);
  }
  {
    auto child = Start({"window", "transient", "30"}, {env});
    EXPECT_EQ(CheckWindow(*Engine(ShippedLists()), FChild), 100);
  }
}

TEST(OpenNetworkPortsPostPass, FloorOrRaiseFromTheRulesThatFired) {
  struct Case {
    const char* what;
    std::vector<R> fired;
    Extended before, after;
  } cases[] = {
      {"neither unsigned nor in a suspicious folder", {R::mhRuleDoubleExtension, R::mhRuleEntropy}, 20, 20},
      {"unsigned, but an honest extension", {R::mhRuleSignedFile, R::mhRuleEntropy}, 20, 20},
      {"unsigned, decoy extension, high entropy", {R::mhRuleSignedFile, R::mhRuleDoubleExtension, R::mhRuleEntropy}, 20, 100},
      {"suspicious folder, fake extension", {R::mhRuleSuspiciousPath, R::mhRuleFakeExtension}, 20, 40},
      {"the same without an icon", {R::mhRuleSuspiciousPath, R::mhRuleFakeExtension, R::mhRuleNoIcon}, 20, 50},
      {"the same without a main window", {R::mhRuleSignedFile, R::mhRuleFakeExtension, R::mhRuleNoMainWindow}, 20, 50},
      {"never lowers", {R::mhRuleSuspiciousPath, R::mhRuleFakeExtension}, 45, 45},
      {"raises 45 to 50", {R::mhRuleSuspiciousPath, R::mhRuleFakeExtension, R::mhRuleNoCompanyInfo}, 45, 50},
  };
  ComPtr<TMalwareRuleOpenNetworkPorts> rule(new TMalwareRuleOpenNetworkPorts(nullptr, R::mhRuleOpenNetworkPorts));
  for (const Case& c : cases) {
    auto* result = new TMalwareHeuristicResult();
    ComPtr<IMalwareHeuristicResult> hold(static_cast<IMalwareHeuristicResult*>(result));
    for (R type : c.fired) {
      auto* r = new TMalwareRuleResult();
      r->SetPercentageMatch(60);
      result->Rules()[type] = ComPtr<IMalwareRuleResult>(static_cast<IMalwareRuleResult*>(r));
    }
    result->SetPercentageMatch(c.before);
    rule->PostAnalyze(nullptr, result, &rule->RuleResult());
    EXPECT_EQ(result->PercentageMatch(), c.after) << c.what;
  }
}

TEST(ShippedNetworkList, SpamhausDropRangesAreBlackListed) {
  auto lists = TCustomSqlLiteDataBase::Create<TMalwareDataBaseBlackWhiteLists>();
  lists->Open(std::string(QUILLMARK_BUILT_DATA_DIR) + "/hbwlists.mdict");
  auto ip = [](unsigned a, unsigned b, unsigned c, unsigned d) { return a | b << 8 | c << 16 | d << 24; };
  EXPECT_TRUE(lists->CheckIPv4(ip(223, 254, 255, 255)));  // 223.254.0.0/16, the last row
  EXPECT_TRUE(lists->CheckIPv4(ip(1, 10, 31, 200)));      // 1.10.16.0/20, the first row
  EXPECT_TRUE(lists->CheckIPv4(ip(168, 151, 254, 128)));  // 168.151.254.0/24
  EXPECT_FALSE(lists->CheckIPv4(ip(168, 151, 255, 1)));   // between two listed /23 and /24 blocks
  EXPECT_FALSE(lists->CheckIPv4(ip(1, 10, 32, 0)));       // just past 1.10.16.0/20
  EXPECT_FALSE(lists->CheckIPv4(ip(127, 0, 0, 1)));
}
