// Dangerous-file-name and fake-extension rules, hostile names through every
// file rule, and the CLI's report of the file rules' evidence.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "engine/malware_heuristic.h"
#include "rules/dangerous_file_name.h"
#include "rules/fake_extension.h"
#include "support/engine_fixture.h"
#include "support/programs.h"
#include "support/scripted_rule.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;
using C = TDangerousFileNameCause;
namespace fs = std::filesystem;

namespace {

// The rule's check on a name alone, for names no file can carry.
class TNameCheck : public TMalwareRuleDangerousFileName {
 public:
  using TMalwareRuleDangerousFileName::TMalwareRuleDangerousFileName;
  TRuleCheckCode Check(const std::string& name, Extended& percent) {
    RuleResult().Reset();
    return CheckFile(name, percent);
  }
};

const TDangerousFileNameCauses kGaps = DangerousFileNameCauseBit(C::dfcManyGaps);
const TDangerousFileNameCauses kEmpty = DangerousFileNameCauseBit(C::dfcPEEmptyName);

}  // namespace

TEST(DangerousFileName, FindingsEndTheAnalysisAsMalicious) {
  TTempDir files;
  // The suspicious-path rule runs after this one when nothing is found.
  auto e = EngineWith({R::mhRuleDangerousFileName, R::mhRuleSuspiciousPath});
  struct Case {
    std::string name;
    TDangerousFileNameCauses causes;
  };
  const Case cases[] = {
      {"photo.jpg    .exe", kGaps},
      {"photo.jpg        .exe", kGaps},
      {"a   b   c.exe", 0},     // runs of three
      {"a\t\t\t\tb.exe", 0},    // tabs are no gaps
      {"a \t  b.exe", 0},       // a tab breaks a run
      {".exe", kEmpty},
      {".EXE", kEmpty},
      {"  .exe", kEmpty},
      {"\x01\x02" "a.exe", 0},
      {"\x01\x02.exe\t", kEmpty},  // blanks and control characters are trimmed
      {"    .exe", kGaps},      // the first finding ends the check
      {"exe", 0},
      {"a.exe", 0},
      {"..exe", 0},
      {"\xFF\xFE.exe", 0},
  };
  for (const Case& c : cases) {
    const std::string file = PutPE(files / c.name);
    ASSERT_TRUE(e->AnalyzeFile(file)) << c.name;
    auto rules = e->GetResult()->GetRules();
    auto r = rules.at(R::mhRuleDangerousFileName).As<IMalwareRuleResultDangerousFileName>();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->GetCauses(), c.causes) << c.name;
    if (c.causes) {
      EXPECT_EQ(r->GetPercentageMatch(), 100) << c.name;
      EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 100) << c.name;
      EXPECT_EQ(rules.count(R::mhRuleSuspiciousPath), 0u) << c.name << ": the analysis went on";
      const auto& threats = ObjectOf(rules.at(R::mhRuleDangerousFileName)).Threats();
      ASSERT_EQ(threats.size(), 1u) << c.name;
      EXPECT_EQ(threats[0]->Name(), "ThreatFileName.Dangerous.Base");
      EXPECT_EQ(threats[0]->DangerPercent(), 40);
    } else {
      EXPECT_EQ(r->GetPercentageMatch(), 0) << c.name;
      EXPECT_EQ(rules.count(R::mhRuleSuspiciousPath), 1u) << c.name;
    }
  }
}

TEST(DangerousFileName, NamesNoFileCanCarry) {
  TTestTarget windows;
  ComPtr<TNameCheck> rule(new TNameCheck(nullptr, R::mhRuleDangerousFileName));
  struct Case {
    std::string path;
    TRuleCheckCode code;
    TDangerousFileNameCauses causes;
  };
  // Without an owner the rule judges names by the live host's syntax.
  const Case cases[] = {
      {"/some/folder/", TRuleCheckCode::rccMalicious, kEmpty},  // empty name
      {"/some/folder/.", TRuleCheckCode::rccMalicious, kEmpty},
      {"", TRuleCheckCode::rccMalicious, kEmpty},
      {"/x/" + std::string(300, 'a') + ".exe", TRuleCheckCode::rccContinue, 0},
      {"/x/" + std::string(300, ' ') + "a", TRuleCheckCode::rccMalicious, kGaps},
      {"/x/C:\\dir\\.exe", TRuleCheckCode::rccContinue, 0},  // "\" and ":" belong to the name
  };
  for (const Case& c : cases) {
    Extended percent = 0;
    EXPECT_EQ(rule->Check(c.path, percent), c.code) << c.path;
    EXPECT_EQ(rule->GetResult().As<IMalwareRuleResultDangerousFileName>()->GetCauses(), c.causes)
        << c.path;
    EXPECT_EQ(percent, c.causes ? 100 : 0) << c.path;
  }
}

TEST(DangerousFileName, WindowsTargetNamesEndAtBackslashAndColon) {
  TTempDir root;
  auto target = std::make_shared<TTestTarget>(root.Path().string());
  auto e = EngineWith({R::mhRuleDangerousFileName}, target);
  for (const std::string file : {"C:\\dir\\.exe", "C:\\dir/.exe", "\\\\server\\share\\.exe"}) {
    PutPE(target->HostPath(file));
    ASSERT_TRUE(e->AnalyzeFile(file)) << file;
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 100) << file;
  }
  PutPE(target->HostPath("C:\\dir\\a.exe"));
  ASSERT_TRUE(e->AnalyzeFile("C:\\dir\\a.exe"));
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 0);
}

