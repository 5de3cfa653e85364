// Suspicious-path rule: its folder table on a Windows target and on the live
// Linux host, the match of a file's folder against it, and its post-pass.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "engine/malware_heuristic.h"
#include "rules/suspicious_path.h"
#include "runtime/shell_folders.h"
#include "support/engine_fixture.h"
#include "support/programs.h"
#include "support/scripted_rule.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;
using F = TSuspiciousPathResultFolder;
namespace fs = std::filesystem;

namespace {

struct TPathOutcome {
  F Folder;
  std::string Key;
  Extended Percent;
  std::vector<std::pair<std::string, Extended>> Threats;
};

// Runs the rule through the engine on a file and reads back its result.
TPathOutcome Judge(TMalwareHeuristic& e, const std::string& file) {
  EXPECT_TRUE(e.AnalyzeFile(file)) << file;
  auto stored = e.GetResult()->GetRules();
  auto it = stored.find(R::mhRuleSuspiciousPath);
  if (it == stored.end()) {
    ADD_FAILURE() << "no result for " << file;
    return {};
  }
  auto r = it->second.As<IMalwareRuleResultSuspiciousPath>();
  auto* object = static_cast<TMalwareRuleResult*>(it->second.As<ILinkObjectInterface>()->GetObject());
  TPathOutcome out{r->GetFolderType(), r->GetFolder(), r->GetPercentageMatch(), {}};
  for (const auto& t : object->Threats()) out.Threats.emplace_back(t->Name(), t->DangerPercent());
  return out;
}

std::shared_ptr<TTestTarget> WindowsTarget(const TTempDir& root) {
  auto t = std::make_shared<TTestTarget>(root.Path().string());
  t->SetEnvironmentVariable("TMP", "C:\\Users\\Ann\\AppData\\Local\\Temp")
      .SetEnvironmentVariable("TEMP", "C:\\Users\\Ann\\AppData\\Local\\Temp\\")
      .SetSpecialFolder(runtime::csidl::kInternetCache, "C:\\Users\\Ann\\AppData\\Local\\Microsoft\\Windows\\INetCache")
      .SetSpecialFolder(runtime::csidl::kAppData, "C:\\Users\\Ann\\AppData\\Roaming")
      .SetWindowsDirectory("C:\\Windows");
  return t;
}

}  // namespace

TEST(SuspiciousPath, WindowsTargetTableHoldsEachFolderOnceInRegistrationOrder) {
  TTempDir root;
  auto target = WindowsTarget(root);
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic(target));
  ComPtr<TMalwareRuleSuspiciousPath> rule(new TMalwareRuleSuspiciousPath(e.get(), R::mhRuleSuspiciousPath));
  std::vector<std::tuple<std::string, bool, F>> table;
  for (const auto& entry : rule->FoldersToTest())
    table.emplace_back(entry.Key, entry.Value.WithSubfolders, entry.Value.FolderType);
  const std::vector<std::tuple<std::string, bool, F>> expected = {
      {"$RECYCLE.BIN\\", true, F::sprFolderRecycleBin},
      // TMP and TEMP name the same folder: one entry.
      {"C:\\Users\\Ann\\AppData\\Local\\Temp\\", true, F::sprFolderTemp},
      {"C:\\Users\\Ann\\AppData\\Local\\Microsoft\\Windows\\INetCache\\", true, F::sprFolderTemp},
      {"C:\\Users\\Ann\\AppData\\Roaming\\", false, F::sprFolderProfile},
      {"C:\\", false, F::sprFolderRootDrive},
      {"C:\\Windows\\", false, F::sprFolderWindows},
  };
  EXPECT_EQ(table, expected);

  // Before Vista the bin is "RECYCLER"; unset folders add nothing.
  auto xp = std::make_shared<TTestTarget>(root.Path().string());
  xp->SetWindowsVersion(runtime::TWindowsVersion::wvWinXP);
  ComPtr<TMalwareHeuristic> e2(new TMalwareHeuristic(xp));
  ComPtr<TMalwareRuleSuspiciousPath> old(new TMalwareRuleSuspiciousPath(e2.get(), R::mhRuleSuspiciousPath));
  ASSERT_EQ(old->FoldersToTest().size(), 1u);
  EXPECT_EQ(old->FoldersToTest()[0].Key, "RECYCLER\\");
}

