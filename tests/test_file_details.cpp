// System-file catalogue and incorrect-location rule: locations from a
// catalogue built by the dictionary compiler, version gating, the Sysnative
// alias, and the rule through the engine on files of a Windows test target
// and of the live host; the shipped catalogue.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "db/file_details.h"
#include "engine/malware_heuristic.h"
#include "rules/incorrect_file_location.h"
#include "rules/suspicious_path.h"
#include "support/engine_fixture.h"
#include "support/programs.h"
#include "support/scripted_rule.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;
using V = runtime::TWindowsVersion;

namespace {

std::pair<int, std::string> RunProgram(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  TProgramRun run = RunProgramCapture(args);
  return {run.Status, run.Output};
}



// A catalogue small enough to read: kernel32.dll in System32 and SysWOW64
// and, from Vista on, anywhere under WinSxS; a file that exists only up to
// XP; a folder that applies only from Windows 10 on; a name with blanks.
const char* kCatalogue =
    "name\tfolder\trecursive\tmin_os\tmax_os\tfolder_min_os\tfolder_max_os\n"
    "kernel32.dll\t%SystemRoot%\\System32\\\t0\n"
    "kernel32.dll\t%SystemRoot%\\SysWOW64\t0\t\t\twvWinXP64\n"
    "kernel32.dll\t%SystemRoot%\\WinSxS\t1\t\t\twvWinVista\n"
    "oldtool.exe\t%SystemRoot%\\System32\t0\t\twvWinXP\n"
    "newhome.exe\t%ProgramFiles%\\New Home\t0\t\t\twvWin10\n"
    "Report Tool.exe\t%SystemRoot%\\Tools\t1\n"
    "twice.dll\t%SystemRoot%\\System32\t0\n"
    "twice.dll\t%SystemRoot%\\System32\t0\twvWinXP\n";

std::string BuildCatalogue(const TTempDir& dir, const std::string& text = kCatalogue) {
  std::string source = dir.WriteFile("sysfiles.tsv", text);
  std::string output = dir / "hsysfiles.mdict";
  auto [status, out] = RunProgram(QUILLMARK_DICT_PATH, {"build", "--kind", "sysfiles", source, "-o", output});
  EXPECT_EQ(status, 0) << out;
  return output;
}

// A Windows target whose examining process may run under WOW64.
class TWowTarget : public TTestTarget {
 public:
  using TTestTarget::TTestTarget;
  bool IsWow64() override { return FWow64; }
  bool FWow64 = false;
};

std::shared_ptr<TWowTarget> WindowsTarget(const TTempDir& root, V version = V::wvWin10, bool wow64 = false) {
  auto t = std::make_shared<TWowTarget>(root.Path().string());
  t->SetWindowsDirectory("C:\\Windows")
      .SetWindowsVersion(version)
      .SetEnvironmentVariable("ProgramFiles", "C:\\Program Files")
      .SetEnvironmentVariable("USERPROFILE", "C:\\Users\\Ann")
      .SetEnvironmentVariable("TEMP", "C:\\Users\\Ann\\AppData\\Local\\Temp");
  t->FWow64 = wow64;
  return t;
}

std::unique_ptr<TMalwareDataBaseFileDetails> OpenCatalogue(const std::string& file,
                                                           std::shared_ptr<runtime::ITargetSystem> target) {
  auto db = TCustomSqlLiteDataBase::Create<TMalwareDataBaseFileDetails>();
  db->SetTarget(std::move(target));
  db->Open(file);
  return db;
}

using TLocations = std::vector<std::pair<std::string, bool>>;

TLocations Locations(TMalwareDataBaseFileDetails& db, const std::string& name, bool decode = true,
                     bool* found = nullptr) {
  std::vector<TFilePathInfo> list;
  TFilePathInfoCheckParams params{decode};
  bool answer = db.GetFileLocations(name, list, &params);
  if (found) *found = answer;
  TLocations out;
  for (const auto& i : list) out.emplace_back(i.Path, i.Recursive);
  return out;
}

TLocations Sorted(TLocations v) {
  std::sort(v.begin(), v.end());
  return v;
}

struct TLocationOutcome {
  Extended RulePercent = -1;
  Extended Overall = -1;
  std::vector<std::string> Paths;
  std::vector<std::pair<std::string, Extended>> Threats;
  std::vector<R> OthersChecked;
};

}  // namespace