TEST(FakeExtension, ExecutableImagesUnderOtherExtensionsScoreHundred) {
  TTempDir files;
  auto e = EngineWith({R::mhRuleFakeExtension});
  struct Case {
    std::string name;
    Extended percent;
  };
  const Case cases[] = {
      {"report.pdf", 100}, {"setup.EXE", 0}, {"noext", 100},   {"driver.tsp", 0},
      {"archive.exe.", 100}, {"x.Scr", 0},   {"lib.dll", 0},   {"a.exe.jpg", 100},
      {"dir.exe/payload", 100}, {"a.exe\\b", 100}, {"x.\xC3\x89XE", 100},
  };
  for (const Case& c : cases) {
    const std::string file = PutPE(files / c.name);
    ASSERT_TRUE(e->AnalyzeFile(file)) << c.name;
    auto stored = e->GetResult()->GetRules().at(R::mhRuleFakeExtension);
    EXPECT_EQ(stored->GetPercentageMatch(), c.percent) << c.name;
    const auto& threats = ObjectOf(stored).Threats();
    ASSERT_EQ(threats.size(), c.percent > 0 ? 1u : 0u) << c.name;
    if (c.percent > 0) {
      EXPECT_EQ(threats[0]->Name(), "ThreatFileName.Dangerous.Base");
      EXPECT_EQ(threats[0]->DangerPercent(), 40);
    }
  }
}

TEST(FakeExtension, PostPassNeedsSignedHarmonyAndCompanyAndTakesEntropyToHundred) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleHarmonyName, R::mhRuleNoCompanyInfo, R::mhRuleEntropy});
  TMalwareHeuristic::RegisterRule(R::mhRuleFakeExtension, &RuleClassOf<TMalwareRuleFakeExtension>);
  TTempDir files;
  const std::string fake = PutPE(files / "report.pdf");
  const std::string real = PutPE(files / "report.exe");
  struct Case {
    const char* name;
    std::string file;
    Extended signedFile, harmony, company, entropy;
    Extended overall;
  };
  const Case cases[] = {
      // Mean of 100, 1, 1, 1, 0 is 20.6; the post-pass lifts it to 50.
      {"three, no entropy", fake, 1, 1, 1, 0, 50},
      {"three and entropy", fake, 1, 1, 1, 1, 100},
      {"no company finding", fake, 1, 1, 0, 1, (100 + 3) / 5.0L},
      {"no harmony finding", fake, 1, 0, 1, 0, (100 + 2) / 5.0L},
      {"three, mean above 50", fake, 80, 80, 80, 0, (100 + 240) / 5.0L},
      {"real extension: no post-pass", real, 1, 1, 1, 1, 4 / 5.0L},
  };
  for (const Case& c : cases) {
    Scripts()[R::mhRuleSignedFile].Percent = c.signedFile;
    Scripts()[R::mhRuleHarmonyName].Percent = c.harmony;
    Scripts()[R::mhRuleNoCompanyInfo].Percent = c.company;
    Scripts()[R::mhRuleEntropy].Percent = c.entropy;
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
    ASSERT_TRUE(e->AnalyzeFile(c.file)) << c.name;
    EXPECT_NEAR(static_cast<double>(e->GetResult()->GetPercentageMatch()), static_cast<double>(c.overall), 1e-9)
        << c.name;
  }
}

TEST(FileNameRules, HostileNamesNeverCrashAnyFileRule) {
  TTempDir files;
  auto e = EngineWith({R::mhRuleDangerousFileName, R::mhRuleSuspiciousPath, R::mhRuleDoubleExtension,
                       R::mhRuleFakeExtension, R::mhRuleEntropy});
  const std::string names[] = {
      std::string("ctl\x01\x02\x1B[31m.pdf.exe"),
      std::string("new\nline.exe"),
      std::string("\xFF\xFE\xC0\xAF.\xED\xA0\x80.exe"),  // invalid and overlong UTF-8, a lone surrogate
      std::string("trunc.\xE2\x82"),
      std::string(250, 'n') + ".exe",                    // at the file system's name limit
      std::string(200, '.') + "exe",
      std::string(3, ' ') + "." + std::string(3, ' ') + ".exe",
  };
  for (const std::string& name : names) {
    const std::string file = PutPE(files / name);
    EXPECT_TRUE(e->AnalyzeFile(file)) << name.size();
    const Extended p = e->GetResult()->GetPercentageMatch();
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 100);
  }
}

TEST(FileNameRules, CliJsonCarriesEachRulesOwnFields) {
  TTempDir files;
  const std::string file = PutPE(files / "invoice.pdf.exe");
  const TProgramRun run = RunProgramCapture({QUILLMARK_CLI_PATH, "scan", "--json", file});
  const std::string& out = run.Output;
  EXPECT_NE(out.find("\"secondExt\":\".pdf\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"secondExtImageIndex\":"), std::string::npos) << out;
  EXPECT_NE(out.find("\"nameWithoutSecondExt\":\"invoice.exe\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"folderType\":\"sprFolderTemp\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"causes\":\"\""), std::string::npos) << out;
  EXPECT_NE(out.find("ThreatFilePath.{FolderTemp\\\\.exe}"), std::string::npos) << out;
  EXPECT_NE(out.find("ThreatFileName.Dangerous.Base"), std::string::npos) << out;
}
