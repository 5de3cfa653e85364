// Name harmony: the n-gram model over knowledge files built by the dictionary
// compiler, the harmony-name rule run through the engine on real files, its
// post-pass, the CLI's report of it, and the quality of the shipped model.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

#include "db/harmony_strings.h"
#include "engine/malware_heuristic.h"
#include "rules/harmony_name.h"
#include "rules/suspicious_path.h"
#include "support/engine_fixture.h"
#include "support/programs.h"
#include "support/scripted_rule.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;
using S = THarmonySchemeType;

namespace {

std::pair<int, std::string> RunProgram(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  TProgramRun run = RunProgramCapture(args);
  return {run.Status, run.Output};
}



// Compiles a scheme from corpus lines (after the "name" header) into dir.
std::string BuildScheme(const TTempDir& dir, const std::string& corpus, const std::string& file = "hwscheme.mdict") {
  std::string source = dir.WriteFile(file + ".tsv", "name\n" + corpus);
  std::string output = dir / file;
  auto [status, text] = RunProgram(QUILLMARK_DICT_PATH, {"build", "--kind", "scheme", source, "-o", output});
  EXPECT_EQ(status, 0) << text;
  return output;
}

std::unique_ptr<TMalwareHarmonyStrings> OpenScheme(const std::string& file) {
  auto db = TCustomSqlLiteDataBase::Create<TMalwareHarmonyStrings>();
  db->Open(file);
  return db;
}

std::string Repeat(const std::string& line, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += line + "\n";
  return s;
}

// The shipped model, as the build compiled it from data/scheme.
std::string ShippedScheme() { return std::string(QUILLMARK_BUILT_DATA_DIR) + "/hwscheme.mdict"; }

struct THarmonyOutcome {
  Extended Percent = -1, Total = -1, Average = -1;
  bool IsGuid = false;
  std::vector<std::pair<std::string, Extended>> Threats;
};

// Runs the harmony rule alone through an engine on a file.
THarmonyOutcome Judge(TMalwareHeuristic& e, const std::string& file) {
  THarmonyOutcome out;
  EXPECT_TRUE(e.AnalyzeFile(file)) << file;
  auto rules = e.GetResult()->GetRules();
  auto it = rules.find(R::mhRuleHarmonyName);
  if (it == rules.end()) {
    ADD_FAILURE() << "no harmony result for " << file;
    return out;
  }
  auto r = it->second.As<IMalwareRuleResultHarmonyName>();
  out.Percent = r->GetPercentageMatch();
  out.Total = r->GetTotalFactor();
  out.Average = r->GetAverageFactor();
  out.IsGuid = r->GetIsGuid();
  auto* object = static_cast<TMalwareRuleResult*>(it->second.As<ILinkObjectInterface>()->GetObject());
  for (const auto& t : object->Threats()) out.Threats.emplace_back(t->Name(), t->DangerPercent());
  return out;
}

ComPtr<TMalwareHeuristic> HarmonyEngine(const std::string& scheme,
                                        std::shared_ptr<runtime::ITargetSystem> target = nullptr) {
  ComPtr<TMalwareHeuristic> e(target ? new TMalwareHeuristic(std::move(target)) : new TMalwareHeuristic());
  for (R t : e->GetRegisteredRules()) e->GetRule(t)->SetSelected(t == R::mhRuleHarmonyName);
  e->GetSettings()->SetDictionaryHarmonyNameSchemeFileName(scheme);
  return e;
}

// A corpus small enough to work the model out by hand: "abab" (ratio 1),
// "ab" (ratio 1), "bbb" (ratio 3). Counts: ab 3, ba 1, bb 2; aba 1, bab 1,
// bbb 1; 3 names; typical ratio 5/3.
const char* kTinyCorpus = "abab\nab\nbbb\n";

}  // namespace

// --- the model ------------------------------------------------------------------

