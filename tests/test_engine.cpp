// The engine's analysis loop: selection, order, check codes, progress,
// cancellation, validation, sessions and the process-list cache.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "engine/malware_heuristic.h"
#include "support/engine_fixture.h"
#include "support/scripted_rule.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;

namespace {

ComPtr<TMalwareHeuristic> NewEngine() { return ComPtr<TMalwareHeuristic>(new TMalwareHeuristic()); }

class EngineTest : public ::testing::Test {
 protected:
  TEngineFiles files;
};

}  // namespace

TEST_F(EngineTest, AllFourteenRulesRunInTypeOrderAndMemoryRunsOnlyMemoryRules) {
  TScriptedRegistry reg(AllRuleTypes());
  Scripts()[R::mhRuleEntropy].SupportsMemory = true;
  auto e = NewEngine();
  ASSERT_TRUE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(Journal().Checked, AllRuleTypes());
  EXPECT_EQ(e->GetResult()->GetRules().size(), 14u);

  Journal().Clear();
  const char block[16] = "abcdefghijklmno";
  ASSERT_TRUE(e->AnalyzeMemory(block, sizeof block));
  EXPECT_EQ(Journal().Checked, std::vector<R>{R::mhRuleEntropy});
  EXPECT_EQ(e->GetResult()->GetRules().size(), 1u);
}

TEST_F(EngineTest, PriorityAndSelectionDecideWhatRunsAndInWhichOrder) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoIcon});
  auto e = NewEngine();
  EXPECT_EQ(e->GetRule(R::mhRuleSignedFile)->GetPriority(), 13);
  EXPECT_EQ(e->GetRule(R::mhRuleNoIcon)->GetPriority(), 6);
  e->GetRule(R::mhRuleNoIcon)->SetPriority(20);
  e->GetRule(R::mhRuleEntropy)->SetSelected(false);
  ASSERT_TRUE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(Journal().Checked, (std::vector<R>{R::mhRuleNoIcon, R::mhRuleSignedFile}));
  EXPECT_EQ(e->GetResult()->GetRules().count(R::mhRuleEntropy), 0u);
}

TEST_F(EngineTest, CheckCodesEndStopOrSkip) {
  struct Case {
    const char* name;
    TRuleCheckCode code;
    bool answer;
    Extended percent;
    std::vector<R> checked;
    std::size_t stored;
    bool postPassRan;
  };
  // The second of three rules answers the code; each rule scores 30.
  const std::vector<R> all3{R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoIcon};
  const Case cases[] = {
      {"malicious", TRuleCheckCode::rccMalicious, true, 100, {R::mhRuleSignedFile, R::mhRuleEntropy}, 2, false},
      {"clean", TRuleCheckCode::rccClean, true, 0, {R::mhRuleSignedFile, R::mhRuleEntropy}, 2, false},
      {"stop", TRuleCheckCode::rccStop, true, 30, {R::mhRuleSignedFile, R::mhRuleEntropy}, 1, true},
      {"skip", TRuleCheckCode::rccSkip, true, 30, all3, 2, true},
      {"continue", TRuleCheckCode::rccContinue, true, 30, all3, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedRegistry reg(all3);
    for (R t : all3) Scripts()[t].Percent = 30;
    Scripts()[R::mhRuleEntropy].Code = c.code;
    auto e = NewEngine();
    EXPECT_EQ(e->AnalyzeFile(files.PEFile()), c.answer);
    EXPECT_EQ(Journal().Checked, c.checked);
    EXPECT_EQ(e->GetResult()->GetRules().size(), c.stored);
    EXPECT_NEAR(static_cast<double>(e->GetResult()->GetPercentageMatch()), static_cast<double>(c.percent), 1e-9);
    EXPECT_EQ(!Journal().PostPassed.empty(), c.postPassRan);
  }
}

TEST_F(EngineTest, ProgressReachesHostAsShareOfAllSelectedRules) {
  TScriptedRegistry reg(AllRuleTypes());
  Scripts()[R::mhRuleEntropy].ProgressReports = {50};
  auto e = NewEngine();
  std::vector<Extended> seen;
  e->SetOnProgress([&](Extended p, bool&) { seen.push_back(p); });
  ASSERT_TRUE(e->AnalyzeFile(files.PEFile()));
  const Extended expected = 250.0L * 100.0L / 1400.0L;
  EXPECT_NE(std::find(seen.begin(), seen.end(), expected), seen.end());
  EXPECT_NEAR(static_cast<double>(expected), 17.857, 1e-3);
  // every rule reports 0 and 100; the overall figure never goes backwards
  EXPECT_EQ(seen.size(), 14u * 2 + 1);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), 100.0L);
}

