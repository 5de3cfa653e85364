#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "runtime/shell_folders.h"
#include "runtime/target_system.h"
#include "support/file_utils.h"
#include "support/network_utils.h"
#include "support/pe_writer.h"
#include "support/programs.h"
#include "support/sys_utils.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

namespace quillmark {
namespace {

using test::TPEBuilder;
using test::TPEBytes;
using test::TPEKind;
using test::TTempDir;
using test::TTestTarget;

runtime::ITargetSystem& Host() { return *runtime::LiveHost(); }

TPEBytes SmallPE(TPEKind kind = TPEKind::pe32) {
  return TPEBuilder(kind).AddSection(".text", test::Bytes("\x55\x8B\xEC\xC3")).Build();
}

// --- IsPEFile ---------------------------------------------------------------------

struct TIsPECase {
  const char* Name;
  std::function<void(TPEBytes&)> Make;
  bool Expected;
};

// The loader's test: "MZ", e_lfanew inside the file, the full "PE\0\0"
// signature and the file header there, and a known optional-header magic.
// The DOS header's page counts and the length of the optional header do not
// keep Windows from running a file, so they do not keep it from analysis.
TEST(FileUtilsIsPEFile, HeaderChecks) {
  const TIsPECase cases[] = {
      {"PE32", [](TPEBytes&) {}, true},
      {"PE32+", [](TPEBytes& p) { p = SmallPE(TPEKind::pe32Plus); }, true},
      {"64 bytes", [](TPEBytes& p) { p.Truncate(64); }, false},
      {"empty", [](TPEBytes& p) { p.Truncate(0); }, false},
      {"just holds the 32-bit NT headers", [](TPEBytes& p) { p.Truncate(p.NtHeadersOffset() + 248); }, true},
      {"ends inside the optional header", [](TPEBytes& p) { p.Truncate(p.NtHeadersOffset() + 247); }, true},
      {"ends right after the optional header's magic", [](TPEBytes& p) { p.Truncate(p.NtHeadersOffset() + 26); },
       true},
      {"ends inside the magic", [](TPEBytes& p) { p.Truncate(p.NtHeadersOffset() + 25); }, false},
      {"ends inside the file header", [](TPEBytes& p) { p.Truncate(p.NtHeadersOffset() + 20); }, false},
      {"no MZ", [](TPEBytes& p) { p.SetDosMagic(0x0000); }, false},
      {"e_lfanew 0", [](TPEBytes& p) { p.SetLfanew(0); }, false},
      {"e_lfanew past the end", [](TPEBytes& p) { p.SetLfanew(0x7FFFFFF0); }, false},
      {"e_lfanew negative", [](TPEBytes& p) { p.SetLfanew(0xFFFFFF80); }, false},
      {"declared DOS size past the file", [](TPEBytes& p) { p.SetDosPages(100, 0); }, true},
      {"declared DOS size below e_lfarlc", [](TPEBytes& p) { p.SetDosPages(0, 0).SetDosRelocationOffset(0x40); },
       true},
      {"e_cp 0 with e_cblp", [](TPEBytes& p) { p.SetDosPages(0, 0x80).SetDosRelocationOffset(0); }, true},
      {"no PE signature", [](TPEBytes& p) { p.SetNtSignature(0x00004551); }, false},
      {"all 32 bits of the signature count", [](TPEBytes& p) { p.SetNtSignature(0x01014550); }, false},
      {"a ROM optional header", [](TPEBytes& p) { p.SetOptionalMagic(0x107); }, false},
      {"a huge section count", [](TPEBytes& p) { p.SetNumberOfSections(0xFFFF); }, true},
      {"NT headers beyond the first 64 KiB",
       [](TPEBytes& p) {
         // Move the NT headers and section table to 0x20000 in a larger file.
         std::vector<std::uint8_t> nt(p.Bytes().begin() + p.NtHeadersOffset(), p.Bytes().begin() + 0x200);
         p.Bytes().resize(0x30000, 0);
         std::copy(nt.begin(), nt.end(), p.Bytes().begin() + 0x20000);
         p.SetLfanew(0x20000);
       },
       true},
  };
  TTempDir temp;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TPEBytes pe = SmallPE();
    c.Make(pe);
    std::string path = temp.WriteFile("sample.exe", pe.Bytes());
    EXPECT_EQ(FileUtils::IsPEFile(Host(), path), c.Expected);
  }
}

// A tiny image whose NT headers overlap the DOS header: e_lfanew 4 puts the
// signature right after "MZ\0\0", and the DOS header's e_lfanew field is the
// optional header's SectionAlignment. Windows runs such files.
TEST(FileUtilsIsPEFile, HeadersOverlappingTheDosHeader) {
  std::vector<std::uint8_t> tiny(160, 0);
  auto put16 = [&](std::size_t at, std::uint16_t v) { tiny[at] = v & 0xFF, tiny[at + 1] = v >> 8; };
  auto put32 = [&](std::size_t at, std::uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  put16(0, 0x5A4D);
  put32(4, 0x00004550);
  put16(8, 0x014C);               // Machine
  put16(8 + 16, 0x0070);          // SizeOfOptionalHeader
  put16(8 + 18, 0x0103);          // executable, 32-bit
  put16(28, 0x010B);              // optional header magic
  put32(60, 4);                   // e_lfanew, which is also SectionAlignment
  TTempDir temp;
  EXPECT_TRUE(FileUtils::IsPEFile(Host(), temp.WriteFile("tiny.exe", tiny)));
  tiny.resize(30);
  EXPECT_FALSE(FileUtils::IsPEFile(Host(), temp.WriteFile("cut.exe", tiny)));
}

// Every Windows program Wine ships is one Windows would load; each must be
// taken as a PE image (some lack the DOS stub's page counts that an older test
// demanded).
TEST(FileUtilsIsPEFile, EveryProgramWineShipsIsAPEImage) {
  const std::string folder = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "wine64 is not installed";
  std::size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".dll" && ext != ".exe" && ext != ".sys" && ext != ".drv")) continue;
    ++seen;
    EXPECT_TRUE(FileUtils::IsPEFile(Host(), entry.path().string())) << entry.path();
  }
  EXPECT_GT(seen, 0u);
}