TEST(HarmonyStrings, BaseInfoOfTheCompiledCorpus) {
  TTempDir dir;
  auto db = OpenScheme(BuildScheme(dir, kTinyCorpus));
  for (S s : {S::hstDigramm, S::hstTrigramm}) {
    EXPECT_EQ(db->StatInfo(s).WCount, 3u);
    EXPECT_EQ(db->StatInfo(s).VLFactor, 5);
  }
  EXPECT_EQ(db->StatInfo(S::hstDigramm).Length, 2);
  EXPECT_EQ(db->StatInfo(S::hstTrigramm).Length, 3);
}

TEST(HarmonyStrings, ScoresWorkedOutByHand) {
  TTempDir dir;
  auto db = OpenScheme(BuildScheme(dir, kTinyCorpus));
  struct Case {
    const char* text;
    Extended total, average;
  };
  // Both schemes: factor 1000/|ratio - 5/3| of the triple scheme; average
  // R0/4 + R1/2.
  const Case both[] = {
      // ab: pairs 3/3 over 1 position; no triple; ratio 1, factor 1500.
      {"ab", 1500, 375},
      // Letter case and surrounding blanks and control characters do not count.
      {"  AB\t", 1500, 375},
      // bbb: pairs 4/3 over 2, triples 1/3 over 1; ratio 3, factor 750.
      {"bbb", 1250, 250},
      // abab: pairs (3+1+3)/3 over 3, triples (1+1)/3 over 2; ratio 1, factor 1500.
      {"abab", 4500, (7.0L / 9 / 4 + 1.0L / 3 / 2) * 1500},
      // No known n-gram: zero whatever the factor.
      {"xyz", 0, 0},
      // Shorter than a pair: nothing to count.
      {"a", 0, 0},
  };
  for (const Case& c : both) {
    TStringHarmonyInfo info{-1, -1};
    ASSERT_TRUE(db->GetStringInfo(c.text, &info)) << c.text;
    EXPECT_NEAR(static_cast<double>(info.Total), static_cast<double>(c.total), 1e-9) << c.text;
    EXPECT_NEAR(static_cast<double>(info.Average), static_cast<double>(c.average), 1e-9) << c.text;
  }
  // One scheme: its own sum and its own factor.
  TStringHarmonyInfo info;
  ASSERT_TRUE(db->GetStringInfoByScheme("bbb", S::hstDigramm, &info));
  EXPECT_NEAR(static_cast<double>(info.Total), 1000, 1e-9);
  EXPECT_NEAR(static_cast<double>(info.Average), 500, 1e-9);
  ASSERT_TRUE(db->GetStringInfoByScheme("BBB", S::hstTrigramm, &info));
  EXPECT_NEAR(static_cast<double>(info.Total), 250, 1e-9);
  EXPECT_NEAR(static_cast<double>(info.Average), 250, 1e-9);
}

TEST(HarmonyStrings, LetterRatioCountsLowerCaseLettersOnly) {
  struct Case {
    const char* text;
    Extended ratio;
  };
  const Case cases[] = {
      {"report", 2},         // r p r t over e o
      {"12345", 1},          // no letters
      {"rhythm", 1.0L / 1 * 5},  // y is a vowel: 5 consonants over 1 vowel
      {"bcd", 3},            // no vowels: the consonant count
      {"aei", 3},            // no consonants: the vowel count
      {"ÉTÉ", 1},            // upper case is not counted at all
      {"été", 0.5},          // é is a vowel
      {"über", 3},           // ü is not among the vowels
  };
  for (const Case& c : cases) EXPECT_EQ(TMalwareHarmonyStrings::LetterRatio(c.text), c.ratio) << c.text;
}

TEST(HarmonyStrings, NGramsAreCodePointsNotBytes) {
  TTempDir dir;
  auto db = OpenScheme(BuildScheme(dir, "über\nüb\n"));
  // "Üb" lower-cases to the known pair "üb"; split by bytes it would not be found.
  TStringHarmonyInfo info;
  ASSERT_TRUE(db->GetStringInfoByScheme("ÜB", S::hstDigramm, &info));
  EXPECT_GT(info.Total, 0);
  // Two code points make one pair and no triple, although they are four bytes.
  ASSERT_TRUE(db->GetStringInfoByScheme("üb", S::hstTrigramm, &info));
  EXPECT_EQ(info.Total, 0);
}