// --- the catalogue ----------------------------------------------------------------

TEST(FileDetails, LocationsOfANameOnTheTargetsVersion) {
  TTempDir dir, root;
  const std::string file = BuildCatalogue(dir);
  auto target = WindowsTarget(root);
  auto db = OpenCatalogue(file, target);
  const TLocations kernel32 = {
      {"C:\\Windows\\System32", false}, {"C:\\Windows\\SysWOW64", false}, {"C:\\Windows\\WinSxS", true}};
  EXPECT_EQ(Sorted(Locations(*db, "kernel32.dll")), Sorted(kernel32));
  // The name part of a path, in any letter case, with surrounding blanks.
  EXPECT_EQ(Sorted(Locations(*db, "D:\\Elsewhere\\  KERNEL32.Dll ")), Sorted(kernel32));
  EXPECT_EQ(Locations(*db, "report tool.exe"), (TLocations{{"C:\\Windows\\Tools", true}}));
  // A folder listed under two version ranges comes once.
  EXPECT_EQ(Locations(*db, "twice.dll"), (TLocations{{"C:\\Windows\\System32", false}}));
  // Left in environment-variable form on request.
  EXPECT_EQ(Sorted(Locations(*db, "kernel32.dll", false)),
            (TLocations{{"%SystemRoot%\\SysWOW64", false}, {"%SystemRoot%\\System32", false},
                        {"%SystemRoot%\\WinSxS", true}}));
  bool found = true;
  EXPECT_TRUE(Locations(*db, "notcatalogued.dll", true, &found).empty());
  EXPECT_FALSE(found);
}

TEST(FileDetails, VersionRangesOfFilesAndFoldersGateTheLocations) {
  TTempDir dir, root;
  const std::string file = BuildCatalogue(dir);
  struct Case {
    V version;
    const char* name;
    TLocations expected;
  } cases[] = {
      {V::wvWinXP, "kernel32.dll", {{"C:\\Windows\\System32", false}}},
      {V::wvWinXP64, "kernel32.dll", {{"C:\\Windows\\SysWOW64", false}, {"C:\\Windows\\System32", false}}},
      {V::wvWinXP, "oldtool.exe", {{"C:\\Windows\\System32", false}}},
      {V::wvWin7, "oldtool.exe", {}},
      {V::wvWin7, "newhome.exe", {}},
      {V::wvWin11, "newhome.exe", {{"C:\\Program Files\\New Home", false}}},
  };
  for (const Case& c : cases) {
    auto db = OpenCatalogue(file, WindowsTarget(root, c.version));
    EXPECT_EQ(Sorted(Locations(*db, c.name)), c.expected)
        << c.name << " on " << runtime::WindowsVersionIdentifier(c.version);
  }
}

TEST(FileDetails, SysnativeAliasForA32BitProcessOnVistaOrLater) {
  TTempDir dir, root;
  const std::string file = BuildCatalogue(dir);
  struct Case {
    const char* what;
    V version;
    bool wow64, decode;
    TLocations expected;  // in catalogue order: System32, its alias, then the rest
  } cases[] = {
      {"WOW64 on Windows 10", V::wvWin10, true, true,
       {{"C:\\Windows\\System32", false}, {"C:\\Windows\\Sysnative", false}}},
      {"WOW64, undecoded", V::wvWin7, true, false,
       {{"%SystemRoot%\\System32", false}, {"%systemroot%\\Sysnative", false}}},
      {"64-bit process", V::wvWin10, false, true, {{"C:\\Windows\\System32", false}}},
      {"WOW64 before Vista", V::wvWinXP64, true, true, {{"C:\\Windows\\System32", false}}},
  };
  for (const Case& c : cases) {
    auto db = OpenCatalogue(file, WindowsTarget(root, c.version, c.wow64));
    TLocations all = Locations(*db, "kernel32.dll", c.decode);
    TLocations system32;
    for (auto& l : all)
      if (l.first.find("System32") != std::string::npos || l.first.find("Sysnative") != std::string::npos)
        system32.push_back(l);
    EXPECT_EQ(system32, c.expected) << c.what;
    // The alias follows its System32 entry directly.
    auto at = std::find(all.begin(), all.end(), c.expected[0]);
    ASSERT_NE(at, all.end()) << c.what;
    if (c.expected.size() > 1) {
      ASSERT_NE(at + 1, all.end()) << c.what;
      EXPECT_EQ(*(at + 1), c.expected[1]) << c.what;
    }
  }
}