TEST(FileUtilsIsPEFile, WhatCannotBeReadIsNotAPEFile) {
  TTempDir temp;
  std::filesystem::create_directory(temp.Path() / "folder.exe");
  std::string text(4096, 'x');
  EXPECT_FALSE(FileUtils::IsPEFile(Host(), temp / "missing.exe"));
  EXPECT_FALSE(FileUtils::IsPEFile(Host(), temp / "folder.exe"));
  EXPECT_FALSE(FileUtils::IsPEFile(Host(), temp.WriteFile("text.exe", text)));
  EXPECT_FALSE(FileUtils::IsPEFile(Host(), temp.WriteFile("mz.exe", "MZ" + text)));
  EXPECT_FALSE(FileUtils::IsPEFile(Host(), ""));
}

TEST(FileUtilsIsPEFile, ReadsThroughTheTarget) {
  TTempDir temp;
  TTestTarget target(temp.Path().string());
  std::filesystem::create_directories(temp.Path() / "C" / "Tools");
  test::WriteBytes(target.HostPath("C:\\Tools\\app.exe"), SmallPE().Bytes());
  EXPECT_TRUE(FileUtils::IsPEFile(target, "C:\\Tools\\app.exe"));
  EXPECT_TRUE(FileUtils::IsPEFile(target, "\\\\?\\C:\\Tools\\app.exe"));
  EXPECT_FALSE(FileUtils::IsPEFile(target, "C:\\Tools\\other.exe"));
}

// --- names and prefixes -------------------------------------------------------------