TEST(HarmonyStrings, WithoutADatabaseNothingIsAnsweredAndTheRecordIsUntouched) {
  TTempDir dir;
  auto missing = OpenScheme(dir / "missing.mdict");
  auto never = TCustomSqlLiteDataBase::Create<TMalwareHarmonyStrings>();
  TStringHarmonyInfo info{7, 7};
  for (TMalwareHarmonyStrings* db : {missing.get(), never.get()}) {
    EXPECT_FALSE(db->GetStringInfo("report", &info));
    EXPECT_FALSE(db->GetStringInfoByScheme("report", S::hstDigramm, &info));
  }
  EXPECT_EQ(info.Total, 7);
  EXPECT_EQ(info.Average, 7);
  // An empty text is refused by the one-scheme call only.
  auto db = OpenScheme(BuildScheme(dir, kTinyCorpus));
  EXPECT_FALSE(db->GetStringInfoByScheme("", S::hstDigramm, &info));
  EXPECT_TRUE(db->GetStringInfo("", &info));
}

TEST(HarmonyStrings, ReopeningPreparesTheLookupsForTheNewFile) {
  TTempDir dir;
  std::string first = BuildScheme(dir, "ab\n", "first.mdict");
  std::string second = BuildScheme(dir, "cd\n", "second.mdict");
  auto db = OpenScheme(first);
  TStringHarmonyInfo info;
  ASSERT_TRUE(db->GetStringInfo("ab", &info));
  EXPECT_GT(info.Average, 0);
  db->Close();
  db->Open(second);
  ASSERT_TRUE(db->GetStringInfo("ab", &info));
  EXPECT_EQ(info.Average, 0);
  ASSERT_TRUE(db->GetStringInfo("cd", &info));
  EXPECT_GT(info.Average, 0);
}

TEST(HarmonyStrings, AFileWithoutTheTablesIsSetAsideAndItsProblemRecorded) {
  TTempDir dir;
  std::string noBase = dir / "foreign.mdict";
  TSQLiteDatabase(noBase, TSQLiteOpenMode::omReadWriteCreate).ExecSQLChecked("create table other (x)");
  std::string noStats = dir / "half.mdict";
  TSQLiteDatabase(noStats, TSQLiteOpenMode::omReadWriteCreate)
      .ExecSQLChecked("create table baseinfo (dict INTEGER, vlfactor REAL, wcount INTEGER);"
                      "insert into baseinfo values (0, 1.5, 1), (1, 1.5, 1);"
                      "create table stats2 (hash INTEGER, count INTEGER)");
  struct TCase {
    std::string File, Reason;
    bool ByQuery;
  };
  const TCase cases[] = {
      {noBase, "no table baseinfo", false},    // met while opening
      {noStats, "no such table: stats3", true},  // met by the first query
  };
  for (const auto& [file, reason, byQuery] : cases) {
    auto db = TCustomSqlLiteDataBase::Create<TMalwareHarmonyStrings>();
    EXPECT_NO_THROW(db->Open(file));
    TStringHarmonyInfo info{7, 7};
    EXPECT_FALSE(db->GetStringInfo("report", &info)) << file;
    EXPECT_EQ(info.Total, 7);
    EXPECT_EQ(db->TakeQueryProblems(), byQuery ? std::vector<std::string>{reason} : std::vector<std::string>{}) << file;
    EXPECT_FALSE(db->HasConnection());
    EXPECT_EQ(db->Problem(), reason);
    // Set aside: later calls answer nothing and record nothing new.
    EXPECT_FALSE(db->GetStringInfoByScheme("report", S::hstDigramm, &info));
    EXPECT_TRUE(db->TakeQueryProblems().empty());
  }
}