TEST(FileDetails, WithoutAConnectionNothingIsAppended) {
  TTempDir dir, root;
  auto db = OpenCatalogue(dir / "missing.mdict", WindowsTarget(root));
  std::vector<TFilePathInfo> list{{true, "kept"}};
  EXPECT_FALSE(db->GetFileLocations("kernel32.dll", list, nullptr));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Path, "kept");
}

TEST(FileDetails, OnTheLiveHostFoldersKeepTheirWindowsForm) {
  // The live Linux host has no Windows directory: %SystemRoot% stays as it
  // is, and no Linux folder is ever one of the locations.
  TTempDir dir;
  auto db = OpenCatalogue(BuildCatalogue(dir), runtime::LiveHost());
  EXPECT_EQ(Sorted(Locations(*db, "kernel32.dll")),
            (TLocations{{"%SystemRoot%\\SysWOW64", false}, {"%SystemRoot%\\System32", false},
                        {"%SystemRoot%\\WinSxS", true}}));
}

// --- the rule -----------------------------------------------------------------------

class IncorrectFileLocation : public ::testing::Test {
 protected:
  // The real rule beside a scripted one of lower priority, which shows
  // whether the analysis went on.
  IncorrectFileLocation() : FRegistry({R::mhRuleNoIcon}) {
    TMalwareHeuristic::RegisterRule(R::mhRuleIncorrectFileLocation, &RuleClassOf<TMalwareRuleIncorrectFileLocation>);
  }

  TLocationOutcome Judge(std::shared_ptr<runtime::ITargetSystem> target, const std::string& catalogue,
                         const std::string& file, bool withSuspiciousPath = false) {
    if (withSuspiciousPath)
      TMalwareHeuristic::RegisterRule(R::mhRuleSuspiciousPath, &RuleClassOf<TMalwareRuleSuspiciousPath>);
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic(std::move(target)));
    e->GetSettings()->SetDictionaryFileDetailsFileName(catalogue);
    Journal().Clear();
    TLocationOutcome out;
    EXPECT_TRUE(e->AnalyzeFile(file)) << file;
    out.Overall = e->GetResult()->GetPercentageMatch();
    out.OthersChecked = Journal().Checked;
    auto rules = e->GetResult()->GetRules();
    auto it = rules.find(R::mhRuleIncorrectFileLocation);
    if (it == rules.end()) {
      ADD_FAILURE() << "no result for " << file;
      return out;
    }
    auto r = it->second.As<IMalwareRuleResultIncorrectFileLocation>();
    out.RulePercent = r->GetPercentageMatch();
    out.Paths = r->GetPaths();
    auto* object = static_cast<TMalwareRuleResult*>(it->second.As<ILinkObjectInterface>()->GetObject());
    for (const auto& t : object->Threats()) out.Threats.emplace_back(t->Name(), t->DangerPercent());
    return out;
  }

  TScriptedRegistry FRegistry;
};

TEST_F(IncorrectFileLocation, VerdictsOnAWindowsTarget) {
  TTempDir dir, root;
  const std::string catalogue = BuildCatalogue(dir);
  auto target = WindowsTarget(root);
  struct Case {
    const char* what;
    std::string file;
    Extended rulePercent;
    bool analysisGoesOn;
  } cases[] = {
      {"exact folder: clean, the analysis ends", "C:\\Windows\\System32\\kernel32.dll", 0, false},
      {"letter case of folder and name", "C:\\WINDOWS\\system32\\KERNEL32.DLL", 0, false},
      {"the other exact folder", "C:\\Windows\\SysWOW64\\kernel32.dll", 0, false},
      {"subfolder of a recursive location", "C:\\Windows\\WinSxS\\amd64_x\\kernel32.dll", 0, true},
      {"the recursive folder itself goes on too", "C:\\Windows\\WinSxS\\kernel32.dll", 0, true},
      {"a folder that merely begins with its text", "C:\\Windows\\WinSxSBackup\\kernel32.dll", 0, true},
      {"a subfolder of a non-recursive location", "C:\\Windows\\System32\\x\\kernel32.dll", 100, true},
      {"a name the catalogue does not hold", "C:\\Users\\Ann\\kernelxx.dll", 0, true},
  };
  for (const Case& c : cases) {
    PutPE(target->HostPath(c.file));
    TLocationOutcome out = Judge(target, catalogue, c.file);
    EXPECT_EQ(out.RulePercent, c.rulePercent) << c.what;
    EXPECT_EQ(out.OthersChecked, c.analysisGoesOn ? std::vector<R>{R::mhRuleNoIcon} : std::vector<R>{}) << c.what;
    if (c.rulePercent == 0) {
      EXPECT_TRUE(out.Paths.empty()) << c.what;
      EXPECT_TRUE(out.Threats.empty()) << c.what;
    }
    if (!c.analysisGoesOn) {
      EXPECT_EQ(out.Overall, 0) << c.what;
    }
  }
}