TEST_F(EngineTest, HostStopRequestEndsAnalysisAndRunningRuleStoresNothing) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoIcon});
  for (R t : {R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoIcon}) Scripts()[t].Percent = 40;
  Scripts()[R::mhRuleEntropy].ProgressReports = {25};
  auto e = NewEngine();
  e->SetOnProgress([&](Extended p, bool& stop) {
    if (p > 100.0L / 3 && p < 200.0L / 3 && p != 100.0L / 3) stop = true;
  });
  EXPECT_FALSE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(Journal().Checked, (std::vector<R>{R::mhRuleSignedFile, R::mhRuleEntropy}));
  const auto& rules = e->GetResult()->GetRules();
  EXPECT_EQ(rules.count(R::mhRuleSignedFile), 1u);
  EXPECT_EQ(rules.count(R::mhRuleEntropy), 0u);
}

TEST_F(EngineTest, CancelDuringLastRuleStillCombinesButAnswersFalse) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy});
  Scripts()[R::mhRuleSignedFile].Percent = 60;
  auto e = NewEngine();
  Scripts()[R::mhRuleEntropy].Percent = 80;
  // Cancelled from another thread while the last rule checks; the rule learns
  // of it at its next progress report.
  Scripts()[R::mhRuleEntropy].DuringCheck = [&] { std::thread([&] { e->Cancel(); }).join(); };
  Scripts()[R::mhRuleEntropy].ProgressReports = {50};
  EXPECT_FALSE(e->AnalyzeFile(files.PEFile()));
  // the cancelled rule stored nothing; the mean over what was stored is formed
  EXPECT_EQ(e->GetResult()->GetRules().size(), 1u);
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 60.0L);
  // the flag is cleared by the next analysis
  Scripts()[R::mhRuleEntropy].DuringCheck = nullptr;
  EXPECT_TRUE(e->AnalyzeFile(files.PEFile()));
}

// A rule told to stop may still answer rccMalicious or rccClean: the
// analysis was cancelled, so it gives no verdict at all.
TEST_F(EngineTest, CancelledRuleAnsweringWithAVerdictGivesNone) {
  for (TRuleCheckCode code : {TRuleCheckCode::rccMalicious, TRuleCheckCode::rccClean}) {
    for (bool reportsProgress : {false, true}) {
      SCOPED_TRACE(testing::Message() << "code " << int(code) << " progress " << reportsProgress);
      TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy});
      auto e = NewEngine();
      Scripts()[R::mhRuleSignedFile].Code = code;
      Scripts()[R::mhRuleSignedFile].Percent = 60;
      Scripts()[R::mhRuleSignedFile].DuringCheck = [&] { std::thread([&] { e->Cancel(); }).join(); };
      if (reportsProgress) Scripts()[R::mhRuleSignedFile].ProgressReports = {50};
      EXPECT_FALSE(e->AnalyzeFile(files.PEFile()));
      EXPECT_EQ(e->LastStatus().Outcome, TAnalysisOutcome::aoCanceled);
      EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 0.0L);
      EXPECT_EQ(Journal().Checked, std::vector<R>{R::mhRuleSignedFile});
    }
  }
}

// A host may keep a rule and drop the engine that made it: the rule then
// runs on its own and never reaches back to the freed engine (the sanitizer
// build catches the use after free).
TEST_F(EngineTest, RuleKeptAfterItsEngineIsReleasedRunsOnItsOwn) {
  std::vector<ComPtr<IMalwareRule>> kept;
  {
    auto e = NewEngine();
    for (R t : e->GetRegisteredRules()) kept.push_back(e->GetRule(t));
    e->AnalyzeFile(files.PEFile());
  }
  ASSERT_FALSE(kept.empty());
  for (auto& rule : kept) {
    SCOPED_TRACE(RuleTypeIdentifier(rule->GetRuleType()));
    Extended percent = -1;
    rule->AnalyzeFile(files.PEFile(), percent);
    EXPECT_GE(percent, 0.0L);
    EXPECT_LE(percent, 100.0L);
    rule->Close();
  }
}

TEST_F(EngineTest, CancelFromAnotherThreadStopsBeforeTheNextRule) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoIcon});
  auto e = NewEngine();
  Scripts()[R::mhRuleSignedFile].DuringCheck = [&] { std::thread([&] { e->Cancel(); }).join(); };
  EXPECT_FALSE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(Journal().Checked, std::vector<R>{R::mhRuleSignedFile});
}