// --- the rule -------------------------------------------------------------------

TEST(HarmonyName, RuleVerdictsOnRealFiles) {
  TTempDir dir;
  // Every name of the corpus knows "ab" ... and the GUID below, so that its
  // harmony is high.
  const std::string guid = "{0123abcd-4567-89ef-0123-456789abcdef}";
  std::string scheme = BuildScheme(dir, std::string(kTinyCorpus) + guid + "\n");
  auto e = HarmonyEngine(scheme);
  const std::string files = (dir.Path() / "files").string();
  struct Case {
    const char* name;
    std::string file;
    Extended percent;
    bool guid, threat, modelRan;
  };
  const Case cases[] = {
      {"known pairs", "abab.exe", 0, false, false, true},
      {"nothing known", "qqqq.exe", 100, false, true, true},
      {"a GUID the corpus knows", guid + ".exe", 50, true, true, true},
      {"an unknown GUID scores as random first", "{99999999-9999-9999-9999-999999999999}.dll", 100, false, true, true},
      {"one-character stem", "q.exe", 0, false, false, false},
      {"blank-padded one-character stem", " q .exe", 0, false, false, false},
      {"only the last extension goes", "qqqq.abab.exe", 0, false, false, true},
  };
  for (const Case& c : cases) {
    std::string path = files + "/" + c.file;
    PutPE(path);
    THarmonyOutcome out = Judge(*e, path);
    EXPECT_EQ(out.Percent, c.percent) << c.name;
    EXPECT_EQ(out.IsGuid, c.guid) << c.name;
    if (c.threat) {
      ASSERT_EQ(out.Threats.size(), 1u) << c.name;
      EXPECT_EQ(out.Threats[0].first, "ThreatFileName.Suspicious.Base") << c.name;
      EXPECT_EQ(out.Threats[0].second, 10) << c.name;
    } else {
      EXPECT_TRUE(out.Threats.empty()) << c.name;
    }
    if (!c.modelRan) {
      EXPECT_EQ(out.Total, 0) << c.name;
      EXPECT_EQ(out.Average, 0) << c.name;
    }
  }
  // The factors are those of the model for the stem.
  auto db = OpenScheme(scheme);
  TStringHarmonyInfo info;
  ASSERT_TRUE(db->GetStringInfo("abab", &info));
  THarmonyOutcome out = Judge(*e, files + "/abab.exe");
  EXPECT_EQ(out.Total, info.Total);
  EXPECT_EQ(out.Average, info.Average);
}

TEST(HarmonyName, AnAverageOfExactlyTwoCountsAsRandom) {
  TTempDir dir;
  // "ab" once among 128 names; the other names have ratios 2 and 1 so that
  // the typical ratio is 253/128: factor 1000 / (125/128) = 1024, and "ab"
  // averages (1/128)/4 * 1024 = 2 exactly.
  std::string scheme = BuildScheme(dir, "ab\n" + Repeat("bbe", 125) + Repeat("ed", 2));
  auto db = OpenScheme(scheme);
  TStringHarmonyInfo info;
  ASSERT_TRUE(db->GetStringInfo("ab", &info));
  ASSERT_EQ(info.Average, 2);
  EXPECT_TRUE(info.IsRandomString(2.0));

  auto e = HarmonyEngine(scheme);
  PutPE(dir / "ab.exe");
  EXPECT_EQ(Judge(*e, dir / "ab.exe").Percent, 100);
}

TEST(HarmonyName, AMissingDatabaseContributesNothing) {
  TTempDir dir;
  auto e = HarmonyEngine(dir / "missing.mdict");
  PutPE(dir / "qqqq.exe");
  THarmonyOutcome out = Judge(*e, dir / "qqqq.exe");
  EXPECT_EQ(out.Percent, 0);
  EXPECT_EQ(out.Average, 0);
  EXPECT_TRUE(out.Threats.empty());
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 0);
}

