// The version-resource reader and the two file identity rules (no company
// information, no icon), on fixtures in real temporary folders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/malware_heuristic.h"
#include "quillmark/rule_results.h"
#include "rules/no_company_info.h"
#include "rules/no_icon.h"
#include "support/engine_fixture.h"
#include "support/file_version_info.h"
#include "support/pe_image.h"
#include "support/resource_writer.h"
#include "support/scripted_rule.h"
#include "support/temp_dir.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;

namespace {

using TBytes = std::vector<std::uint8_t>;
using TValues = std::vector<std::pair<std::string, std::string>>;

TBytes VersionWith(std::string tableKey, TValues values) {
  return TVersionInfoBuilder().AddStringTable(std::move(tableKey), std::move(values)).AddTranslation(0x0409, 1200).Build();
}

TBytes EnglishVersion(std::string company) {
  return VersionWith("040904B0", {{"CompanyName", std::move(company)}, {"FileDescription", "Test program"},
                                  {"ProductName", "Test"}});
}

// An image whose only resources are the given version block (in English) and,
// when asked, an icon.
TPEBytes ImageWithVersion(TBytes version, bool icon = false, std::uint16_t language = 0x0409) {
  TResourceBuilder r;
  r.Add(rtVersion, kVersionInfoId, language, std::move(version));
  if (icon) AddIcon(r, 1, 1, 0x0409);
  return BuildPEWithResources(r);
}

TPEBytes ImageWithoutResources() { return TPEBuilder().AddSection(".text", Bytes("\x31\xC0\xC3")).Build(); }

TPEBytes ImageWithManifestOnly() {
  TResourceBuilder r;
  r.Add(rtManifest, 1, 0x0409, Manifest());
  return BuildPEWithResources(r);
}

std::string TableKey(const TFileVersionInfo& info, std::string_view key) {
  const TVersionStringTable* t = info.TableOf(key);
  return t ? t->Key : "<none>";
}

std::string ThreatNames(const TMalwareRuleResult& r) {
  std::string s;
  for (const auto& t : r.Threats()) {
    if (!s.empty()) s += ';';
    s += t->Name();
    s += '=';
    s += std::to_string(static_cast<int>(t->DangerPercent()));
  }
  return s;
}

ComPtr<IMalwareRuleResult> StoredResult(TMalwareHeuristic& e, R type) {
  const auto& rules = e.GetResult()->GetRules();
  auto it = rules.find(type);
  return it == rules.end() ? ComPtr<IMalwareRuleResult>() : it->second;
}

}  // namespace

// --- the version-resource reader -------------------------------------------------------