TEST(SuspiciousPath, FilesOnAWindowsTargetAreJudgedByTheirFolder) {
  TTempDir root;
  auto target = WindowsTarget(root);
  auto e = EngineWith({R::mhRuleSuspiciousPath}, target);
  struct Case {
    const char* file;
    F folder;
    const char* key;
    Extended percent;
    Extended danger;
  };
  const Case cases[] = {
      {"C:\\Windows\\x.exe", F::sprFolderWindows, "C:\\Windows\\", 20, 20},
      {"C:\\Windows\\System32\\x.exe", F::sprFolderUnknown, "", 0, 0},
      {"C:\\$RECYCLE.BIN\\S-1-5-21\\$R1.exe", F::sprFolderRecycleBin, "$RECYCLE.BIN\\", 100, 100},
      {"E:\\$Recycle.Bin\\S-1-5-21\\x.exe", F::sprFolderRecycleBin, "$RECYCLE.BIN\\", 100, 100},
      {"\\\\server\\share\\$RECYCLE.BIN\\x.exe", F::sprFolderRecycleBin, "$RECYCLE.BIN\\", 100, 100},
      {"C:\\Data\\$RECYCLE.BIN\\x.exe", F::sprFolderUnknown, "", 0, 0},
      {"C:\\x.exe", F::sprFolderRootDrive, "C:\\", 90, 60},
      {"C:\\Tools\\x.exe", F::sprFolderUnknown, "", 0, 0},
      {"D:\\x.exe", F::sprFolderUnknown, "", 0, 0},
      {"C:\\Users\\Ann\\AppData\\Local\\Temp\\x.exe", F::sprFolderTemp, "C:\\Users\\Ann\\AppData\\Local\\Temp\\", 100, 60},
      {"C:\\Users\\Ann\\AppData\\Local\\Temp\\a\\b\\x.exe", F::sprFolderTemp, "C:\\Users\\Ann\\AppData\\Local\\Temp\\", 100, 60},
      // Letter case and the other separator do not hide a folder.
      {"c:/users/ann/appdata/local/TEMP/x.exe", F::sprFolderTemp, "C:\\Users\\Ann\\AppData\\Local\\Temp\\", 100, 60},
      {"C:\\Users\\Ann\\AppData\\Local\\TempX\\x.exe", F::sprFolderUnknown, "", 0, 0},
      {"C:\\Users\\Ann\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE\\x.exe", F::sprFolderTemp,
       "C:\\Users\\Ann\\AppData\\Local\\Microsoft\\Windows\\INetCache\\", 100, 60},
      {"C:\\Users\\Ann\\AppData\\Roaming\\x.exe", F::sprFolderProfile, "C:\\Users\\Ann\\AppData\\Roaming\\", 90, 60},
      {"C:\\Users\\Ann\\AppData\\Roaming\\Vendor\\x.exe", F::sprFolderUnknown, "", 0, 0},
  };
  for (const Case& c : cases) {
    PutPE(target->HostPath(c.file));
    TPathOutcome out = Judge(*e, c.file);
    EXPECT_EQ(out.Folder, c.folder) << c.file;
    EXPECT_EQ(out.Key, c.key) << c.file;
    EXPECT_EQ(out.Percent, c.percent) << c.file;
    if (c.folder == F::sprFolderUnknown) {
      EXPECT_TRUE(out.Threats.empty()) << c.file;
    } else {
      ASSERT_EQ(out.Threats.size(), 1u) << c.file;
      EXPECT_EQ(out.Threats[0].first,
                "ThreatFilePath.{" + std::string(SuspiciousPathFolderIdentifier(c.folder) + 3) + "\\.exe}");
      EXPECT_EQ(out.Threats[0].second, c.danger) << c.file;
    }
  }
}