TEST_F(EngineTest, InvalidTargetsAnswerFalseWithoutRunningRules) {
  TScriptedRegistry reg({R::mhRuleSignedFile});
  Scripts()[R::mhRuleSignedFile].SupportsMemory = true;
  auto e = NewEngine();

  const std::vector<std::string> table{"MSG_FILE_NOT_FOUND=no such file: %0:s"};
  e->UpdateLocalization(&table);
  const int before = CountLogEntries(" AnalyzeFile: exception", "[TMalwareHeuristic]");
  EXPECT_FALSE(e->AnalyzeFile(files.Missing()));
  e->UpdateLocalization(nullptr);
  EXPECT_EQ(CountLogEntries(" AnalyzeFile: exception", "[TMalwareHeuristic]"), before + 1);
  EXPECT_EQ(CountLogEntries("no such file: " + files.Missing()), 1) << "the message names the file";
  EXPECT_EQ(e->LastStatus().Outcome, TAnalysisOutcome::aoReadError);
  EXPECT_EQ(e->LastStatus().Message, "no such file");

  EXPECT_FALSE(e->AnalyzeFile(files.TextFile()));
  EXPECT_EQ(e->LastStatus().Outcome, TAnalysisOutcome::aoNotPEImage);
  EXPECT_FALSE(e->AnalyzeFile(""));
  EXPECT_EQ(e->LastStatus().Outcome, TAnalysisOutcome::aoInvalidTarget);
  EXPECT_EQ(CountLogEntries(" AnalyzeFile: exception", "[TMalwareHeuristic]"), before + 1)
      << "non-PE files are not errors";
  // a folder is not a file: reported like a missing one
  EXPECT_FALSE(e->AnalyzeFile(files.Folder().string()));
  EXPECT_EQ(CountLogEntries(" AnalyzeFile: exception", "[TMalwareHeuristic]"), before + 2);
  EXPECT_EQ(e->LastStatus().Outcome, TAnalysisOutcome::aoReadError);
  EXPECT_EQ(e->LastStatus().Message, "a folder");

  const char byte = 'x';
  EXPECT_FALSE(e->AnalyzeMemory(nullptr, 10));
  EXPECT_EQ(e->LastStatus().Outcome, TAnalysisOutcome::aoInvalidTarget);
  EXPECT_FALSE(e->AnalyzeMemory(&byte, 0));
  EXPECT_FALSE(e->AnalyzeMemory(&byte, 0xFFFFFFFFu));
  EXPECT_TRUE(Journal().Checked.empty());
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 0.0L);
  EXPECT_TRUE(e->GetResult()->GetRules().empty());
}

TEST_F(EngineTest, MissingFileResetsThePreviousResult) {
  TScriptedRegistry reg({R::mhRuleSignedFile});
  Scripts()[R::mhRuleSignedFile].Percent = 70;
  auto e = NewEngine();
  ComPtr<IMalwareHeuristicResult> kept = e->GetResult();
  ASSERT_TRUE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(kept->GetPercentageMatch(), 70.0L);
  EXPECT_FALSE(e->AnalyzeFile(files.Missing()));
  EXPECT_EQ(kept->GetPercentageMatch(), 0.0L);
  EXPECT_TRUE(kept->GetRules().empty());
  EXPECT_EQ(kept->GetMalwareID(), 8000001);
}

TEST_F(EngineTest, NoSelectedRuleAnswersFalse) {
  TScriptedRegistry reg({R::mhRuleSignedFile});
  auto e = NewEngine();
  e->GetRule(R::mhRuleSignedFile)->SetSelected(false);
  EXPECT_FALSE(e->AnalyzeFile(files.PEFile()));
  const char block[4] = {1, 2, 3, 4};
  EXPECT_FALSE(e->AnalyzeMemory(block, 4)) << "no rule of this engine supports memory";
}

TEST_F(EngineTest, RuleExceptionIsContainedLoggedAndTheAnalysisGoesOn) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy});
  Scripts()[R::mhRuleSignedFile].Throw = true;
  Scripts()[R::mhRuleEntropy].Percent = 20;
  auto e = NewEngine();
  const int before = CountLogEntries(".AnalyzeFile: exception", "[TScriptedRule]");
  EXPECT_TRUE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(CountLogEntries(".AnalyzeFile: exception", "[TScriptedRule]"), before + 1);
  EXPECT_EQ(e->GetResult()->GetRules().count(R::mhRuleSignedFile), 0u);
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 20.0L);
}

TEST_F(EngineTest, PostPassExceptionReachesTheEngineGuard) {
  TScriptedRegistry reg({R::mhRuleSignedFile});
  Scripts()[R::mhRuleSignedFile].Percent = 150;
  Scripts()[R::mhRuleSignedFile].PostPass = [](TMalwareHeuristicResult&, TMalwareRuleResult&) {
    throw std::runtime_error("post-pass failure");
  };
  auto e = NewEngine();
  const int before = CountLogEntries(" AnalyzeFile: exception", "[TMalwareHeuristic]");
  EXPECT_FALSE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(CountLogEntries(" AnalyzeFile: exception", "[TMalwareHeuristic]"), before + 1);
  EXPECT_LE(e->GetResult()->GetPercentageMatch(), 100.0L);
}