TEST(FileVersionInfo, ReadsStringTablesInAnyLanguage) {
  struct Case {
    const char* name;
    TVersionInfoBuilder version;
    std::string query;
    bool exists;
    std::string value;
    std::string table;
  };
  const Case cases[] = {
      {"english table", TVersionInfoBuilder().AddStringTable("040904B0", {{"CompanyName", "Acme Corp."}}),
       "CompanyName", true, "Acme Corp.", "040904B0"},
      {"russian table, code page 1251",
       TVersionInfoBuilder().AddStringTable("041904E3", {{"FileDescription", "Программа"}, {"CompanyName", "ООО Ромашка"}}),
       "CompanyName", true, "ООО Ромашка", "041904E3"},
      {"japanese table", TVersionInfoBuilder().AddStringTable("041104B0", {{"CompanyName", "株式会社テスト"}}),
       "CompanyName", true, "株式会社テスト", "041104B0"},
      {"key compared without regard to case",
       TVersionInfoBuilder().AddStringTable("040904B0", {{"COMPANYNAME", "Upper Inc."}}), "companyName", true,
       "Upper Inc.", "040904B0"},
      {"english preferred over an earlier german table",
       TVersionInfoBuilder()
           .AddStringTable("040704B0", {{"CompanyName", "Beispiel GmbH"}})
           .AddStringTable("040904B0", {{"CompanyName", "Example Ltd"}}),
       "CompanyName", true, "Example Ltd", "040904B0"},
      {"british english counts as english",
       TVersionInfoBuilder()
           .AddStringTable("040C04B0", {{"CompanyName", "Exemple SA"}})
           .AddStringTable("080904B0", {{"CompanyName", "Example plc"}}),
       "CompanyName", true, "Example plc", "080904B0"},
      {"neutral table first among preferred ones",
       TVersionInfoBuilder()
           .AddStringTable("000004B0", {{"CompanyName", "Neutral"}})
           .AddStringTable("040904B0", {{"CompanyName", "English"}}),
       "CompanyName", true, "Neutral", "000004B0"},
      {"the german table when only it has the key",
       TVersionInfoBuilder()
           .AddStringTable("040704B0", {{"CompanyName", "Beispiel GmbH"}})
           .AddStringTable("040904B0", {{"ProductName", "Example"}}),
       "CompanyName", true, "Beispiel GmbH", "040704B0"},
      {"first of two foreign tables",
       TVersionInfoBuilder()
           .AddStringTable("041004B0", {{"CompanyName", "Esempio Srl"}})
           .AddStringTable("040704B0", {{"CompanyName", "Beispiel GmbH"}}),
       "CompanyName", true, "Esempio Srl", "041004B0"},
      {"table key that is not hex", TVersionInfoBuilder().AddStringTable("lang-cp!", {{"CompanyName", "Odd"}}),
       "CompanyName", true, "Odd", "lang-cp!"},
      {"empty value", TVersionInfoBuilder().AddStringTable("040904B0", {{"CompanyName", ""}, {"ProductName", "P"}}),
       "CompanyName", true, "", "040904B0"},
      {"key absent", TVersionInfoBuilder().AddStringTable("040904B0", {{"ProductName", "P"}}), "CompanyName", false,
       "", "<none>"},
      {"no string tables at all", TVersionInfoBuilder().AddTranslation(0x0409, 1200), "CompanyName", false, "",
       "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPEBytes pe = ImageWithVersion(c.version.Build());
    TPEImage image(pe.Bytes());
    TFileVersionInfo info(image);
    EXPECT_TRUE(info.GetIsAviable());
    EXPECT_EQ(info.IsValueExist(c.query), c.exists);
    EXPECT_EQ(info.GetValue(c.query), c.value);
    EXPECT_EQ(TableKey(info, c.query), c.table);
  }
}

TEST(FileVersionInfo, FixedPartTranslationsAndTableKeys) {
  auto data = TVersionInfoBuilder()
                  .SetFileVersion(10, 2, 3, 4)
                  .AddStringTable("041904E3", {{"CompanyName", "X"}})
                  .AddTranslation(0x0419, 1251)
                  .AddTranslation(0x0409, 1200)
                  .Build();
  TFileVersionInfo info = TFileVersionInfo::FromResourceData(data);
  ASSERT_TRUE(info.GetIsAviable());
  ASSERT_TRUE(info.FixedFileInfo());
  EXPECT_EQ(info.FixedFileInfo()->Signature, kFixedFileInfoSignature);
  EXPECT_EQ(info.FixedFileInfo()->FileVersionMS, 0x000A0002u);
  EXPECT_EQ(info.FixedFileInfo()->FileVersionLS, 0x00030004u);
  EXPECT_EQ(info.Translations(), (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{0x0419, 1251}, {0x0409, 1200}}));
  ASSERT_EQ(info.Tables().size(), 1u);
  EXPECT_TRUE(info.Tables()[0].KeyValid);
  EXPECT_EQ(info.Tables()[0].Language, 0x0419);
  EXPECT_EQ(info.Tables()[0].CodePage, 1251);

  TFileVersionInfo noFixed =
      TFileVersionInfo::FromResourceData(TVersionInfoBuilder().OmitFixedInfo().AddStringTable("040904B0", {{"CompanyName", "Y"}}).Build());
  EXPECT_FALSE(noFixed.FixedFileInfo());
  EXPECT_EQ(noFixed.GetValue("CompanyName"), "Y");
}