TEST(SuspiciousPath, LiveLinuxHostMapsTempCacheTrashConfigAndRoot) {
  // Folders outside the temporary folders, so that each category shows.
  const fs::path scratch = fs::path(runtime::HostExecutableFolder()) / ("qm-sp-" + std::to_string(getpid()));
  if (scratch.string().starts_with("/tmp/")) GTEST_SKIP() << "the test program lies in a temporary folder";
  fs::create_directories(scratch);
  struct TCleanup {
    fs::path p;
    ~TCleanup() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } cleanup{scratch};
  const std::string s = scratch.string();
  TEnvironmentGuard env;
  env.Set("TMP", std::nullopt);
  env.Set("TEMP", std::nullopt);
  env.Set("TMPDIR", s + "/tmpdir");
  env.Set("XDG_CACHE_HOME", s + "/cache");
  env.Set("XDG_CONFIG_HOME", s + "/config");
  env.Set("XDG_DATA_HOME", s + "/data");

  const std::string uid = std::to_string(getuid());
  auto bins = runtime::LiveHost()->RecycleBinFolders();
  EXPECT_NE(std::find(bins.begin(), bins.end(), s + "/data/Trash/"), bins.end());
  EXPECT_NE(std::find(bins.begin(), bins.end(), "/.Trash-" + uid + "/"), bins.end());

  auto e = EngineWith({R::mhRuleSuspiciousPath});
  struct Case {
    std::string file;
    F folder;
    std::string key;
    Extended percent;
  };
  std::vector<Case> cases = {
      {s + "/tmpdir/a/x.exe", F::sprFolderTemp, s + "/tmpdir/", 100},
      {"/tmp/qm-sp-" + std::to_string(getpid()) + "/x.exe", F::sprFolderTemp, "/tmp/", 100},
      {s + "/cache/thumbs/x.exe", F::sprFolderTemp, s + "/cache/", 100},
      {s + "/config/x.exe", F::sprFolderProfile, s + "/config/", 90},
      {s + "/config/app/x.exe", F::sprFolderUnknown, "", 0},
      // Folders compare exactly on Linux.
      {s + "/CONFIG/x.exe", F::sprFolderUnknown, "", 0},
      {s + "/data/Trash/files/x.exe", F::sprFolderRecycleBin, s + "/data/Trash/", 100},
      {s + "/plain/x.exe", F::sprFolderUnknown, "", 0},
      // "\" and ":" are ordinary characters of a Linux name.
      {s + "/config/C:\\$RECYCLE.BIN\\x.exe", F::sprFolderProfile, s + "/config/", 90},
      {s + "/plain/$RECYCLE.BIN/x.exe", F::sprFolderUnknown, "", 0},
  };
  if (access("/", W_OK) == 0) cases.push_back({"/qm-sp-root-" + std::to_string(getpid()) + ".exe", F::sprFolderRootDrive, "/", 90});
  for (const Case& c : cases) {
    PutPE(c.file);
    TPathOutcome out = Judge(*e, c.file);
    std::error_code ec;
    if (c.file.starts_with("/tmp/") || c.file.starts_with("/qm-sp-root")) {
      fs::remove(c.file, ec);
      fs::remove(fs::path(c.file).parent_path(), ec);
    }
    EXPECT_EQ(out.Folder, c.folder) << c.file;
    EXPECT_EQ(out.Key, c.key) << c.file;
    EXPECT_EQ(out.Percent, c.percent) << c.file;
  }
}

TEST(SuspiciousPath, PostPassRaisesAnUnsignedNetworkedProgramOutsideTheWindowsFolder) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleHarmonyName, R::mhRuleOpenNetworkPorts});
  TMalwareHeuristic::RegisterRule(R::mhRuleSuspiciousPath, &RuleClassOf<TMalwareRuleSuspiciousPath>);
  TTempDir root;
  auto target = WindowsTarget(root);
  const std::string inTemp = "C:\\Users\\Ann\\AppData\\Local\\Temp\\x.exe";
  const std::string inWindows = "C:\\Windows\\x.exe";
  const std::string elsewhere = "C:\\Tools\\x.exe";
  for (const auto& f : {inTemp, inWindows, elsewhere}) PutPE(target->HostPath(f));
  struct Case {
    const char* name;
    std::string file;
    Extended ports, harmony, entropy, signedFile;
    bool raised;
  };
  const Case cases[] = {
      {"all, harmony", inTemp, 1, 1, 0, 1, true},
      {"all, entropy", inTemp, 1, 0, 1, 1, true},
      {"no open ports", inTemp, 0, 1, 1, 1, false},
      {"neither harmony nor entropy", inTemp, 1, 0, 0, 1, false},
      {"signed", inTemp, 1, 1, 1, 0, false},
      {"Windows folder", inWindows, 1, 1, 1, 1, false},
      {"no suspicious folder: no post-pass", elsewhere, 1, 1, 1, 1, false},
  };
  for (const Case& c : cases) {
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic(target));
    Scripts()[R::mhRuleOpenNetworkPorts].Percent = c.ports;
    Scripts()[R::mhRuleHarmonyName].Percent = c.harmony;
    Scripts()[R::mhRuleEntropy].Percent = c.entropy;
    Scripts()[R::mhRuleSignedFile].Percent = c.signedFile;
    ASSERT_TRUE(e->AnalyzeFile(c.file)) << c.name;
    if (c.raised) EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 100) << c.name;
    else EXPECT_LT(e->GetResult()->GetPercentageMatch(), 90) << c.name;
  }
}

TEST(SuspiciousPath, ResultDetailsNameTheFolder) {
  TTempDir root;
  auto target = WindowsTarget(root);
  auto e = EngineWith({R::mhRuleSuspiciousPath}, target);
  PutPE(target->HostPath("C:\\x.exe"));
  ASSERT_TRUE(e->AnalyzeFile("C:\\x.exe"));
  auto* object = static_cast<TMalwareRuleResult*>(
      e->GetResult()->GetRules().at(R::mhRuleSuspiciousPath).As<ILinkObjectInterface>()->GetObject());
  TRuleResultDetails details;
  object->GetDetails(details);
  ASSERT_EQ(details.size(), 2u);
  EXPECT_EQ(details[0].Name, "folderType");
  EXPECT_EQ(std::get<std::string>(details[0].Value), "sprFolderRootDrive");
  EXPECT_EQ(details[1].Name, "folder");
  EXPECT_EQ(std::get<std::string>(details[1].Value), "C:\\");
}