TEST_F(IncorrectFileLocation, MisplacedNameScores150InTheMeanAndListsEveryFolder) {
  TTempDir dir, root;
  const std::string catalogue = BuildCatalogue(dir);
  auto target = WindowsTarget(root);
  const std::string file = "C:\\Users\\Ann\\Downloads\\Kernel32.dll";
  PutPE(target->HostPath(file));
  TLocationOutcome out = Judge(target, catalogue, file);
  // Stored as 100, but the mean with the other rule's 0 is 150 / 2.
  EXPECT_EQ(out.RulePercent, 100);
  EXPECT_EQ(out.Overall, 75);
  ASSERT_EQ(out.Threats.size(), 1u);
  EXPECT_EQ(out.Threats[0].first, "ThreatFilePath.{%USERPROFILE%\\Downloads\\.dll}");
  EXPECT_EQ(out.Threats[0].second, 100);
  // Every legitimate folder, in the catalogue's order.
  auto db = OpenCatalogue(catalogue, target);
  std::vector<std::string> expected;
  for (auto& [path, recursive] : Locations(*db, "kernel32.dll")) expected.push_back(path);
  EXPECT_EQ(out.Paths, expected);
  EXPECT_EQ(out.Paths.size(), 3u);
}

TEST_F(IncorrectFileLocation, SysnativeIsAtHomeForA32BitProcess) {
  TTempDir dir, root;
  const std::string catalogue = BuildCatalogue(dir);
  const std::string file = "C:\\Windows\\Sysnative\\kernel32.dll";
  auto wow = WindowsTarget(root, V::wvWin10, true);
  PutPE(wow->HostPath(file));
  EXPECT_EQ(Judge(wow, catalogue, file).OthersChecked, std::vector<R>{});
  EXPECT_EQ(Judge(WindowsTarget(root, V::wvWin10, false), catalogue, file).RulePercent, 100);
}

TEST_F(IncorrectFileLocation, AMissingCatalogueContributesNothing) {
  TTempDir dir, root;
  auto target = WindowsTarget(root);
  const std::string file = "C:\\Users\\Ann\\kernel32.dll";
  PutPE(target->HostPath(file));
  TLocationOutcome out = Judge(target, dir / "missing.mdict", file);
  EXPECT_EQ(out.RulePercent, 0);
  EXPECT_TRUE(out.Paths.empty());
  EXPECT_EQ(out.OthersChecked, std::vector<R>{R::mhRuleNoIcon});
}

TEST_F(IncorrectFileLocation, PostPassRaisesOutsideTheWindowsFolderOnly) {
  TTempDir dir, root;
  const std::string catalogue = BuildCatalogue(dir);
  auto target = WindowsTarget(root);
  const std::string inTemp = "C:\\Users\\Ann\\AppData\\Local\\Temp\\kernel32.dll";
  const std::string inWindows = "C:\\Windows\\kernel32.dll";
  PutPE(target->HostPath(inTemp));
  PutPE(target->HostPath(inWindows));
  EXPECT_EQ(Judge(target, catalogue, inTemp, true).Overall, 100);
  // In the Windows folder: the mean of 150, the folder's 20 and 0.
  EXPECT_NEAR(static_cast<double>(Judge(target, catalogue, inWindows, true).Overall), 170.0 / 3, 1e-9);
}

