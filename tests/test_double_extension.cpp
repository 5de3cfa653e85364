// Double-extension rule and the shared-mime-info source of extension icons.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/malware_heuristic.h"
#include "rules/double_extension.h"
#include "rules/suspicious_path.h"
#include "runtime/posix/mime_icons.h"
#include "support/engine_fixture.h"
#include "support/scripted_rule.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;
using runtime::posix::TMimeIconIndex;
using R = TMalwareRuleType;
namespace fs = std::filesystem;

namespace {

// Two data folders: the first (higher priority) in the globs2 format, the
// second in the older globs format.
struct TMimeFixture {
  TTempDir dir;
  TMimeFixture() {
    dir.WriteFile("high/mime/globs2",
                  "# comment\n"
                  "50:application/pdf:*.pdf\n"
                  "50:image/png:*.png\n"
                  "50:text/x-csrc:*.c:cs\n"
                  "50:text/x-c++src:*.C:cs\n"
                  "50:application/octet-stream:*.bin\n"
                  "55:application/x-compressed-tar:*.tar.gz\n"
                  "50:text/x-matlab:*.m\n"
                  "60:text/x-objcsrc:*.m\n"
                  "0:image/gif:__NOGLOBS__\n"
                  "50:text/broken\n");
    dir.WriteFile("low/mime/globs",
                  "image/jpeg:*.jpg\n"
                  "image/gif:*.gif\n"
                  "text/other-pdf:*.pdf\n");
  }
  std::vector<std::string> Folders() const { return {dir / "high", dir / "missing", dir / "low"}; }
};

// A Linux-syntax target on the real file system whose extension icons come
// from a given database (none: the lookup fails).
class TIconTarget : public TTestTarget {
 public:
  explicit TIconTarget(const TMimeIconIndex* icons) : TTestTarget({}, runtime::TPathSyntax::psPosix), Icons(icons) {}
  int ExtensionIconIndex(const std::string& ext) override { return Icons ? Icons->IconIndex(ext) : -1; }
  const TMimeIconIndex* Icons;
};

}  // namespace

TEST(MimeIcons, ExtensionsWithATypeOfTheirOwnHaveAnIconGenericOnesZeroAndNoDatabaseMinusOne) {
  TMimeFixture fx;
  TMimeIconIndex icons(fx.Folders());
  ASSERT_TRUE(icons.Loaded());
  const int pdf = icons.IconIndex(".pdf");
  EXPECT_GE(pdf, 1);
  EXPECT_EQ(icons.IconIndex(".PDF"), pdf);  // globs match without regard to case
  EXPECT_EQ(icons.MimeType(".pdf"), "application/pdf");  // the higher-priority folder wins
  EXPECT_GE(icons.IconIndex(".png"), 1);
  EXPECT_NE(icons.IconIndex(".png"), pdf);
  // Case-sensitive globs keep ".c" and ".C" apart.
  EXPECT_EQ(icons.MimeType(".c"), "text/x-csrc");
  EXPECT_EQ(icons.MimeType(".C"), "text/x-c++src");
  EXPECT_NE(icons.IconIndex(".c"), icons.IconIndex(".C"));
  EXPECT_EQ(icons.MimeType(".m"), "text/x-objcsrc");  // the heavier glob wins
  EXPECT_GE(icons.IconIndex(".jpg"), 1);             // from the older format
  EXPECT_EQ(icons.IconIndex(".gif"), 0);             // cleared by the higher folder
  EXPECT_EQ(icons.IconIndex(".bin"), 0);             // the generic binary type
  EXPECT_EQ(icons.IconIndex(".gz"), 0);              // only "*.tar.gz" is known
  EXPECT_EQ(icons.IconIndex(".zzz"), 0);
  EXPECT_EQ(icons.IconIndex("."), 0);
  EXPECT_EQ(icons.IconIndex(""), 0);
  EXPECT_EQ(icons.IconIndex("pdf"), 0);  // not an extension

  TMimeIconIndex none({fx.dir / "missing"});
  EXPECT_FALSE(none.Loaded());
  EXPECT_EQ(none.IconIndex(".pdf"), -1);
  EXPECT_EQ(none.IconIndex(".zzz"), -1);
}

TEST(MimeIcons, LiveHostAnswersFromTheInstalledDatabase) {
  if (!TMimeIconIndex::Host().Loaded()) {
    EXPECT_EQ(runtime::LiveHost()->ExtensionIconIndex(".pdf"), -1);
    GTEST_SKIP() << "no shared-mime-info database installed";
  }
  EXPECT_GE(runtime::LiveHost()->ExtensionIconIndex(".pdf"), 1);
  EXPECT_EQ(runtime::LiveHost()->ExtensionIconIndex(".no-such-extension-here"), 0);
}