TEST(FileUtilsNames, FileNameTypeAndRemove32KPrefix) {
  const struct {
    const char* Name;
    TFileNameType Type;
    const char* WithoutPrefix;
  } cases[] = {
      {"\\\\?\\C:\\a.exe", TFileNameType::fnt32KFileName, "C:\\a.exe"},
      {"\\\\?\\UNC\\srv\\share\\a", TFileNameType::fnt32KFileName, "UNC\\srv\\share\\a"},
      {"\\\\srv\\share\\a", TFileNameType::fntNetwork, "\\\\srv\\share\\a"},
      {"\\\\.\\PhysicalDrive0", TFileNameType::fntNetwork, "\\\\.\\PhysicalDrive0"},
      {"//?/C:/a", TFileNameType::fntCustom, "//?/C:/a"},
      {"\\??\\C:\\a", TFileNameType::fntCustom, "\\??\\C:\\a"},
      {"C:\\a", TFileNameType::fntCustom, "C:\\a"},
      {"\\", TFileNameType::fntCustom, "\\"},
      {"", TFileNameType::fntCustom, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(FileUtils::FileNameType(c.Name), c.Type);
    EXPECT_EQ(FileUtils::Remove32KPrefix(c.Name), c.WithoutPrefix);
  }
  TTestTarget windows;
  EXPECT_EQ(FileUtils::Add32KPrefix(windows, "C:\\a.exe"), "\\\\?\\C:\\a.exe");
  EXPECT_EQ(FileUtils::Add32KPrefix(Host(), "/tmp/a.exe"), "/tmp/a.exe");
}

TTestTarget WindowsTarget() {
  TTestTarget t;
  t.SetWindowsDirectory("C:\\Windows");
  t.SetEnvironmentVariable("ProgramFiles", "C:\\Program Files");
  t.SetEnvironmentVariable("ALLUSERSPROFILE", "C:\\ProgramData");
  t.SetEnvironmentVariable("ProgramData", "C:\\ProgramData");
  t.SetEnvironmentVariable("USERPROFILE", "C:\\Users\\bob");
  t.SetEnvironmentVariable("APPDATA", "C:\\Users\\bob\\AppData\\Roaming");
  t.SetEnvironmentVariable("LOCALAPPDATA", "C:\\Users\\bob\\AppData\\Local");
  t.SetEnvironmentVariable("TEMP", "C:\\Users\\bob\\AppData\\Local\\Temp\\");
  return t;
}

TEST(FileUtilsNames, PrepareFileName) {
  const struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"  C:\\Windows\\notepad.exe \t", "C:\\Windows\\notepad.exe"},
      {"\\??\\C:\\Windows\\System32\\drivers\\x.sys", "C:\\Windows\\System32\\drivers\\x.sys"},
      {"system32\\drivers\\x.sys", "C:\\Windows\\System32\\drivers\\x.sys"},
      {"\\SystemRoot\\System32\\x.sys", "C:\\Windows\\System32\\x.sys"},
      {"\\systemroot\\x.sys", "C:\\Windows\\x.sys"},
      {"SysWOW64\\x.dll", "C:\\Windows\\SysWOW64\\x.dll"},
      // Rows apply in order: "System32\" is tested before "\??\" is removed.
      {"\\??\\System32\\x.sys", "System32\\x.sys"},
      {"\\??\\SysWOW64\\x.dll", "C:\\Windows\\SysWOW64\\x.dll"},
      {"%ProgramFiles%\\App\\a.exe", "C:\\Program Files\\App\\a.exe"},
      {"%programfiles%\\App\\a.exe", "C:\\Program Files\\App\\a.exe"},
      {"%windir%\\x.exe", "C:\\Windows\\x.exe"},
      {"%SystemDrive%\\x.exe", "C:\\x.exe"},
      {"%NOSUCHVAR%\\a.exe", "%NOSUCHVAR%\\a.exe"},
      {"%NOSUCHVAR%SystemRoot%\\a", "%NOSUCHVARC:\\Windows\\a"},
      {"50% done", "50% done"},
      {"\\\\?\\C:\\a.exe", "\\\\?\\C:\\a.exe"},
      {"\\\\server\\share\\a.exe", "\\\\server\\share\\a.exe"},
      {"", ""},
  };
  TTestTarget target = WindowsTarget();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.In);
    EXPECT_EQ(FileUtils::PrepareFileName(target, c.In), c.Out);
  }
  EXPECT_EQ(FileUtils::PrepareFileName(Host(), "/usr/bin/env"), "/usr/bin/env");
}

// On Linux "%", "\" and leading blanks are ordinary characters of a name:
// every one of these is a legal path of its own and must reach the rules and
// the process table as it is, with $HOME set or not.
TEST(FileUtilsNames, LinuxPathsAreNeverRewritten) {
  test::TEnvironmentGuard home("HOME", "/home/someone");
  test::TEnvironmentGuard root("SystemRoot", "/should/not/appear");
  const char* paths[] = {
      "/srv/50%HOME%off/x.exe",   "%HOME%/x.exe",           "System32\\drivers\\x.sys",
      "\\SystemRoot\\x.sys",  "\\??\\C:\\x.exe",  "SysWOW64\\y.dll",
      "  /leading/blanks.exe",    "/trailing/blank.exe ",   "/srv/System32\\/x.exe",
  };
  auto target = std::make_shared<TTestTarget>(std::string(), runtime::TPathSyntax::psPosix);
  target->SetEnvironmentVariable("HOME", "/home/someone").SetEnvironmentVariable("SystemRoot", "/x");
  for (const char* p : paths) {
    SCOPED_TRACE(p);
    EXPECT_EQ(FileUtils::PrepareFileName(Host(), p), p);
    EXPECT_EQ(FileUtils::CheckDosFileName(Host(), p), p);
    EXPECT_EQ(FileUtils::PrepareFileName(*target, p), p);
    EXPECT_EQ(FileUtils::CheckDosFileName(*target, p), p);
  }
}

