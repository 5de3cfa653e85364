// Evidence records of the file rules: names and default danger percents.
#include <gtest/gtest.h>

#include "rules/threats_file_info.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;

namespace {
using G = TThreatSubGroup;
using F = TSuspiciousPathResultFolder;
}  // namespace

TEST(FileInfoThreats, GroupedRecordsCarryTheirClassDefaultsAndComposedNames) {
  struct Case {
    std::unique_ptr<TThreat> threat;
    const char* name;
    Extended percent;
  };
  Case cases[] = {
      {TThreatGroupedOf<G>::Create<ThreatFileName>(G::tsgNormal, -1), "ThreatFileName.Normal.Base", 5},
      {TThreatGroupedOf<G>::Create<ThreatFileName>(G::tsgSuspicious, -1), "ThreatFileName.Suspicious.Base", 10},
      {TThreatGroupedOf<G>::Create<ThreatFileName>(G::tsgDangerous, -1), "ThreatFileName.Dangerous.Base", 40},
      {TThreatGroupedOf<G>::Create<ThreatFileName>(G::tsgCrytical, -1), "ThreatFileName.Crytical.Base", 90},
      {TThreatGroupedOf<G>::Create<ThreatFileVersionInfo>(G::tsgNormal, -1), "ThreatFileVersionInfo.Normal.Base", 10},
      {TThreatGroupedOf<G>::Create<ThreatFileVersionInfo>(G::tsgSuspicious, -0.5L), "ThreatFileVersionInfo.Suspicious.Base", 30},
      {TThreatGroupedOf<G>::Create<ThreatFileVersionInfo>(G::tsgDangerous, -1), "ThreatFileVersionInfo.Dangerous.Base", 50},
      {TThreatGroupedOf<G>::Create<ThreatFileVersionInfo>(G::tsgCrytical, -1), "ThreatFileVersionInfo.Crytical.Base", 90},
      {TThreatGroupedOf<ThreatFileResourceGroup>::Create<ThreatFileResource>(ThreatFileResourceGroup::tfrIcon, -1),
       "ThreatFileResource.Icon.Base", 10},
      // A percent of 0 or more is kept, 0 included.
      {TThreatGroupedOf<G>::Create<ThreatFileName>(G::tsgDangerous, 0), "ThreatFileName.Dangerous.Base", 0},
      {TThreatGroupedOf<G>::Create<ThreatFileName>(G::tsgNormal, 77), "ThreatFileName.Normal.Base", 77},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.threat->Name(), c.name);
    EXPECT_EQ(c.threat->DangerPercent(), c.percent) << c.name;
  }
}

TEST(FileInfoThreats, FolderTypeRecordIsNamedByFolderAndExtension) {
  TTestTarget windows;
  TTestTarget posix({}, runtime::TPathSyntax::psPosix);
  struct Case {
    runtime::ITargetSystem* target;
    F folder;
    const char* file;
    Extended percent;
    const char* name;
    Extended expected;
  };
  const Case cases[] = {
      {&windows, F::sprFolderTemp, "x.exe", -1, "ThreatFilePath.{FolderTemp\\.exe}", 5},
      {&windows, F::sprFolderTemp, "C:\\Temp\\x", 60, "ThreatFilePath.{FolderTemp\\}", 60},
      {&windows, F::sprFolderRecycleBin, "C:\\$RECYCLE.BIN\\S-1\\$RAB12.PDF.Exe", 100,
       "ThreatFilePath.{FolderRecycleBin\\.Exe}", 100},
      // The extension is that of the name part: a dot in a folder does not count.
      {&windows, F::sprFolderRootDrive, "C:\\my.folder\\readme", 60, "ThreatFilePath.{FolderRootDrive\\}", 60},
      {&posix, F::sprFolderProfile, "/home/u/.config/a.b.scr", 60, "ThreatFilePath.{FolderProfile\\.scr}", 60},
      // On a Linux target "\" is part of a name.
      {&posix, F::sprFolderTemp, "/tmp/dir.x\\file", 60, "ThreatFilePath.{FolderTemp\\.x\\file}", 60},
  };
  for (const Case& c : cases) {
    auto t = ThreatFilePath::Create(c.folder, *c.target, c.file, c.percent);
    EXPECT_EQ(t->Name(), c.name) << c.file;
    EXPECT_EQ(t->DangerPercent(), c.expected) << c.file;
  }
}

TEST(FileInfoThreats, FullNameRecordPutsEnvironmentVariablesBackIntoTheFolder) {
  TTestTarget windows;
  windows.SetWindowsDirectory("C:\\Windows");
  windows.SetEnvironmentVariable("APPDATA", "C:\\Users\\Ann\\AppData\\Roaming");
  EXPECT_EQ(ThreatFilePath::Create(windows, "C:\\Windows\\System32\\drivers\\x.sys", -1)->Name(),
            "ThreatFilePath.{%SystemRoot%\\System32\\drivers\\.sys}");
  EXPECT_EQ(ThreatFilePath::Create(windows, "c:\\users\\ann\\appdata\\roaming\\Tool\\t.exe", -1)->Name(),
            "ThreatFilePath.{%APPDATA%\\Tool\\.exe}");
  // A folder no variable names stays as it is.
  auto plain = ThreatFilePath::Create(windows, "D:\\Games\\run", 12);
  EXPECT_EQ(plain->Name(), "ThreatFilePath.{D:\\Games\\}");
  EXPECT_EQ(plain->DangerPercent(), 12);

  TTestTarget posix({}, runtime::TPathSyntax::psPosix);
  EXPECT_EQ(ThreatFilePath::Create(posix, "/opt/tool/bin/t.exe", -1)->Name(), "ThreatFilePath.{/opt/tool/bin/.exe}");
}