TEST_F(IncorrectFileLocation, OnTheLiveHostAMisplacedSystemNameIsFlagged) {
  TTempDir dir;
  const std::string catalogue = BuildCatalogue(dir);
  PutPE(dir / "kernel32.dll");
  TLocationOutcome out = Judge(runtime::LiveHost(), catalogue, dir / "kernel32.dll");
  EXPECT_EQ(out.RulePercent, 100);
  EXPECT_EQ(out.Paths.size(), 3u);
}

TEST(IncorrectFileLocationCli, ReportsTheLegitimateFolders) {
  TTempDir dir;
  const std::string catalogue = BuildCatalogue(dir);
  std::filesystem::create_directories(dir.Path() / "Data");
  std::filesystem::copy_file(catalogue, dir.Path() / "Data" / "hsysfiles.mdict");
  PutPE(dir / "files/kernel32.dll");
  auto [status, out] = RunProgram(QUILLMARK_CLI_PATH, {"scan", "--json", "--data", (dir.Path() / "Data").string(),
                                               (dir.Path() / "files").string()});
  (void)status;
  ASSERT_NE(out.find("\"rule\":\"mhRuleIncorrectFileLocation\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"paths\":[{\"path\":\"%SystemRoot%\\\\"), std::string::npos) << out;
  EXPECT_NE(out.find("{\"path\":\"%SystemRoot%\\\\WinSxS\"}"), std::string::npos) << out;
  auto [textStatus, text] = RunProgram(QUILLMARK_CLI_PATH, {"scan", "--data", (dir.Path() / "Data").string(),
                                                            (dir.Path() / "files").string()});
  (void)textStatus;
  EXPECT_NE(text.find("{belongs in %SystemRoot%\\"), std::string::npos) << text;
  EXPECT_NE(text.find("; %SystemRoot%\\WinSxS}"), std::string::npos) << text;
}

// --- the shipped catalogue -------------------------------------------------------------

TEST(ShippedCatalogue, WellKnownSystemFilesAndTheirFolders) {
  TTempDir root;
  const std::string file = std::string(QUILLMARK_BUILT_DATA_DIR) + "/hsysfiles.mdict";
  auto has = [](const TLocations& l, const std::string& path, bool recursive) {
    return std::find(l.begin(), l.end(), std::pair{path, recursive}) != l.end();
  };
  auto win10 = OpenCatalogue(file, WindowsTarget(root, V::wvWin10));
  ASSERT_TRUE(win10->HasConnection());
  for (const char* name : {"kernel32.dll", "ntdll.dll", "svchost.exe", "user32.dll", "cmd.exe"}) {
    TLocations l = Locations(*win10, name);
    EXPECT_TRUE(has(l, "C:\\Windows\\System32", false)) << name;
    EXPECT_TRUE(has(l, "C:\\Windows\\SysWOW64", false)) << name;
    EXPECT_TRUE(has(l, "C:\\Windows\\WinSxS", true)) << name;
  }
  EXPECT_TRUE(has(Locations(*win10, "explorer.exe"), "C:\\Windows", false));
  EXPECT_FALSE(has(Locations(*win10, "explorer.exe"), "C:\\Windows\\System32", false));
  EXPECT_TRUE(has(Locations(*win10, "http.sys"), "C:\\Windows\\System32\\drivers", false));
  EXPECT_TRUE(has(Locations(*win10, "lsass.exe"), "C:\\Windows\\System32", false));
  EXPECT_FALSE(has(Locations(*win10, "lsass.exe"), "C:\\Windows\\SysWOW64", false));
  // Wine's own programs and libraries applications ship beside themselves are not catalogued.
  for (const char* name : {"winecfg.exe", "msvcp140.dll", "d3dx9_43.dll", "vcruntime140.dll"})
    EXPECT_TRUE(Locations(*win10, name).empty()) << name;

  auto xp = OpenCatalogue(file, WindowsTarget(root, V::wvWinXP));
  EXPECT_TRUE(Locations(*xp, "wininit.exe").empty());
  EXPECT_TRUE(Locations(*win10, "progman.exe").empty());
  EXPECT_FALSE(Locations(*xp, "progman.exe").empty());
  EXPECT_FALSE(has(Locations(*xp, "kernel32.dll"), "C:\\Windows\\WinSxS", true));
}