TEST(FileUtilsNames, UnExpandEnvStrings) {
  const struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"C:\\Windows\\System32\\x.dll", "%SystemRoot%\\System32\\x.dll"},
      {"c:\\windows\\x.dll", "%SystemRoot%\\x.dll"},
      {"C:\\Windows", "%SystemRoot%"},
      {"C:\\Users\\bob\\AppData\\Roaming\\x.exe", "%APPDATA%\\x.exe"},
      {"C:\\Users\\bob\\AppData\\Local\\x.exe", "%LOCALAPPDATA%\\x.exe"},
      {"C:\\Users\\bob\\AppData\\Local\\Temp\\a.exe", "%TEMP%\\a.exe"},
      {"C:\\Users\\bob\\Documents\\x.exe", "%USERPROFILE%\\Documents\\x.exe"},
      {"C:\\ProgramData\\x.exe", "%ALLUSERSPROFILE%\\x.exe"},
      {"C:\\Program Files\\App\\a.exe", "%ProgramFiles%\\App\\a.exe"},
      // Values match whole folder names only.
      {"C:\\Users\\bobby\\x.exe", "%SystemDrive%\\Users\\bobby\\x.exe"},
      {"C:\\WindowsApps\\x.exe", "%SystemDrive%\\WindowsApps\\x.exe"},
      {"D:\\x.exe", "D:\\x.exe"},
      {"x.exe", "x.exe"},
      {"", ""},
  };
  TTestTarget target = WindowsTarget();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.In);
    EXPECT_EQ(FileUtils::UnExpandEnvStrings(target, c.In), c.Out);
  }
  // A result that would not fit in 260 characters leaves the path as it is.
  std::string longPath = "C:\\Users\\bob\\" + std::string(250, 'a');
  EXPECT_EQ(FileUtils::UnExpandEnvStrings(target, longPath), longPath);
  std::string fits = "C:\\Users\\bob\\" + std::string(230, 'a');
  EXPECT_EQ(FileUtils::UnExpandEnvStrings(target, fits), "%USERPROFILE%\\" + std::string(230, 'a'));
  // A POSIX target has no such forms.
  EXPECT_EQ(FileUtils::UnExpandEnvStrings(Host(), "/usr/bin/env"), "/usr/bin/env");
}

TEST(FileUtilsNames, GetSpecialFolderAsksTheTarget) {
  TTestTarget target;
  target.SetSpecialFolder(runtime::csidl::kAppData, "C:\\Users\\bob\\AppData\\Roaming");
  EXPECT_EQ(FileUtils::GetSpecialFolder(target, runtime::csidl::kAppData), "C:\\Users\\bob\\AppData\\Roaming");
  EXPECT_EQ(FileUtils::GetSpecialFolder(target, runtime::csidl::kInternetCache), "");
}

// --- CheckDosFileName -----------------------------------------------------------------

TEST(FileUtilsDosNames, DevicePathsBecomeDrivePaths) {
  TTestTarget target = WindowsTarget();
  target.SetTickCount64(5000000);
  target.SetDosDevices({{"\\Device\\HarddiskVolume2\\", "C:\\"}, {"\\Device\\HarddiskVolume3", "D:\\"}});
  const struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"\\Device\\HarddiskVolume2\\Windows\\explorer.exe", "C:\\Windows\\explorer.exe"},
      {"\\device\\harddiskvolume3\\Games\\a.exe", "D:\\Games\\a.exe"},
      // Device names end with a backslash, so volume 22 is not volume 2.
      {"\\Device\\HarddiskVolume22\\a.exe", "\\Device\\HarddiskVolume22\\a.exe"},
      // A volume without a drive letter stays as it is.
      {"\\Device\\HarddiskVolume9\\a.exe", "\\Device\\HarddiskVolume9\\a.exe"},
      {"\\??\\C:\\Windows\\a.exe", "C:\\Windows\\a.exe"},
      {"System32\\svchost.exe", "C:\\Windows\\System32\\svchost.exe"},
      {"C:\\Windows\\a.exe", "C:\\Windows\\a.exe"},
      {"C:\\%TEMP%\\a.exe", "C:\\%TEMP%\\a.exe"},  // a drive path is not prepared
      {"x", "x"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.In);
    EXPECT_EQ(FileUtils::CheckDosFileName(target, c.In), c.Out);
  }
  EXPECT_EQ(target.DosDevicesCalls(), 1) << "one rebuild serves every lookup";
}

