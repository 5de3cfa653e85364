// The dictionary compiler: sources in, knowledge files out, and back to text.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/knowledge_keys.h"
#include "db/sqlite_extensions_base.h"
#include "db/sqlite_extensions_crypt.h"
#include "db/sqlite_extensions_network.h"
#include "db/sqlite_extensions_signature.h"
#include "support/programs.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using quillmark::test::TTempDir;

namespace {

using TRun = quillmark::test::TProgramRun;

TRun Dict(std::vector<std::string> args) {
  args.insert(args.begin(), QUILLMARK_DICT_PATH);
  return quillmark::test::RunProgramCapture(args);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(DictCompiler, ThreatsCompileThenDumpThenCompileAgain) {
  TTempDir dir;
  std::string source = dir.WriteFile("threats.tsv",
                                     "# comment\n"
                                     "id\tseverity\tname\r\n"
                                     "8000001\t2\tHeur.Suspicious.Generic\n"
                                     "\n"
                                     "-7\t255\tTrojan \"Quoted\" Ωmega\n");
  std::string file = dir / "out/hmthinfo.mdict";
  TRun build = Dict({"build", "--kind", "threats", source, "-o", file});
  ASSERT_EQ(build.Status, 0) << build.Output;

  // Stored scrambled: the clear name is nowhere in the file.
  EXPECT_EQ(ReadAll(file).find("Heur.Suspicious.Generic"), std::string::npos);

  TRun dump = Dict({"dump", file});
  ASSERT_EQ(dump.Status, 0) << dump.Output;
  const std::string expected =
      "## table threatid\n"
      "id\tseverity\tname\n"
      "-7\t255\tTrojan \"Quoted\" Ωmega\n"
      "8000001\t2\tHeur.Suspicious.Generic\n"
      "\n";
  EXPECT_EQ(dump.Output, expected);

  std::string again = dir.WriteFile("dumped.tsv", dump.Output);
  ASSERT_EQ(Dict({"build", "--kind", "threats", again, "-o", dir / "again.mdict"}).Status, 0);
  EXPECT_EQ(Dict({"dump", dir / "again.mdict"}).Output, expected);
}

TEST(DictCompiler, BlackWhiteListsAnswerTheListQueries) {
  TTempDir dir;
  std::string signers = dir.WriteFile("signers.tsv",
                                      "list\tsigner\tserial\tissuer\tmode\n"
                                      "white\t^Microsoft Corporation$\t\t^Microsoft Code Signing PCA\t4\n"
                                      "black\tstolen\t\t\t\n");
  std::string companies = dir.WriteFile("companies.tsv", "list\tcompany\nblack\t^evil corp\nwhite\tmicrosoft\n");
  std::string networks = dir.WriteFile("networks.tsv", "first\tlast\n10.1.0.0/16\t\n192.168.0.200\t\n172.16.0.1\t172.16.3.250\n");
  std::string file = dir / "hbwlists.mdict";
  TRun build = Dict({"build", "--kind", "bwlists", signers, companies, networks, "-o", file});
  ASSERT_EQ(build.Status, 0) << build.Output;

  TSQLiteDatabase db(file);
  TSQLite3ExtensionsSignature::RegisterFunctionCheckDigitalSignature(db);
  TSQLite3ExtensionsBase::RegisterFunctionRegExp(db);
  TSQLite3ExtensionsNetwork::RegisterFunctionIPv4InRange(db);

  struct TSigner : ISignerInfo {
    std::string S, N, I;
    TSigner(std::string s, std::string n, std::string i) : S(std::move(s)), N(std::move(n)), I(std::move(i)) {}
    std::string SignerName() const override { return S; }
    std::string SerialNumber() const override { return N; }
    std::string IssuerName() const override { return I; }
    std::string Thumbprint() const override { return {}; }
  };
  TSigner microsoft("Microsoft Corporation", "330000", "Microsoft Code Signing PCA 2011");
  EXPECT_EQ(TSQLite3ExtensionsSignature::CountSignedListMatches(db, microsoft, 1), 1);
  EXPECT_EQ(TSQLite3ExtensionsSignature::CountSignedListMatches(db, microsoft, 0), 0);
  EXPECT_EQ(TSQLite3ExtensionsSignature::CountSignedListMatches(db, TSigner("A Stolen Cert Ltd", "", ""), 0), 1);

  auto company = [&](const std::string& name, int flag) {
    db.AddParamText(":name", name);
    db.AddParamInt(":flag", flag);
    return db.GetTableValue("select count(*) from vers_list where flag=:flag and (:name REGEXP cmp)");
  };
  EXPECT_EQ(company("EVIL Corp.", 0), 1);
  EXPECT_EQ(company("Not evil corp", 0), 0);
  EXPECT_EQ(company("Microsoft", 0), 0);

  auto address = [&](unsigned a, unsigned b, unsigned c, unsigned d) {
    db.AddParamInt(":ip", static_cast<std::int32_t>(a | (b << 8) | (c << 16) | (d << 24)));
    return db.GetTableValue("select vmin from niplist where IPv4InRange(:ip, vmin, vmax)") > 0;
  };
  EXPECT_TRUE(address(10, 1, 200, 7));
  EXPECT_FALSE(address(10, 2, 0, 1));
  // Stored unsigned, so a last octet of 128 or more still answers a positive vmin.
  EXPECT_TRUE(address(192, 168, 0, 200));
  EXPECT_FALSE(address(192, 168, 0, 201));
  EXPECT_TRUE(address(172, 16, 2, 9));

  // The dump is itself a source for the same file.
  TRun dump = Dict({"dump", file});
  ASSERT_EQ(dump.Status, 0);
  EXPECT_NE(dump.Output.find("white\t^Microsoft Corporation$\t\t^Microsoft Code Signing PCA\t4\n"), std::string::npos);
  EXPECT_NE(dump.Output.find("10.1.0.0\t10.1.255.255\n"), std::string::npos) << dump.Output;
  std::string dumped = dir.WriteFile("dumped.tsv", dump.Output);
  ASSERT_EQ(Dict({"build", "--kind", "bwlists", dumped, "-o", dir / "again.mdict"}).Status, 0);
  EXPECT_EQ(Dict({"dump", dir / "again.mdict"}).Output, dump.Output);
}

// The catalogue query of the incorrect-location rule, with its key bound.
std::vector<std::pair<std::string, bool>> Locations(TSQLiteDatabase& db, const std::string& name) {
  db.AddParamText(":hash", TKnowledgeKeys::SystemFileKey(name));
  auto t = db.GetUniTable(
      "select aggr.recursive as recursive, CryptDecodeString(destPath.path) as path from files    inner join "
      "(files_loc_rel frel        inner join locations            on (                frel.locations=locations.id      "
      "          and CheckOSVersion(locations.min_os, locations.max_os)            )        inner join loc_paths_rel "
      "lrel            on (locations.id=lrel.locations)        inner join paths on (lrel.locations=paths.id)    ) as "
      "aggr        on (aggr.file=files.id)    inner join paths destPath        on destPath.id=aggr.path where "
      "(files.hash=:hash)     and (not destPath.path is null)     and CheckOSVersion(files.min_os, files.max_os)group "
      "by destPath.path");
  std::vector<std::pair<std::string, bool>> rows;
  for (; !t->Eof(); t->Next()) rows.emplace_back(t->GetFieldByName("path"), t->FieldAsInteger(0) != 0);
  return rows;
}

TEST(DictCompiler, SystemFileCatalogueAnswersTheLocationQuery) {
  TTempDir dir;
  std::string source = dir.WriteFile(
      "sysfiles.tsv",
      "name\tfolder\trecursive\tmin_os\tmax_os\tfolder_min_os\tfolder_max_os\n"
      "kernel32.dll\t%windir%\\system32\\\t0\n"
      "kernel32.dll\t%windir%\\SysWOW64\t0\t\t\twvWinXP64\t\n"
      "svchost.exe\t%windir%\\system32\t0\twvWinXP\n"
      "notepad.exe\t%windir%\tno\t\twvWinXP\n"
      "setup.exe\t%ProgramFiles%\tyes\n");
  std::string file = dir / "hsysfiles.mdict";
  TRun build = Dict({"build", "--kind", "sysfiles", source, "-o", file});
  ASSERT_EQ(build.Status, 0) << build.Output;

  auto target = std::make_shared<quillmark::test::TTestTarget>();
  target->SetWindowsVersion(runtime::TWindowsVersion::wvWin10);
  TSQLiteDatabase db(file);
  db.SetTarget(target);
  TSQLite3ExtensionsBase::RegisterFunctionCheckOSVersion(db);
  TSQLite3ExtensionsCrypt::RegisterFunctionCryptDecodeString(db);

  using TRows = std::vector<std::pair<std::string, bool>>;
  auto sorted = [](TRows rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  EXPECT_EQ(sorted(Locations(db, "  KERNEL32.DLL ")),
            (TRows{{"%windir%\\SysWOW64", false}, {"%windir%\\system32", false}}));
  EXPECT_EQ(Locations(db, "svchost.exe"), (TRows{{"%windir%\\system32", false}}));
  EXPECT_EQ(Locations(db, "setup.exe"), (TRows{{"%ProgramFiles%", true}}));
  EXPECT_EQ(Locations(db, "notepad.exe"), TRows{});  // only up to Windows XP
  EXPECT_EQ(Locations(db, "unknown.exe"), TRows{});
  target->SetWindowsVersion(runtime::TWindowsVersion::wvWinXP);
  EXPECT_EQ(Locations(db, "kernel32.dll"), (TRows{{"%windir%\\system32", false}}));
  EXPECT_EQ(Locations(db, "notepad.exe"), (TRows{{"%windir%", false}}));

  // The dump shows the folders in clear.
  TRun dump = Dict({"dump", file});
  EXPECT_NE(dump.Output.find("%windir%\\SysWOW64"), std::string::npos) << dump.Output;
  EXPECT_NE(dump.Output.find(TKnowledgeKeys::SystemFileKey("kernel32.dll")), std::string::npos);
}

TEST(DictCompiler, SchemeCountsNGramsOfTheCorpus) {
  TTempDir dir;
  std::string source = dir.WriteFile("names.tsv", "name\nReport\nreadme\n  Über \n");
  std::string file = dir / "hwscheme.mdict";
  TRun build = Dict({"build", "--kind", "scheme", source, "-o", file});
  ASSERT_EQ(build.Status, 0) << build.Output;

  TSQLiteDatabase db(file);
  auto count = [&](const char* table, const std::string& gram) {
    db.AddParamInt(":hash", TKnowledgeKeys::NGramKey(gram));
    return db.GetTableValue(std::string("select count from ") + table + " where hash=:hash");
  };
  EXPECT_EQ(count("stats2", "re"), 2);
  EXPECT_EQ(count("stats2", "RE"), 2);
  EXPECT_EQ(count("stats2", "üb"), 1);
  EXPECT_EQ(count("stats3", "rep"), 1);
  EXPECT_EQ(count("stats3", "ber"), 1);
  EXPECT_EQ(count("stats2", "xq"), 0);
  EXPECT_EQ(db.GetTableValue("select wcount from baseinfo where dict=0"), 3);
  EXPECT_EQ(db.GetTableValue("select count(*) from baseinfo"), 2);
  // Consonants over vowels: report 4/2, readme 3/3, über 3/1 (ü is not among the vowels).
  auto t = db.GetUniTable("select vlfactor from baseinfo where dict=1");
  EXPECT_DOUBLE_EQ(t->FieldAsDouble(0), 6.0);
}

TEST(DictCompiler, LogSchemeDropsRareNGramsAndKeepsTheTypicalRatio) {
  TTempDir dir;
  // "ab" occurs 100 times, "xy" 30 times: at the noise floor, so left out.
  std::string corpus = "name\n";
  for (int i = 0; i < 100; ++i) corpus += "ab\n";
  for (int i = 0; i < 30; ++i) corpus += "xy\n";
  std::string source = dir.WriteFile("names.tsv", corpus);
  std::string file = dir / "hwscheme.mdict";
  TRun build = Dict({"build", "--kind", "scheme", "--scheme-counts", "log", source, "-o", file});
  ASSERT_EQ(build.Status, 0) << build.Output;

  TSQLiteDatabase db(file);
  auto count = [&](const std::string& gram) {
    db.AddParamInt(":hash", TKnowledgeKeys::NGramKey(gram));
    return db.GetTableValue("select count from stats2 where hash=:hash");
  };
  EXPECT_EQ(count("ab"), std::llround(1000 * std::log(100.0 / 30)));
  EXPECT_EQ(count("xy"), 0);
  // Pairs weigh 64 times less than triples; both keep the corpus's typical
  // consonant-to-vowel ratio, 1 here: "ab" and "xy" each have one consonant
  // and one vowel (y counts as a vowel).
  const std::int64_t pairs = db.GetTableValue("select wcount from baseinfo where dict=0");
  const std::int64_t triples = db.GetTableValue("select wcount from baseinfo where dict=1");
  ASSERT_GT(triples, 0);
  EXPECT_EQ(pairs, 64 * triples);
  for (int dict : {0, 1}) {
    auto t = db.GetUniTable("select vlfactor, wcount from baseinfo where dict=" + std::to_string(dict));
    EXPECT_NEAR(t->FieldAsDouble(0) / static_cast<double>(t->FieldAsInteger(1)), 1.0, 1e-9) << dict;
  }

  TRun bad = Dict({"build", "--kind", "scheme", "--scheme-counts", "cubic", source, "-o", file});
  EXPECT_NE(bad.Status, 0);
  EXPECT_NE(bad.Output.find("cubic"), std::string::npos) << bad.Output;
}

TEST(DictCompiler, SourceErrorsNameTheLineAndLeaveTheOldFile) {
  TTempDir dir;
  std::string file = dir / "keep.mdict";
  ASSERT_EQ(Dict({"build", "--kind", "threats", dir.WriteFile("ok.tsv", "id\tseverity\tname\n1\t1\tOne\n"), "-o", file}).Status, 0);
  std::string before = ReadAll(file);

  const std::pair<std::string, std::pair<std::string, std::string>> cases[] = {
      {"threats", {"id\tseverity\tname\n1\t300\tX\n", "bad.tsv:2: severity must be an integer from 0 to 255"}},
      {"threats", {"id\tseverity\tname\n1\t1\tX\n1\t1\tY\n", "bad.tsv:3: id 1 repeats"}},
      {"threats", {"id\tname\n", "bad.tsv:1: header"}},
      {"threats", {"id\tseverity\tname\n1\t1\tX\textra\n", "bad.tsv:2: 4 fields"}},
      {"bwlists", {"list\tcompany\ngrey\tx\n", "bad.tsv:2: list must be black or white"}},
      {"bwlists", {"list\tcompany\nblack\t(unclosed\n", "bad.tsv:2: company is not a valid regular expression"}},
      {"bwlists", {"first\tlast\n10.0.0.256\t\n", "bad.tsv:2: first and last must be dotted IPv4"}},
      {"sysfiles", {"name\tfolder\trecursive\tmin_os\nx.dll\tC:\\\t0\tWindows7\n", "bad.tsv:2: min_os \"Windows7\""}},
  };
  for (const auto& [kind, c] : cases) {
    std::string bad = dir.WriteFile("bad.tsv", c.first);
    TRun run = Dict({"build", "--kind", kind, bad, "-o", file});
    EXPECT_EQ(run.Status, 1) << c.first;
    EXPECT_NE(run.Output.find(c.second), std::string::npos) << run.Output;
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
  }
  EXPECT_EQ(Dict({"build", "--kind", "nope", "x", "-o", file}).Status, 1);
  EXPECT_EQ(Dict({"build", "--kind", "threats", "-o", file}).Status, 2);
  EXPECT_EQ(Dict({"frobnicate"}).Status, 2);
  EXPECT_EQ(Dict({"dump", dir / "missing.mdict"}).Status, 1);
}

TEST(DictCompiler, BuiltKnowledgeFilesMatchTheDataSources) {
  TTempDir dir;
  const std::pair<const char*, const char*> kinds[] = {
      {"threats", "hmthinfo"}, {"bwlists", "hbwlists"}, {"sysfiles", "hsysfiles"}, {"scheme", "hwscheme"}};
  for (auto [kind, base] : kinds) {
    std::vector<std::string> args = {"build", "--kind", kind};
    if (std::string(kind) == "scheme") args.insert(args.end(), {"--scheme-counts", "log"});
    std::vector<std::string> sources;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(QUILLMARK_DATA_SOURCE_DIR) + "/" + kind))
      if (entry.path().extension() == ".tsv") sources.push_back(entry.path().string());
    std::sort(sources.begin(), sources.end());
    args.insert(args.end(), sources.begin(), sources.end());
    args.insert(args.end(), {"-o", dir / (std::string(base) + ".mdict")});
    ASSERT_EQ(Dict(args).Status, 0) << kind;
    EXPECT_EQ(Dict({"dump", std::string(QUILLMARK_BUILT_DATA_DIR) + "/" + base + ".mdict"}).Output,
              Dict({"dump", dir / (std::string(base) + ".mdict")}).Output)
        << kind;
  }
}

}  // namespace