TEST_F(EngineTest, SeparateSessionsKeepEarlierResults) {
  for (bool separate : {false, true}) {
    SCOPED_TRACE(separate);
    TScriptedRegistry reg({R::mhRuleSignedFile});
    auto e = NewEngine();
    e->SetUseRulesSeparateSession(separate);
    Scripts()[R::mhRuleSignedFile].Percent = 10;
    ASSERT_TRUE(e->AnalyzeFile(files.PEFile()));
    ComPtr<IMalwareRuleResult> first = e->GetResult()->GetRules().at(R::mhRuleSignedFile);
    Scripts()[R::mhRuleSignedFile].Percent = 90;
    ASSERT_TRUE(e->AnalyzeFile(files.PEFile()));
    ComPtr<IMalwareRuleResult> second = e->GetResult()->GetRules().at(R::mhRuleSignedFile);
    EXPECT_EQ(second->GetPercentageMatch(), 90.0L);
    EXPECT_EQ(first->GetPercentageMatch(), separate ? 10.0L : 90.0L);
    EXPECT_EQ(first == second, !separate);
  }
}

TEST_F(EngineTest, CloseReachesEveryCreatedRuleAndKeepsThem) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy});
  auto e = NewEngine();
  ComPtr<IMalwareRule> rule = e->GetRule(R::mhRuleEntropy);
  e->Close();
  EXPECT_EQ(Journal().Closed, std::vector<R>{R::mhRuleEntropy});
  EXPECT_EQ(e->GetRule(R::mhRuleEntropy), rule);
}

TEST_F(EngineTest, UnregisteredRuleTypeRaises) {
  TScriptedRegistry reg({});
  auto e = NewEngine();
  EXPECT_THROW(e->GetRule(R::mhRuleAutoStart), std::exception);
  EXPECT_TRUE(e->GetRegisteredRules().empty());
}

// --- process list cache ------------------------------------------------------------

namespace {
// A live host whose clock the test moves and whose process table reads are counted.
class TCountingHost : public runtime::ITargetSystem {
 public:
  std::shared_ptr<runtime::ITargetSystem> Real = runtime::LiveHost();
  std::uint64_t Now = 1000;
  int Enumerations = 0;
  runtime::TPathSyntax PathSyntax() const override { return Real->PathSyntax(); }
  bool FileExists(const std::string& p) override { return Real->FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return Real->DirectoryExists(p); }
  std::unique_ptr<runtime::IReadOnlyFile> OpenFileForRead(const std::string& p) override {
    return Real->OpenFileForRead(p);
  }
  std::string EnvironmentVariable(const std::string& n) override { return Real->EnvironmentVariable(n); }
  std::string GetSpecialFolder(int c) override { return Real->GetSpecialFolder(c); }
  std::string WindowsDirectory() override { return {}; }
  runtime::TWindowsVersion WindowsVersion() override { return Real->WindowsVersion(); }
  std::vector<runtime::TProcessEntry> EnumerateProcesses() override {
    ++Enumerations;
    return Real->EnumerateProcesses();
  }
  std::uint64_t GetTickCount64() override { return Now; }
};

std::string SelfExe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }
}  // namespace

TEST(EngineProcessList, RefreshedAtMostEvery701Milliseconds) {
  auto host = std::make_shared<TCountingHost>();
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic(host));
  EXPECT_TRUE(e->IsApplicationRunning(SelfExe()));
  EXPECT_EQ(host->Enumerations, 1);
  host->Now += 500;
  EXPECT_TRUE(e->IsApplicationRunning(SelfExe()));
  EXPECT_EQ(host->Enumerations, 1);
  host->Now += 200;  // 700 ms after the first read: still fresh
  e->IsApplicationRunning(SelfExe());
  EXPECT_EQ(host->Enumerations, 1);
  host->Now += 1;  // 701 ms
  e->IsApplicationRunning(SelfExe());
  EXPECT_EQ(host->Enumerations, 2);
  host->Now += 800;
  e->IsApplicationRunning(SelfExe());
  EXPECT_EQ(host->Enumerations, 3);
}

TEST(EngineProcessList, RunningProgramIsFoundByItsFullPathOnTheLiveHost) {
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  EXPECT_TRUE(e->IsApplicationRunning(SelfExe()));
  EXPECT_FALSE(e->IsApplicationRunning(""));
  EXPECT_FALSE(e->IsApplicationRunning(SelfExe() + ".not-running"));
}