TEST(DoubleExtension, DecoyExtensionsScoreByTheirIconAndLength) {
  TMimeFixture fx;
  TMimeIconIndex icons(fx.Folders());
  const int pdf = icons.IconIndex(".pdf");
  TTempDir files;
  auto e = EngineWith({R::mhRuleDoubleExtension}, std::make_shared<TIconTarget>(&icons));
  struct Case {
    std::string name;
    Extended percent;
    std::string secondExt;
    int index;
    std::string without;
  };
  const Case cases[] = {
      {"report.pdf.exe", 60, ".pdf", pdf, "report.exe"},
      {"Report.PDF.exe", 60, ".pdf", pdf, "Report.exe"},
      {".pdf.exe", 60, ".pdf", pdf, ".exe"},
      {"setup.exe", 0, "", -1, ""},
      {"noext", 0, "", -1, ""},
      {"a.B12x.exe", 40, ".b12x", -1, "a.exe"},
      {"a.longext.exe", 0, "", -1, ""},
      {"my.a b.exe", 0, "", -1, ""},
      {"name..exe", 40, ".", -1, "name.exe"},
      {"x.bin.exe", 40, ".bin", -1, "x.exe"},  // the generic type has no icon of its own
      // Lengths count characters, not bytes.
      {"x.ab\xE2\x82\xAC.exe", 40, ".ab\xE2\x82\xAC", -1, "x.exe"},
      {"x.abcd\xE2\x82\xAC.exe", 0, "", -1, ""},
      {"x.\xFF\xFE\xFD.exe", 40, ".\xFF\xFE\xFD", -1, "x.exe"},
      // Only the name counts: a dotted folder is no decoy.
      {"dir.pdf/x.exe", 0, "", -1, ""},
  };
  for (const Case& c : cases) {
    const std::string file = files / c.name;
    PutPE(file);
    ASSERT_TRUE(e->AnalyzeFile(file)) << c.name;
    auto stored = e->GetResult()->GetRules().at(R::mhRuleDoubleExtension);
    auto r = stored.As<IMalwareRuleResultDoubleExtension>();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->GetPercentageMatch(), c.percent) << c.name;
    EXPECT_EQ(r->GetSecondExt(), c.secondExt) << c.name;
    EXPECT_EQ(r->GetSecondExtImageIndex(), c.index) << c.name;
    EXPECT_EQ(r->GetNameWithoutSecondExt(), c.without) << c.name;
    const auto& threats = static_cast<TMalwareRuleResult*>(stored.As<ILinkObjectInterface>()->GetObject())->Threats();
    if (c.percent > 0) {
      ASSERT_EQ(threats.size(), 1u) << c.name;
      EXPECT_EQ(threats[0]->Name(), "ThreatFileName.Dangerous.Base");
      EXPECT_EQ(threats[0]->DangerPercent(), 40);
    } else {
      EXPECT_TRUE(threats.empty()) << c.name;
    }
  }
}

TEST(DoubleExtension, WithoutAnIconDatabaseShortDecoysScoreForty) {
  TTempDir files;
  auto e = EngineWith({R::mhRuleDoubleExtension}, std::make_shared<TIconTarget>(nullptr));
  const std::string file = files / "report.pdf.exe";
  PutPE(file);
  ASSERT_TRUE(e->AnalyzeFile(file));
  auto r = e->GetResult()->GetRules().at(R::mhRuleDoubleExtension).As<IMalwareRuleResultDoubleExtension>();
  EXPECT_EQ(r->GetPercentageMatch(), 40);
  EXPECT_EQ(r->GetSecondExt(), ".pdf");
  EXPECT_EQ(r->GetSecondExtImageIndex(), -1);

  // The next analysis starts from a reset result.
  const std::string plain = files / "plain.exe";
  PutPE(plain);
  ASSERT_TRUE(e->AnalyzeFile(plain));
  EXPECT_EQ(r->GetPercentageMatch(), 0);
  EXPECT_EQ(r->GetSecondExt(), "");
  EXPECT_EQ(r->GetNameWithoutSecondExt(), "");
}