TEST(FileUtilsDosNames, DeviceMapIsRebuiltAtMostEveryTenMinutes) {
  TTestTarget target;
  target.SetTickCount64(0);
  target.SetDosDevices({{"\\Device\\HarddiskVolume2\\", "C:\\"}});
  const std::string onE = "\\Device\\HarddiskVolume5\\a.exe";

  EXPECT_EQ(FileUtils::CheckDosFileName(target, onE), onE) << "the first call builds the map, even at tick 0";
  EXPECT_EQ(target.DosDevicesCalls(), 1);

  target.SetDosDevices({{"\\Device\\HarddiskVolume2\\", "C:\\"}, {"\\Device\\HarddiskVolume5\\", "E:\\"}});
  target.AdvanceTicks(600000);
  EXPECT_EQ(FileUtils::CheckDosFileName(target, onE), onE) << "600000 ms: the new drive is not seen yet";
  EXPECT_EQ(target.DosDevicesCalls(), 1);

  target.AdvanceTicks(1);
  EXPECT_EQ(FileUtils::CheckDosFileName(target, onE), "E:\\a.exe") << "600001 ms: rebuilt";
  EXPECT_EQ(target.DosDevicesCalls(), 2);

  // A map the caller keeps is independent of the one kept for the target.
  FileUtils::TDosDeviceMap own;
  target.SetDosDevices({});
  EXPECT_EQ(FileUtils::CheckDosFileName(target, onE, own), onE);
  EXPECT_EQ(FileUtils::CheckDosFileName(target, onE), "E:\\a.exe");
}

TEST(FileUtilsDosNames, EachTargetHasItsOwnMap) {
  TTestTarget first, second;
  first.SetDosDevices({{"\\Device\\HarddiskVolume1\\", "C:\\"}});
  second.SetDosDevices({{"\\Device\\HarddiskVolume1\\", "F:\\"}});
  EXPECT_EQ(FileUtils::CheckDosFileName(first, "\\Device\\HarddiskVolume1\\a"), "C:\\a");
  EXPECT_EQ(FileUtils::CheckDosFileName(second, "\\Device\\HarddiskVolume1\\a"), "F:\\a");
}

TEST(FileUtilsDosNames, LiveHostHasNoDevices) {
  EXPECT_EQ(FileUtils::CheckDosFileName(Host(), "/usr/bin/env"), "/usr/bin/env");
}

// --- TSysUtils and TNetworkUtils -----------------------------------------------------------

TEST(SysUtils, IsGUID) {
  const struct {
    const char* Text;
    bool Expected;
  } cases[] = {
      {"6B29FC40-CA47-1067-B31D-00DD010662DA", true},
      {"6b29fc40-ca47-1067-b31d-00dd010662da", true},
      {"  {6B29FC40-CA47-1067-B31D-00DD010662DA}  ", true},
      {"{6B29FC40-CA47-1067-B31D-00DD010662DA", true},
      {"6B29FC40-CA47-1067-B31D-00DD010662DA}", true},
      {"\t\r\n6B29FC40-CA47-1067-B31D-00DD010662DA\n", true},
      {"6B29FC40-CA47-1067-B31D-00DD010662D", false},    // 35 characters
      {"{6B29FC40-CA47-1067-B31D-00DD010662D}", false},  // 35 inside braces
      {"6B29FC40-CA47-1067-B31D-00DD010662DAA", false},
      {"{{6B29FC40-CA47-1067-B31D-00DD010662DA}", false},
      {"6B29FC40-CA47-1067-B31D-00DD010662DA}}", false},
      {"6B29FC40CA47-1067-B31D-00DD010662DA-", false},
      {"6B29FC4G-CA47-1067-B31D-00DD010662DA", false},
      {"6B29FC40-CA47-1067-B31D-00DD010662DA x", false},
      {"x6B29FC40-CA47-1067-B31D-00DD010662DA", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(TSysUtils::IsGUID(c.Text), c.Expected);
  }
}

TEST(SysUtils, TickCountComesFromTheTarget) {
  TTestTarget target;
  target.SetTickCount64(0x123456789ull);
  EXPECT_EQ(TSysUtils::GetTickCount64(target), 0x123456789ull);
  std::uint64_t a = TSysUtils::GetTickCount64(Host()), b = TSysUtils::GetTickCount64(Host());
  EXPECT_LE(a, b);
}

TEST(NetworkUtils, PortValueToOriginalPort) {
  const struct {
    std::uint32_t Value;
    std::uint16_t Port;
  } cases[] = {
      {0x5000, 80}, {0xBB01, 443}, {0x0100, 1}, {0xFFFF, 0xFFFF}, {0x12345000, 80}, {0x000000AB, 0xAB00}, {0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(TNetworkUtils::NetworkPortValueToOriginalPort(c.Value), c.Port) << c.Value;
}

}  // namespace
}  // namespace quillmark
