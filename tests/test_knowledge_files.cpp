// Knowledge files that are hostile, damaged, foreign or in an unusual state:
// the engine neither hangs, nor crashes, nor goes on silently.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "db/system_crypt.h"
#include "engine/dictionaries.h"
#include "engine/malware_heuristic.h"
#include "support/pe_writer.h"
#include "support/resource_writer.h"
#include "support/temp_dir.h"

using namespace quillmark;
using namespace quillmark::test;
using TKind = TMalwareHeuristicDictionaries::TKind;
using R = TMalwareRuleType;
using namespace std::chrono_literals;

namespace {

std::string Built(const std::string& name) { return std::string(QUILLMARK_BUILT_DATA_DIR) + "/" + name; }

// The shipped file of each kind.
std::string ShippedFile(TKind kind) {
  switch (kind) {
    case TKind::dkBlackWhiteLists: return Built("hbwlists.mdict");
    case TKind::dkFileDetails: return Built("hsysfiles.mdict");
    case TKind::dkThreatsInfo: return Built("hmthinfo.mdict");
    case TKind::dkHarmonyStrings: break;
  }
  return Built("hwscheme.mdict");
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string MakeDatabase(const std::string& path, const std::string& sql) {
  TSQLiteDatabase(path, TSQLiteOpenMode::omReadWriteCreate).ExecSQLChecked(sql);
  return path;
}

// A view that never ends, with the given columns (all NULL but the counter).
std::string EndlessView(const std::string& name, const std::string& columns) {
  return "create view " + name + " as with recursive r(n) as (select 1 union all select n + 1 from r) select " +
         columns + " from r;";
}

// For each kind, a file whose tables the reader queries are endless views.
std::string HostileSchema(TKind kind) {
  switch (kind) {
    case TKind::dkBlackWhiteLists:
      return EndlessView("signed_list", "0 as flag, 'x' as sname, 'x' as snum, 'x' as iname, n as mode") +
             EndlessView("vers_list", "0 as flag, 'x' || n as cmp") +
             EndlessView("niplist", "n + 1 as vmin, 0 as vmax");
    case TKind::dkFileDetails:
      return EndlessView("files", "n as id, 'h' || n as hash, null as min_os, null as max_os") +
             EndlessView("files_loc_rel", "n as file, n as locations, 0 as path, 0 as recursive") +
             EndlessView("locations", "n as id, null as min_os, null as max_os") +
             EndlessView("loc_paths_rel", "n as locations, n as path, 0 as recursive") +
             EndlessView("paths", "n as id, 'x' as path");
    case TKind::dkThreatsInfo:
      return EndlessView("threatid", "n as id, 1 as severity, 'x' as name");
    case TKind::dkHarmonyStrings:
      break;
  }
  return "create table baseinfo (dict INTEGER, vlfactor REAL, wcount INTEGER);"
         "insert into baseinfo values (0, 10, 10), (1, 10, 10);" +
         EndlessView("stats2", "n as hash, 1 as count") + EndlessView("stats3", "n as hash, 1 as count");
}

// The rule that reads a kind during an analysis.
R RuleOf(TKind kind) {
  switch (kind) {
    case TKind::dkBlackWhiteLists: return R::mhRuleNoCompanyInfo;
    case TKind::dkFileDetails: return R::mhRuleIncorrectFileLocation;
    case TKind::dkThreatsInfo: return R::mhRuleEntropy;
    case TKind::dkHarmonyStrings: break;
  }
  return R::mhRuleHarmonyName;
}

void SetFile(TMalwareHeuristic& engine, TKind kind, const std::string& file) {
  auto settings = engine.GetSettings();
  switch (kind) {
    case TKind::dkBlackWhiteLists: settings->SetDictionaryBlackWhiteListsFileName(file); break;
    case TKind::dkFileDetails: settings->SetDictionaryFileDetailsFileName(file); break;
    case TKind::dkThreatsInfo: settings->SetDictionaryThreatsInfoFileName(file); break;
    case TKind::dkHarmonyStrings: settings->SetDictionaryHarmonyNameSchemeFileName(file); break;
  }
}

// An engine whose four files are the shipped ones, one kind replaced.
ComPtr<TMalwareHeuristic> EngineWith(TKind kind, const std::string& file) {
  ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic());
  for (TKind k : TMalwareHeuristicDictionaries::kKinds) SetFile(*engine, k, ShippedFile(k));
  SetFile(*engine, kind, file);
  return engine;
}

// A program with a company name in its version resource, so that every
// kind's reader is asked something about it.
std::string WriteProgram(const TTempDir& dir) {
  TResourceBuilder r;
  r.Add(rtVersion, 1, 0x0409,
        TVersionInfoBuilder().AddStringTable("040904B0", {{"CompanyName", "Acme Widgets"}}).AddTranslation(0x0409, 1200).Build());
  return dir.WriteFile("report.exe", BuildPEWithResources(r).Bytes());
}

const char* KindName(TKind kind) {
  switch (kind) {
    case TKind::dkBlackWhiteLists: return "black/white lists";
    case TKind::dkFileDetails: return "file details";
    case TKind::dkThreatsInfo: return "threat names";
    case TKind::dkHarmonyStrings: break;
  }
  return "harmony scheme";
}

std::set<std::string> FolderNames(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

TEST(KnowledgeFiles, AnEndlessQueryEndsTheAnalysisPromptlyAndIsReported) {
  for (TKind kind : TMalwareHeuristicDictionaries::kKinds) {
    SCOPED_TRACE(KindName(kind));
    TTempDir dir;
    const std::string hostile = MakeDatabase(dir / "hostile.mdict", HostileSchema(kind));
    const std::string program = WriteProgram(dir);
    auto engine = EngineWith(kind, hostile);
    for (R type : engine->GetRegisteredRules()) engine->GetRule(type)->SetSelected(type == RuleOf(kind));

    for (int round = 0; round < 2; ++round) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_TRUE(engine->AnalyzeFile(program));
      TMalwareThreatInfo info;
      const bool named = engine->GetMalwareThreatInfo(engine->GetResult()->GetMalwareID(), &info);
      EXPECT_EQ(named, kind != TKind::dkThreatsInfo);
      // One statement's work limit is a second of CPU at most; the file is
      // set aside after it, so the second round does not pay it again.
      EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "round " << round;

      const auto problems = engine->Dictionaries().TakeQueryProblems();
      if (round == 1) {
        EXPECT_TRUE(problems.empty());
        continue;
      }
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_EQ(problems[0].Kind, kind);
      EXPECT_EQ(problems[0].FileName, hostile);
      EXPECT_EQ(problems[0].Reason, "query interrupted: work limit");
      EXPECT_EQ(problems[0].NotApplied, TMalwareHeuristicDictionaries::NotApplied(kind));
    }
    // The host's check names the file too.
    const auto problems = engine->Dictionaries().CheckAll();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].Reason, "query interrupted: work limit");
  }
}