TEST(DoubleExtension, PostPassConditions) {
  // The suspicious-path rule is the real one, so that its folder type is read
  // through its result interface; the others are scripted.
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoMainWindow, R::mhRuleNoIcon,
                         R::mhRuleOpenNetworkPorts, R::mhRuleFakeExtension, R::mhRuleHarmonyName,
                         R::mhRuleSuspiciousRegistry});
  TMalwareHeuristic::RegisterRule(R::mhRuleSuspiciousPath, &RuleClassOf<TMalwareRuleSuspiciousPath>);
  TMalwareHeuristic::RegisterRule(R::mhRuleDoubleExtension, &RuleClassOf<TMalwareRuleDoubleExtension>);

  TMimeFixture fx;
  TMimeIconIndex icons(fx.Folders());
  TTempDir root;
  class TWindowsIcons : public TTestTarget {
   public:
    TWindowsIcons(std::string root, const TMimeIconIndex& icons) : TTestTarget(std::move(root)), Icons(icons) {}
    int ExtensionIconIndex(const std::string& ext) override { return Icons.IconIndex(ext); }
    const TMimeIconIndex& Icons;
  };
  auto target = std::make_shared<TWindowsIcons>(root.Path().string(), icons);
  target->SetEnvironmentVariable("TEMP", "C:\\Temp").SetWindowsDirectory("C:\\Windows");

  const std::string tempIcon = "C:\\Temp\\report.pdf.exe", tempPlain = "C:\\Temp\\a.b12.exe";
  const std::string windowsIcon = "C:\\Windows\\report.pdf.exe", otherIcon = "C:\\Tools\\report.pdf.exe";
  for (const auto& f : {tempIcon, tempPlain, windowsIcon, otherIcon}) PutPE(target->HostPath(f));

  struct Case {
    const char* name;
    std::string file;
    std::vector<R> fired;
    bool raised;
  };
  const Case cases[] = {
      {"1: path, signed and no icon", tempPlain, {R::mhRuleSignedFile, R::mhRuleNoIcon}, true},
      {"1: path, signed and harmony", tempPlain, {R::mhRuleSignedFile, R::mhRuleHarmonyName}, true},
      {"1: Windows folder without entropy", windowsIcon, {R::mhRuleSignedFile, R::mhRuleNoIcon}, false},
      {"1: Windows folder with entropy", windowsIcon, {R::mhRuleSignedFile, R::mhRuleNoIcon, R::mhRuleEntropy}, true},
      {"1: nothing from the list", tempPlain, {R::mhRuleSignedFile, R::mhRuleEntropy}, false},
      {"1: not signed-file", tempPlain, {R::mhRuleNoIcon, R::mhRuleNoMainWindow}, false},
      {"2: registry, signed and path", tempPlain, {R::mhRuleSuspiciousRegistry, R::mhRuleSignedFile}, true},
      {"3: icon, fake extension and path", tempIcon, {R::mhRuleFakeExtension}, true},
      {"3: no icon of its own", tempPlain, {R::mhRuleFakeExtension}, false},
      {"no suspicious folder", otherIcon, {R::mhRuleFakeExtension, R::mhRuleSignedFile, R::mhRuleNoIcon}, false},
  };
  for (const Case& c : cases) {
    for (R t : {R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoMainWindow, R::mhRuleNoIcon,
                R::mhRuleOpenNetworkPorts, R::mhRuleFakeExtension, R::mhRuleHarmonyName, R::mhRuleSuspiciousRegistry})
      Scripts()[t].Percent = std::find(c.fired.begin(), c.fired.end(), t) != c.fired.end() ? 1 : 0;
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic(target));
    ASSERT_TRUE(e->AnalyzeFile(c.file)) << c.name;
    if (c.raised) EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 100) << c.name;
    else EXPECT_LT(e->GetResult()->GetPercentageMatch(), 90) << c.name;
  }
}

TEST(DoubleExtension, ResultDetailsCarryTheDecoy) {
  TMimeFixture fx;
  TMimeIconIndex icons(fx.Folders());
  TTempDir files;
  auto e = EngineWith({R::mhRuleDoubleExtension}, std::make_shared<TIconTarget>(&icons));
  const std::string file = files / "invoice.pdf.exe";
  PutPE(file);
  ASSERT_TRUE(e->AnalyzeFile(file));
  auto* object = static_cast<TMalwareRuleResult*>(
      e->GetResult()->GetRules().at(R::mhRuleDoubleExtension).As<ILinkObjectInterface>()->GetObject());
  TRuleResultDetails d;
  object->GetDetails(d);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0].Name, "secondExt");
  EXPECT_EQ(std::get<std::string>(d[0].Value), ".pdf");
  EXPECT_EQ(d[1].Name, "secondExtImageIndex");
  EXPECT_EQ(std::get<std::int64_t>(d[1].Value), icons.IconIndex(".pdf"));
  EXPECT_EQ(d[2].Name, "nameWithoutSecondExt");
  EXPECT_EQ(std::get<std::string>(d[2].Value), "invoice.exe");
}