TEST(HarmonyName, ResetClearsTheFactorsBetweenAnalyses) {
  TTempDir dir;
  const std::string guid = "0123abcd-4567-89ef-0123-456789abcdef";
  auto e = HarmonyEngine(BuildScheme(dir, std::string(kTinyCorpus) + guid + "\n"));
  PutPE(dir / (guid + ".exe"));
  PutPE(dir / "q.exe");
  ASSERT_TRUE(Judge(*e, dir / (guid + ".exe")).IsGuid);
  THarmonyOutcome out = Judge(*e, dir / "q.exe");
  EXPECT_FALSE(out.IsGuid);
  EXPECT_EQ(out.Total, 0);
  EXPECT_EQ(out.Average, 0);
}

TEST(HarmonyName, PostPassRaisesARandomNameOnASignedNetworkedFileOutsideTheWindowsFolder) {
  using F = TSuspiciousPathResultFolder;
  struct Case {
    const char* what;
    Extended path;
    F folder;
    Extended signedFile, ports;
    bool raised;
  } cases[] = {
      {"temporary folder", 100, F::sprFolderTemp, 60, 60, true},
      {"a folder category without a percent", 0, F::sprFolderTemp, 60, 60, false},
      {"the Windows folder itself", 20, F::sprFolderWindows, 60, 60, false},
      {"signed-file rule silent", 100, F::sprFolderTemp, 0, 60, false},
      {"no connections", 100, F::sprFolderTemp, 60, 0, false},
  };
  ComPtr<TMalwareRuleHarmonyName> rule(new TMalwareRuleHarmonyName(nullptr, R::mhRuleHarmonyName));
  for (const Case& c : cases) {
    auto* result = new TMalwareHeuristicResult();
    ComPtr<IMalwareHeuristicResult> hold(static_cast<IMalwareHeuristicResult*>(result));
    auto* path = new TMalwareRuleResultSuspiciousPath();
    path->SetPercentageMatch(c.path);
    path->FFolderType = c.folder;
    result->Rules()[R::mhRuleSuspiciousPath] = ComPtr<IMalwareRuleResult>(static_cast<IMalwareRuleResult*>(static_cast<TMalwareRuleResult*>(path)));
    for (auto [type, percent] : {std::pair{R::mhRuleSignedFile, c.signedFile}, std::pair{R::mhRuleOpenNetworkPorts, c.ports}}) {
      auto* r = new TMalwareRuleResult();
      r->SetPercentageMatch(percent);
      result->Rules()[type] = ComPtr<IMalwareRuleResult>(static_cast<IMalwareRuleResult*>(r));
    }
    result->SetPercentageMatch(40);
    rule->PostAnalyze(nullptr, result, &rule->RuleResult());
    EXPECT_EQ(result->PercentageMatch(), c.raised ? 100 : 40) << c.what;
  }
}

TEST(HarmonyName, CliReportsTheFactorsAndTheGuidFlag) {
  TTempDir dir;
  const std::string guid = "{0123abcd-4567-89ef-0123-456789abcdef}";
  std::string scheme = BuildScheme(dir, std::string(kTinyCorpus) + guid + "\n");
  std::filesystem::create_directories(dir.Path() / "Data");
  std::filesystem::copy_file(scheme, dir.Path() / "Data" / "hwscheme.mdict");
  PutPE(dir / ("files/" + guid + ".exe"));
  auto [status, out] = RunProgram(QUILLMARK_CLI_PATH, {"scan", "--json", "--data", (dir.Path() / "Data").string(),
                                               (dir.Path() / "files").string()});
  ASSERT_NE(out.find("\"rule\":\"mhRuleHarmonyName\",\"percent\":50"), std::string::npos) << out;
  EXPECT_NE(out.find("\"isGuid\":true"), std::string::npos) << out;
  EXPECT_NE(out.find("\"totalFactor\":"), std::string::npos) << out;
  EXPECT_NE(out.find("\"averageFactor\":"), std::string::npos) << out;
  (void)status;
  auto [textStatus, text] = RunProgram(QUILLMARK_CLI_PATH, {"scan", "--data", (dir.Path() / "Data").string(),
                                                            (dir.Path() / "files").string()});
  (void)textStatus;
  EXPECT_NE(text.find("mhRuleHarmonyName 50.0% [ThreatFileName.Suspicious.Base 10%] {harmony "), std::string::npos)
      << text;
  EXPECT_NE(text.find(", GUID name}"), std::string::npos) << text;
}