TEST(KnowledgeFiles, CheckAllFindsEndlessViewsBeforeAnyAnalysis) {
  TTempDir dir;
  for (TKind kind : TMalwareHeuristicDictionaries::kKinds) {
    SCOPED_TRACE(KindName(kind));
    const std::string hostile =
        MakeDatabase(dir / (std::to_string(static_cast<int>(kind)) + ".mdict"), HostileSchema(kind));
    auto engine = EngineWith(kind, hostile);
    const auto problems = engine->Dictionaries().CheckAll();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].Kind, kind);
    EXPECT_EQ(problems[0].Reason, "query interrupted: work limit");
  }
}

TEST(KnowledgeFiles, CheckAllNamesEveryFileThatCannotBeUsed) {
  TTempDir dir;
  const std::string whole = ReadAll(ShippedFile(TKind::dkFileDetails));
  std::string damaged = whole;
  // Page 2 onwards overwritten: the header and the schema page stay valid.
  for (std::size_t i = 4096 + 100; i < damaged.size(); i += 7) damaged[i] = '\xA5';
  const std::string fifo = dir / "fifo.mdict";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string loop = dir / "loop.mdict";
  std::filesystem::create_symlink(loop, loop);

  struct TCase {
    const char* Name;
    TKind Kind;
    std::string File;
    std::string Reason;
  };
  const TCase cases[] = {
      {"missing", TKind::dkThreatsInfo, dir / "missing.mdict", "missing"},
      {"folder", TKind::dkHarmonyStrings, dir.Path().string(), "not a regular file"},
      {"fifo", TKind::dkBlackWhiteLists, fifo, "not a regular file"},
      {"link loop", TKind::dkFileDetails, loop, "Too many levels of symbolic links"},
      {"garbage", TKind::dkThreatsInfo, dir.WriteFile("garbage.mdict", std::string(5000, '\x42')),
       "file is not a database"},
      {"truncated", TKind::dkFileDetails, dir.WriteFile("truncated.mdict", whole.substr(0, whole.size() / 2)),
       "database disk image is malformed"},
      // SQLite's quick check names the first fault it finds ("Page 9: ...").
      {"damaged pages", TKind::dkFileDetails, dir.WriteFile("damaged.mdict", damaged), "Page "},
      {"foreign threat names", TKind::dkThreatsInfo, MakeDatabase(dir / "f1.mdict", "create table other (x)"),
       "no table threatid"},
      {"foreign lists", TKind::dkBlackWhiteLists,
       MakeDatabase(dir / "f2.mdict", "create table signed_list (flag, sname, snum, iname, mode); create table vers_list (flag, cmp)"),
       "no table niplist"},
      {"foreign catalogue", TKind::dkFileDetails, MakeDatabase(dir / "f3.mdict", "create table files (id, hash)"),
       "no table files_loc_rel"},
      {"foreign scheme", TKind::dkHarmonyStrings, MakeDatabase(dir / "f4.mdict", "create table stats2 (hash, count)"),
       "no table baseinfo"},
      {"missing column", TKind::dkThreatsInfo, MakeDatabase(dir / "f5.mdict", "create table threatid (id, name)"),
       "no such column: severity"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto engine = EngineWith(c.Kind, c.File);
    const auto problems = engine->Dictionaries().CheckAll();
    ASSERT_EQ(problems.size(), 1u);
    const TKnowledgeProblem& p = problems[0];
    EXPECT_EQ(p.Kind, c.Kind);
    EXPECT_EQ(p.FileName, c.File);
    if (c.Reason == "Page ")
      EXPECT_EQ(p.Reason.rfind("Page ", 0), 0u) << p.Reason;
    else
      EXPECT_EQ(p.Reason, c.Reason);
    EXPECT_EQ(p.NotApplied, TMalwareHeuristicDictionaries::NotApplied(c.Kind));
    EXPECT_EQ(p.Rules, TMalwareHeuristicDictionaries::RulesAffected(c.Kind));
    // The file is set aside: its reader finds nothing and records nothing.
    EXPECT_FALSE(engine->Dictionaries().Get<TCustomSqlLiteDataBase>(c.Kind).HasConnection());
    TMalwareThreatInfo info;
    EXPECT_EQ(engine->GetMalwareThreatInfo(8000001, &info), c.Kind != TKind::dkThreatsInfo);
    EXPECT_TRUE(engine->Dictionaries().TakeQueryProblems().empty());
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.mdict"));

  // The shipped files pass.
  auto engine = EngineWith(TKind::dkThreatsInfo, ShippedFile(TKind::dkThreatsInfo));
  EXPECT_TRUE(engine->Dictionaries().CheckAll().empty());
}

TEST(KnowledgeFiles, WhatEachKindLeavesOut) {
  EXPECT_EQ(TMalwareHeuristicDictionaries::RulesAffected(TKind::dkBlackWhiteLists),
            (std::vector<R>{R::mhRuleSignedFile, R::mhRuleNoCompanyInfo, R::mhRuleOpenNetworkPorts}));
  EXPECT_EQ(TMalwareHeuristicDictionaries::RulesAffected(TKind::dkFileDetails),
            std::vector<R>{R::mhRuleIncorrectFileLocation});
  EXPECT_EQ(TMalwareHeuristicDictionaries::RulesAffected(TKind::dkHarmonyStrings), std::vector<R>{R::mhRuleHarmonyName});
  EXPECT_TRUE(TMalwareHeuristicDictionaries::RulesAffected(TKind::dkThreatsInfo).empty());
  EXPECT_EQ(TMalwareHeuristicDictionaries::NotApplied(TKind::dkThreatsInfo), "threat name and severity");
}

TEST(KnowledgeFiles, AWalModeFileLeavesItsFolderAsItWas) {
  TTempDir dir;
  const std::string file = dir / "hmthinfo.mdict";
  {
    TSQLiteDatabase db(file, TSQLiteOpenMode::omReadWriteCreate);
    db.ExecSQLChecked("PRAGMA journal_mode=WAL;"
                      "create table threatid (id INTEGER PRIMARY KEY, severity INTEGER, name TEXT)");
    db.AddParamText(":name", TCrypt::EncodeString("Wal.Threat"));
    db.ExecSQL("insert into threatid values (8000001, 3, :name)");
  }
  ASSERT_EQ(ReadAll(file)[18], 2) << "not a WAL-mode file";
  const std::set<std::string> before = FolderNames(dir.Path());
  const std::string bytes = ReadAll(file);

  auto engine = EngineWith(TKind::dkThreatsInfo, file);
  EXPECT_TRUE(engine->Dictionaries().CheckAll().empty());
  TMalwareThreatInfo info;
  ASSERT_TRUE(engine->GetMalwareThreatInfo(8000001, &info));
  EXPECT_EQ(info.Name, "Wal.Threat");
  EXPECT_EQ(FolderNames(dir.Path()), before) << "a -wal, -shm or -journal file appeared";
  engine->Close();
  engine = nullptr;
  EXPECT_EQ(FolderNames(dir.Path()), before);
  EXPECT_EQ(ReadAll(file), bytes);

  // A missing file stays missing.
  auto other = EngineWith(TKind::dkThreatsInfo, dir / "absent.mdict");
  EXPECT_FALSE(other->GetMalwareThreatInfo(8000001, &info));
  EXPECT_EQ(other->Dictionaries().CheckAll().at(0).Reason, "missing");
  EXPECT_EQ(FolderNames(dir.Path()), before);
}

TEST(KnowledgeFiles, NamesWithUriCharactersOpen) {
  TTempDir dir;
  const std::string shipped = ReadAll(ShippedFile(TKind::dkThreatsInfo));
  for (const std::string name : {"what?.mdict", "a#b.mdict", "100%.mdict", "%41.mdict", "two words.mdict",
                                 "q?immutable=0&mode=rwc.mdict", "ünï.mdict"}) {
    SCOPED_TRACE(name);
    TTempDir folder;
    const std::string file = folder.WriteFile(name, shipped);
    auto engine = EngineWith(TKind::dkThreatsInfo, file);
    EXPECT_TRUE(engine->Dictionaries().CheckAll().empty());
    TMalwareThreatInfo info;
    EXPECT_TRUE(engine->GetMalwareThreatInfo(8000001, &info));
    EXPECT_EQ(FolderNames(folder.Path()), std::set<std::string>{name});
  }
  // A relative name is taken from the current folder.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  dir.WriteFile("sub dir/rel?.mdict", shipped);
  auto engine = EngineWith(TKind::dkThreatsInfo, "sub dir/rel?.mdict");
  TMalwareThreatInfo info;
  EXPECT_TRUE(engine->GetMalwareThreatInfo(8000001, &info));
  std::filesystem::current_path(cwd);
}

TEST(KnowledgeFiles, CloseRacingThreatLookups) {
  auto engine = EngineWith(TKind::dkThreatsInfo, ShippedFile(TKind::dkThreatsInfo));
  std::atomic<bool> stop{false};
  std::atomic<long> closes{0};
  std::thread closer([&] {
    while (!stop) {
      engine->Close();
      ++closes;
    }
  });
  long answered = 0, lookups = 0;
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < until) {
    TMalwareThreatInfo info;
    ++lookups;
    if (engine->GetMalwareThreatInfo(8000001, &info)) {
      ++answered;
      EXPECT_FALSE(info.Name.empty());
    }
  }
  stop = true;
  closer.join();
  EXPECT_GT(closes, 0);
  EXPECT_GT(answered, 0);
  EXPECT_TRUE(engine->Dictionaries().TakeQueryProblems().empty());
  std::printf("%ld of %ld lookups answered beside %ld closes\n", answered, lookups, closes.load());
}

}  // namespace