TEST(FileVersionInfo, WhatIsNotAVersionResource) {
  struct Case {
    const char* name;
    TBytes data;
  };
  const Case cases[] = {
      {"empty", {}},
      {"header only", {0x06, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {"another root key", TVersionInfoBuilder().SetRootKey("VS_VERSION_INFX").AddStringTable("040904B0", {{"CompanyName", "A"}}).Build()},
      {"wLength below the header", [] {
         TBytes d = EnglishVersion("A");
         d[0] = 5;
         d[1] = 0;
         return d;
       }()},
      {"key without a terminator", [] {
         TBytes d = Utf16LE("VS_VERSION_INFO");
         d.insert(d.begin(), {0, 0, 0, 0, 0, 0});
         d[0] = static_cast<std::uint8_t>(d.size());
         return d;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFileVersionInfo info = TFileVersionInfo::FromResourceData(c.data);
    EXPECT_FALSE(info.GetIsAviable());
    EXPECT_FALSE(info.IsValueExist("CompanyName"));
  }
}

// wLength and wValueLength are whatever the file says; values must come out
// right, or be lost, but never be read from outside their blocks.
TEST(FileVersionInfo, LengthFieldsAreNotTrusted) {
  const TBytes clean = EnglishVersion("Acme Corp.");
  auto at = [&](std::string_view key) {
    std::size_t p = FindVersionBlock(clean, key);
    EXPECT_NE(p, std::string_view::npos) << key;
    return p;
  };
  auto set16 = [](TBytes& d, std::size_t p, std::uint16_t v) {
    d[p] = static_cast<std::uint8_t>(v);
    d[p + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  struct Case {
    const char* name;
    std::function<void(TBytes&)> corrupt;
    std::string company;       // expected value
    std::string description;   // expected FileDescription
  };
  const Case cases[] = {
      {"string's wValueLength far too large", [&](TBytes& d) { set16(d, at("CompanyName") + 2, 0xFFFF); },
       "Acme Corp.", "Test program"},
      {"string's wValueLength too small", [&](TBytes& d) { set16(d, at("CompanyName") + 2, 2); }, "Acme Corp.",
       "Test program"},
      {"string's wValueLength in bytes", [&](TBytes& d) { set16(d, at("CompanyName") + 2, 22); }, "Acme Corp.",
       "Test program"},
      {"root wLength past the data", [&](TBytes& d) { set16(d, 0, 0xFFFF); }, "Acme Corp.", "Test program"},
      {"root wValueLength 0 before the fixed part", [&](TBytes& d) { set16(d, 2, 0); }, "Acme Corp.",
       "Test program"},
      {"root wValueLength past the data", [&](TBytes& d) { set16(d, 2, 0xFFFF); }, "Acme Corp.", "Test program"},
      {"StringFileInfo wLength past its parent", [&](TBytes& d) { set16(d, at("StringFileInfo"), 0xFFFF); },
       "Acme Corp.", "Test program"},
      {"string's wLength past its table: the table ends there",
       [&](TBytes& d) { set16(d, at("CompanyName"), 0xFFF0); }, "Acme Corp.", ""},
      {"string's wLength 0 ends the table", [&](TBytes& d) { set16(d, at("CompanyName"), 0); }, "", ""},
      {"string's wLength cuts its own key", [&](TBytes& d) { set16(d, at("CompanyName"), 10); }, "", ""},
      {"string's wLength cuts its value",
       [&](TBytes& d) { set16(d, at("CompanyName"), static_cast<std::uint16_t>(6 + 24 + 2 + 8)); }, "Acme", ""},
      {"table's wLength ends inside the second string",
       [&](TBytes& d) {
         const std::size_t table = at("040904B0");
         set16(d, table, static_cast<std::uint16_t>(at("FileDescription") - table + 6 + 32 + 2 + 8));
       },
       "Acme Corp.", "Test"},
      {"value without a terminator at the end of the data",
       [&](TBytes& d) {
         const std::size_t s = at("ProductName");
         d.resize(s + 6 + 24 + 2 + 8);  // "Test" without its NUL and nothing after
       },
       "Acme Corp.", "Test program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBytes data = clean;
    c.corrupt(data);
    TFileVersionInfo info = TFileVersionInfo::FromResourceData(data);
    EXPECT_TRUE(info.GetIsAviable());
    EXPECT_EQ(info.GetValue("CompanyName"), c.company);
    EXPECT_EQ(info.GetValue("FileDescription"), c.description);
  }
}

TEST(FileVersionInfo, EveryTruncationIsSafe) {
  const TBytes full = VersionWith("041904E3", {{"CompanyName", "ООО Ромашка"}, {"FileVersion", "1.2.3.4"}});
  const std::size_t companyEnd = FindVersionBlock(full, "FileVersion");
  const std::size_t rootHeader = 6 + 32;  // header and "VS_VERSION_INFO" with its terminator
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    TFileVersionInfo info = TFileVersionInfo::FromResourceData(std::span(full.data(), n));
    EXPECT_EQ(info.GetIsAviable(), n >= rootHeader);
    if (n >= companyEnd) {
      EXPECT_EQ(info.GetValue("CompanyName"), "ООО Ромашка");
    }
  }
  // The same cut inside a file: the resource's size claims more than the
  // section holds.
  for (std::size_t n : {std::size_t{20}, rootHeader, companyEnd, full.size() - 3}) {
    SCOPED_TRACE(n);
    TResourceBuilder r;
    r.Add(rtVersion, 1, 0x0419, TBytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
    TResourceLayout l;
    TPEBytes pe = BuildPEWithResources(r, TPEKind::pe32, &l);
    pe.SetU32(pe.SectionRawOffset(1) + l.DataEntries[0] + 4, static_cast<std::uint32_t>(full.size()));
    TPEImage image(pe.Bytes());
    TFileVersionInfo info(image);
    EXPECT_EQ(info.GetIsAviable(), n >= rootHeader);
    if (n >= companyEnd) {
      EXPECT_EQ(info.GetValue("CompanyName"), "ООО Ромашка");
    }
  }
}

TEST(FileVersionInfo, MisalignedResourceData) {
  for (std::uint32_t misalign : {1u, 2u, 3u}) {
    SCOPED_TRACE(misalign);
    TResourceBuilder r;
    r.SetDataMisalignment(misalign);
    r.Add(rtVersion, 1, 0x0409, EnglishVersion("Odd Offsets Inc."));
    TPEBytes pe = BuildPEWithResources(r);
    TPEImage image(pe.Bytes());
    TFileVersionInfo info(image);
    EXPECT_TRUE(info.GetIsAviable());
    EXPECT_EQ(info.GetValue("CompanyName"), "Odd Offsets Inc.");
  }
}

TEST(FileVersionInfo, ChoosesAmongSeveralVersionResources) {
  struct Case {
    const char* name;
    std::vector<std::tuple<std::uint16_t, std::uint16_t, std::string>> resources;  // name id, language, company
    std::string company;
    std::uint16_t language;
  };
  const Case cases[] = {
      {"english over german", {{1, 0x0407, "Deutsch"}, {1, 0x0409, "English"}}, "English", 0x0409},
      {"neutral over german", {{1, 0x0000, "Neutral"}, {1, 0x0407, "Deutsch"}}, "Neutral", 0x0000},
      {"the first when none is english", {{1, 0x0407, "Deutsch"}, {1, 0x040C, "Francais"}}, "Deutsch", 0x0407},
      {"VS_VERSION_INFO's name over another name", {{1, 0x0407, "One"}, {2, 0x0409, "Two"}}, "One", 0x0407},
      {"another name when VS_VERSION_INFO is missing", {{7, 0x0409, "Seven"}}, "Seven", 0x0409},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TResourceBuilder r;
    for (const auto& [id, lang, company] : c.resources) r.Add(rtVersion, id, lang, EnglishVersion(company));
    TPEBytes pe = BuildPEWithResources(r);
    TPEImage image(pe.Bytes());
    TFileVersionInfo info(image);
    EXPECT_EQ(info.GetValue("CompanyName"), c.company);
    EXPECT_EQ(info.ResourceLanguage(), c.language);
  }
}

TEST(FileVersionInfo, ReadsFilesThroughTheTarget) {
  TTempDir dir;
  auto host = runtime::LiveHost();
  const std::string withVersion = dir.WriteFile("app.exe", ImageWithVersion(EnglishVersion("Acme Corp.")).Bytes());
  const std::string text = dir.WriteFile("notes.txt", "not a program");
  const std::string bare = dir.WriteFile("bare.exe", ImageWithoutResources().Bytes());

  TFileVersionInfo info(*host, withVersion);
  EXPECT_TRUE(info.GetIsAviable());
  EXPECT_EQ(info.GetValue("CompanyName"), "Acme Corp.");
  EXPECT_EQ(info.GetValue("FileDescription"), "Test program");
  for (const std::string& f : {text, bare, dir / "missing.exe", dir.Path().string()}) {
    SCOPED_TRACE(f);
    TFileVersionInfo none(*host, f);
    EXPECT_FALSE(none.GetIsAviable());
    EXPECT_FALSE(none.IsValueExist("CompanyName"));
  }
}

// --- the no-company-info rule -------------------------------------------------------

namespace {

// The rule with a black list that holds one company name, and a record of
// the names it was asked about.
class TListingNoCompanyInfo : public TMalwareRuleNoCompanyInfo {
 public:
  using TMalwareRuleNoCompanyInfo::TMalwareRuleNoCompanyInfo;
  static inline std::vector<std::string> Asked;

 protected:
  bool IsVersionInfoBlackListed(const TFileVersionInfo& AInfo) override {
    Asked.push_back(AInfo.GetValue(kCompanyNameKey));
    return AInfo.GetValue(kCompanyNameKey) == "Evil \"Corp\"; DROP TABLE vers_list;--";
  }
};

class NoCompanyInfoRule : public ::testing::Test {
 protected:
  TTempDir dir;
};

}  // namespace

TEST_F(NoCompanyInfoRule, ScoresMissingOrEmptyCompanyNames) {
  TScriptedRegistry reg({});
  TMalwareHeuristic::RegisterRule(R::mhRuleNoCompanyInfo, &RuleClassOf<TMalwareRuleNoCompanyInfo>);
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  struct Case {
    const char* name;
    TPEBytes pe;
    Extended percent;
    std::string threats;
    bool hasVersionInfo;
    std::string company;
  };
  const Case cases[] = {
      {"no resources at all", ImageWithoutResources(), 100, "ThreatFileVersionInfo.Dangerous.Base=50", false, ""},
      {"resources but no version", ImageWithManifestOnly(), 100, "ThreatFileVersionInfo.Dangerous.Base=50", false,
       ""},
      {"version resource that is not one",
       ImageWithVersion(TVersionInfoBuilder().SetRootKey("NOT_A_VERSION").Build()), 100,
       "ThreatFileVersionInfo.Dangerous.Base=50", false, ""},
      {"empty company name", ImageWithVersion(EnglishVersion("")), 100, "ThreatFileVersionInfo.Suspicious.Base=30",
       true, ""},
      {"no company key", ImageWithVersion(VersionWith("040904B0", {{"ProductName", "Thing"}})), 100,
       "ThreatFileVersionInfo.Suspicious.Base=30", true, ""},
      {"company named", ImageWithVersion(EnglishVersion("Acme Corp.")), 0, "", true, "Acme Corp."},
      {"company named in a russian table", ImageWithVersion(VersionWith("041904E3", {{"CompanyName", "ООО Ромашка"}})),
       0, "", true, "ООО Ромашка"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.WriteFile("target.exe", c.pe.Bytes());
    ASSERT_TRUE(e->AnalyzeFile(file));
    auto stored = StoredResult(*e, R::mhRuleNoCompanyInfo);
    ASSERT_TRUE(stored);
    auto typed = stored.As<IMalwareRuleResultNoCompanyInfo>();
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->GetPercentageMatch(), c.percent);
    EXPECT_FALSE(typed->GetInBlacklist());
    EXPECT_EQ(ThreatNames(ObjectOf(stored)), c.threats);
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.percent);

    TRuleResultDetails details;
    ObjectOf(stored).GetDetails(details);
    ASSERT_GE(details.size(), 3u);
    EXPECT_EQ(details[0].Name, "hasVersionInfo");
    EXPECT_EQ(std::get<bool>(details[0].Value), c.hasVersionInfo);
    EXPECT_EQ(details[1].Name, "companyName");
    EXPECT_EQ(std::get<std::string>(details[1].Value), c.company);
    EXPECT_EQ(details.back().Name, "inBlacklist");
  }
}

TEST_F(NoCompanyInfoRule, BlackListedCompanyEndsTheAnalysisAsMalicious) {
  // The no-icon slot runs a scripted rule after this one (lower priority).
  TScriptedRegistry reg({R::mhRuleNoIcon});
  Scripts()[R::mhRuleNoIcon].Percent = 10;
  TMalwareHeuristic::RegisterRule(R::mhRuleNoCompanyInfo, &RuleClassOf<TListingNoCompanyInfo>);
  TListingNoCompanyInfo::Asked.clear();
  Journal().Clear();
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());

  const std::string evil = dir.WriteFile("evil.exe", ImageWithVersion(EnglishVersion("Evil \"Corp\"; DROP TABLE vers_list;--")).Bytes());
  ASSERT_TRUE(e->AnalyzeFile(evil));
  auto typed = StoredResult(*e, R::mhRuleNoCompanyInfo).As<IMalwareRuleResultNoCompanyInfo>();
  ASSERT_TRUE(typed);
  EXPECT_TRUE(typed->GetInBlacklist());
  EXPECT_EQ(typed->GetPercentageMatch(), 100);
  EXPECT_TRUE(ObjectOf(StoredResult(*e, R::mhRuleNoCompanyInfo)).Threats().empty());
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 100);
  EXPECT_TRUE(Journal().Checked.empty()) << "the analysis should end before the next rule";

  // The next analysis starts from a reset result; a file without a company
  // name is scored without asking the black list.
  Journal().Clear();
  const std::string good = dir.WriteFile("good.exe", ImageWithVersion(EnglishVersion("Good Company")).Bytes());
  const std::string anonymous = dir.WriteFile("anon.exe", ImageWithVersion(EnglishVersion("")).Bytes());
  ASSERT_TRUE(e->AnalyzeFile(good));
  typed = StoredResult(*e, R::mhRuleNoCompanyInfo).As<IMalwareRuleResultNoCompanyInfo>();
  EXPECT_FALSE(typed->GetInBlacklist());
  EXPECT_EQ(typed->GetPercentageMatch(), 0);
  EXPECT_EQ(Journal().Checked, std::vector<R>{R::mhRuleNoIcon});
  ASSERT_TRUE(e->AnalyzeFile(anonymous));
  EXPECT_EQ(TListingNoCompanyInfo::Asked,
            (std::vector<std::string>{"Evil \"Corp\"; DROP TABLE vers_list;--", "Good Company"}));
}

TEST_F(NoCompanyInfoRule, DefaultBlackListHookAnswersNotListed) {
  ComPtr<TMalwareRuleNoCompanyInfo> rule(new TMalwareRuleNoCompanyInfo(nullptr, R::mhRuleNoCompanyInfo));
  const std::string file = dir.WriteFile("x.exe", ImageWithVersion(EnglishVersion("Evil \"Corp\"; DROP TABLE vers_list;--")).Bytes());
  Extended percent = -1;
  ASSERT_TRUE(rule->AnalyzeFile(file, percent));
  EXPECT_EQ(percent, 0);
  EXPECT_FALSE(rule->GetResult().As<IMalwareRuleResultNoCompanyInfo>()->GetInBlacklist());
}

// --- the no-icon rule ------------------------------------------------------------------

TEST(NoIconRule, ScoresProgramsWithResourcesButNoIcon) {
  TTempDir dir;
  // A scripted rule beside it so that an analysis stores something even when
  // the no-icon rule skips.
  TScriptedRegistry reg({R::mhRuleEntropy});
  TMalwareHeuristic::RegisterRule(R::mhRuleNoIcon, &RuleClassOf<TMalwareRuleNoIcon>);
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());

  TResourceBuilder iconOnly;
  iconOnly.Add(rtIcon, 1, 0x0409, IconImage());
  TResourceBuilder groupOnly;
  groupOnly.Add(rtGroupIcon, 1, 0x0409, GroupIcon({1}));
  TResourceBuilder namedTypes;
  namedTypes.Add(TResourceName::FromString("ICONS"), TResourceName::FromId(1), 0, IconImage());
  TResourceBuilder emptyRoot;  // a directory with no entries
  TResourceLayout loopLayout;
  TResourceBuilder noIcon;
  noIcon.Add(rtVersion, 1, 0x0409, EnglishVersion("Acme"));
  noIcon.Add(rtManifest, 1, 0x0409, Manifest());
  TPEBytes looping = BuildPEWithResources(noIcon, TPEKind::pe32, &loopLayout);
  looping.SetU32(looping.SectionRawOffset(1) + loopLayout.RootEntryOffset(0) + 4, 0x80000000u);

  struct Case {
    const char* name;
    std::string fileName;
    TPEBytes pe;
    bool stored;
    Extended percent;
    std::string threats;
    std::string types;
  };
  const Case cases[] = {
      {"icon and group icon", "app.exe", ImageWithVersion(EnglishVersion("Acme"), true), true, 0, "", "#3,#14,#16"},
      {"icon images only", "icons.exe", BuildPEWithResources(iconOnly), true, 0, "", "#3"},
      {"group icon only", "group.exe", BuildPEWithResources(groupOnly), true, 0, "", "#14"},
      {"version but no icon", "noicon.exe", ImageWithVersion(EnglishVersion("Acme")), true, 100,
       "ThreatFileResource.Icon.Base=10", "#16"},
      {"upper-case extension", "NOICON.EXE", ImageWithVersion(EnglishVersion("Acme")), true, 100,
       "ThreatFileResource.Icon.Base=10", "#16"},
      {"a named type called ICONS is no icon", "named.Exe", BuildPEWithResources(namedTypes), true, 100,
       "ThreatFileResource.Icon.Base=10", "ICONS"},
      {"looping directory without an icon", "loop.exe", looping, true, 100, "ThreatFileResource.Icon.Base=10",
       "#16,#24"},
      {"no resources", "bare.exe", ImageWithoutResources(), false, 0, "", ""},
      {"resource directory without entries", "empty.exe", BuildPEWithResources(emptyRoot), false, 0, "", ""},
      {"a library", "noicon.dll", ImageWithVersion(EnglishVersion("Acme")), false, 0, "", ""},
      {"a screen saver", "noicon.scr", ImageWithVersion(EnglishVersion("Acme")), false, 0, "", ""},
      {"no extension", "noicon", ImageWithVersion(EnglishVersion("Acme")), false, 0, "", ""},
      {"exe only inside the name", "noicon.exe.bak", ImageWithVersion(EnglishVersion("Acme")), false, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.WriteFile(c.fileName, c.pe.Bytes());
    ASSERT_TRUE(e->AnalyzeFile(file));
    auto stored = StoredResult(*e, R::mhRuleNoIcon);
    ASSERT_EQ(static_cast<bool>(stored), c.stored);
    if (!c.stored) continue;
    EXPECT_EQ(stored->GetPercentageMatch(), c.percent);
    EXPECT_EQ(ThreatNames(ObjectOf(stored)), c.threats);
    TRuleResultDetails details;
    ObjectOf(stored).GetDetails(details);
    ASSERT_EQ(details.size(), 2u);
    EXPECT_EQ(std::get<bool>(details[0].Value), c.percent == 0);
    EXPECT_EQ(std::get<std::string>(details[1].Value), c.types);
  }
}

// --- a resource compiled by the platform's own tools ------------------------------------

TEST(IdentityRules, ReadResourcesCompiledByWindres) {
  if (std::system("command -v x86_64-w64-mingw32-windres >/dev/null 2>&1 && "
                  "command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "mingw-w64 tools are not installed";
  TTempDir dir;
  // An .ico file: ICONDIR, one ICONDIRENTRY, the image.
  TBytes ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
  const TBytes image = IconImage();
  for (int i = 0; i < 4; ++i) ico.push_back(static_cast<std::uint8_t>(image.size() >> (8 * i)));
  for (int i = 0; i < 4; ++i) ico.push_back(static_cast<std::uint8_t>(22 >> (8 * i)));
  ico.insert(ico.end(), image.begin(), image.end());
  dir.WriteFile("app.ico", ico);
  dir.WriteFile("app.rc",
                "#pragma code_page(65001)\n"
                "1 ICON \"app.ico\"\n"
                "1 VERSIONINFO\n"
                "FILEVERSION 2,5,0,1\n"
                "PRODUCTVERSION 2,5,0,1\n"
                "BEGIN\n"
                "  BLOCK \"StringFileInfo\"\n"
                "  BEGIN\n"
                "    BLOCK \"041904E3\"\n"
                "    BEGIN\n"
                "      VALUE \"CompanyName\", \"ООО Ромашка\"\n"
                "      VALUE \"FileDescription\", \"Тест\"\n"
                "    END\n"
                "  END\n"
                "  BLOCK \"VarFileInfo\"\n"
                "  BEGIN\n"
                "    VALUE \"Translation\", 0x419, 1251\n"
                "  END\n"
                "END\n");
  dir.WriteFile("main.c", "int main(void) { return 0; }\n");
  const std::string folder = dir.Path().string();
  const std::string build = "cd '" + folder +
                            "' && x86_64-w64-mingw32-windres app.rc -O coff -o app.res.o && "
                            "x86_64-w64-mingw32-gcc -o app.exe main.c app.res.o && "
                            "x86_64-w64-mingw32-gcc -o plain.exe main.c";
  ASSERT_EQ(std::system(build.c_str()), 0);

  TFileVersionInfo info(*runtime::LiveHost(), dir / "app.exe");
  ASSERT_TRUE(info.GetIsAviable());
  EXPECT_EQ(info.GetValue("CompanyName"), "ООО Ромашка");
  EXPECT_EQ(info.GetValue("FileDescription"), "Тест");
  EXPECT_EQ(TableKey(info, "CompanyName"), "041904E3");
  ASSERT_TRUE(info.FixedFileInfo());
  EXPECT_EQ(info.FixedFileInfo()->FileVersionMS, 0x00020005u);

  TScriptedRegistry reg({});
  TMalwareHeuristic::RegisterRule(R::mhRuleNoCompanyInfo, &RuleClassOf<TMalwareRuleNoCompanyInfo>);
  TMalwareHeuristic::RegisterRule(R::mhRuleNoIcon, &RuleClassOf<TMalwareRuleNoIcon>);
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  ASSERT_TRUE(e->AnalyzeFile(dir / "app.exe"));
  EXPECT_EQ(StoredResult(*e, R::mhRuleNoIcon)->GetPercentageMatch(), 0);
  EXPECT_EQ(StoredResult(*e, R::mhRuleNoCompanyInfo)->GetPercentageMatch(), 0);
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 0);

  // The same program without the resource script: mingw adds no resources of
  // its own, so the no-icon rule skips and the version is missing.
  ASSERT_TRUE(e->AnalyzeFile(dir / "plain.exe"));
  EXPECT_EQ(StoredResult(*e, R::mhRuleNoCompanyInfo)->GetPercentageMatch(), 100);
}