// --- the shipped model ---------------------------------------------------------------

TEST(HarmonyModel, ShippedModelTellsOrdinaryNamesFromRandomOnes) {
  auto db = OpenScheme(ShippedScheme());
  ASSERT_TRUE(db->HasConnection()) << ShippedScheme();
  auto random = [&](const std::string& s) {
    TStringHarmonyInfo info;
    EXPECT_TRUE(db->GetStringInfo(s, &info));
    return info.IsRandomString(TMalwareRuleHarmonyName::kRandomAverage);
  };
  for (const char* name : {"setup", "notepad", "report", "install", "update", "readme", "chrome", "photoshop"})
    EXPECT_FALSE(random(name)) << name;
  for (const char* name : {"xkqzvtpw", "qzxjvkwf", "zzqxjk"}) EXPECT_TRUE(random(name)) << name;
}

// Prints the share of held-out ordinary names and of random-looking names
// that the shipped model scores as random (the figures data/README.md
// quotes). Only coarse bounds are asserted: the figures belong to the data.
TEST(HarmonyModel, ShippedModelQuality) {
  auto db = OpenScheme(ShippedScheme());
  ASSERT_TRUE(db->HasConnection());
  std::ifstream in(std::string(QUILLMARK_DATA_SOURCE_DIR) + "/scheme/evaluation/heldout-names.txt");
  std::vector<std::string> heldOut;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) heldOut.push_back(line);
  ASSERT_GT(heldOut.size(), 1000u);

  std::mt19937 rng(20240601);
  auto randomText = [&](const char* alphabet, std::size_t length) {
    std::string s;
    const std::size_t n = std::char_traits<char>::length(alphabet);
    for (std::size_t i = 0; i < length; ++i) s += alphabet[rng() % n];
    return s;
  };
  std::vector<std::string> letters8, hex, guids;
  for (int i = 0; i < 2000; ++i) {
    letters8.push_back(randomText("abcdefghijklmnopqrstuvwxyz", 8));
    hex.push_back(randomText("0123456789abcdef", 8 + 8 * (i % 3)));
    guids.push_back(randomText("0123456789abcdef", 8) + "-" + randomText("0123456789abcdef", 4) + "-" +
                    randomText("0123456789abcdef", 4) + "-" + randomText("0123456789abcdef", 4) + "-" +
                    randomText("0123456789abcdef", 12));
  }
  auto share = [&](const std::vector<std::string>& names) {
    std::size_t flagged = 0;
    for (const std::string& n : names) {
      TStringHarmonyInfo info;
      if (db->GetStringInfo(n, &info) && info.IsRandomString(TMalwareRuleHarmonyName::kRandomAverage)) ++flagged;
    }
    return 100.0 * static_cast<double>(flagged) / static_cast<double>(names.size());
  };
  const double ordinary = share(heldOut), r8 = share(letters8), rhex = share(hex), rguid = share(guids);
  std::printf("harmony model: held-out ordinary names flagged %.1f %% (%zu names); random 8 letters %.1f %%; "
              "hex strings %.1f %%; GUIDs %.1f %%\n",
              ordinary, heldOut.size(), r8, rhex, rguid);
  RecordProperty("heldout_flagged_percent", std::to_string(ordinary));
  RecordProperty("random8_flagged_percent", std::to_string(r8));
  EXPECT_LT(ordinary, 20);
  EXPECT_GT(r8, 25);
}
