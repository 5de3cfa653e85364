// The engine's knowledge-file set and the threat-name database.
#include <gtest/gtest.h>

#include <filesystem>

#include "db/sqlite_extensions_base.h"
#include "db/system_crypt.h"
#include "engine/dictionaries.h"
#include "engine/malware_heuristic.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using quillmark::test::TTempDir;
using quillmark::test::TTestTarget;
using TKind = TMalwareHeuristicDictionaries::TKind;

namespace {

// A threat-name file with the given rows (id, severity, clear name).
std::string MakeThreatFile(const TTempDir& dir, const std::string& name,
                           const std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>& rows) {
  std::string path = dir / name;
  TSQLiteDatabase db(path, TSQLiteOpenMode::omReadWriteCreate);
  db.ExecSQLChecked("create table threatid (id INTEGER PRIMARY KEY, severity INTEGER, name TEXT)");
  for (const auto& [id, severity, clear] : rows) {
    db.AddParamInt(":id", id);
    db.AddParamInt(":severity", severity);
    db.AddParamText(":name", TCrypt::EncodeString(clear));
    db.ExecSQL("insert into threatid values (:id, :severity, :name)");
  }
  return path;
}

// A database class for the other slots of the set; registers the version test.
class TVersionDataBase : public TCustomSqlLiteDataBase {
 public:
  void RegisterFunctions() override {
    if (DB()) TSQLite3ExtensionsBase::RegisterFunctionCheckOSVersion(*DB());
  }
  std::int64_t Value(const std::string& sql) {
    std::lock_guard<std::recursive_mutex> guard(FCS);
    return DB() ? DB()->GetTableValue(sql) : -1;
  }
};

ComPtr<TMalwareHeuristic> NewEngine(std::shared_ptr<runtime::ITargetSystem> target = nullptr) {
  return ComPtr<TMalwareHeuristic>(new TMalwareHeuristic(std::move(target)));
}

TEST(Dictionaries, ThreatNameOfTheEnginesThreatIdentifier) {
  TTempDir dir;
  std::string file = MakeThreatFile(dir, "hmthinfo.mdict", {{8000001, 0x1FF, "Heur.Test.Name"}, {-5, 1, "Ωmega"}});
  auto engine = NewEngine();
  engine->GetSettings()->SetDictionaryThreatsInfoFileName(file);

  TMalwareThreatInfo info;
  ASSERT_TRUE(engine->GetMalwareThreatInfo(engine->GetResult()->GetMalwareID(), &info));
  EXPECT_EQ(info.Name, "Heur.Test.Name");
  EXPECT_EQ(info.Severity, 0xFF);  // low 8 bits
  ASSERT_TRUE(engine->GetMalwareThreatInfo(-5, &info));
  EXPECT_EQ(info.Name, "Ωmega");

  TMalwareThreatInfo untouched{"keep", 7};
  EXPECT_FALSE(engine->GetMalwareThreatInfo(42, &untouched));
  EXPECT_EQ(untouched.Name, "keep");
  EXPECT_EQ(untouched.Severity, 7);
}

TEST(Dictionaries, ShippedThreatNameFileNamesTheDefaultThreat) {
  auto engine = NewEngine();
  engine->GetSettings()->SetDictionaryThreatsInfoFileName(std::string(QUILLMARK_BUILT_DATA_DIR) + "/hmthinfo.mdict");
  TMalwareThreatInfo info;
  ASSERT_TRUE(engine->GetMalwareThreatInfo(8000001, &info));
  EXPECT_FALSE(info.Name.empty());
  EXPECT_GT(info.Severity, 0);
}

TEST(Dictionaries, MissingCorruptOrForeignFilesAnswerFalse) {
  TTempDir dir;
  std::string corrupt = dir.WriteFile("corrupt.mdict", std::string(3000, '\x01'));
  std::string foreign = dir / "foreign.mdict";
  TSQLiteDatabase(foreign, TSQLiteOpenMode::omReadWriteCreate).ExecSQLChecked("create table other (x)");
  for (const std::string& path : {dir / "missing.mdict", corrupt, foreign}) {
    auto engine = NewEngine();
    engine->GetSettings()->SetDictionaryThreatsInfoFileName(path);
    TMalwareThreatInfo info;
    EXPECT_FALSE(engine->GetMalwareThreatInfo(8000001, &info)) << path;
    EXPECT_FALSE(engine->GetMalwareThreatInfo(8000001, &info)) << path;
    EXPECT_TRUE(engine->Dictionaries().ThreatsInfo().IsOpened());
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.mdict"));
}

TEST(Dictionaries, ANewFileNameTakesEffectAfterClose) {
  TTempDir dir;
  std::string file = MakeThreatFile(dir, "late.mdict", {{8000001, 3, "Late"}});
  auto engine = NewEngine();
  engine->GetSettings()->SetDictionaryThreatsInfoFileName(dir / "missing.mdict");
  TMalwareThreatInfo info;
  EXPECT_FALSE(engine->GetMalwareThreatInfo(8000001, &info));

  engine->GetSettings()->SetDictionaryThreatsInfoFileName(file);
  EXPECT_FALSE(engine->GetMalwareThreatInfo(8000001, &info)) << "a failed open is not retried before Close";
  engine->Close();
  ASSERT_TRUE(engine->GetMalwareThreatInfo(8000001, &info));
  EXPECT_EQ(info.Name, "Late");
}

TEST(Dictionaries, CloseAllKeepsTheHarmonySchemeOpen) {
  TTempDir dir;
  std::string first = MakeThreatFile(dir, "first.mdict", {});
  std::string second = MakeThreatFile(dir, "second.mdict", {});
  auto engine = NewEngine();
  auto& set = engine->Dictionaries();
  engine->GetSettings()->SetDictionaryHarmonyNameSchemeFileName(first);
  engine->GetSettings()->SetDictionaryFileDetailsFileName(first);
  EXPECT_TRUE(set.Get<TVersionDataBase>(TKind::dkHarmonyStrings).HasConnection());
  EXPECT_TRUE(set.Get<TVersionDataBase>(TKind::dkFileDetails).HasConnection());

  engine->GetSettings()->SetDictionaryHarmonyNameSchemeFileName(second);
  engine->GetSettings()->SetDictionaryFileDetailsFileName(second);
  engine->Close();
  EXPECT_EQ(set.Get<TVersionDataBase>(TKind::dkHarmonyStrings).FileName(), first);
  EXPECT_EQ(set.Get<TVersionDataBase>(TKind::dkFileDetails).FileName(), second);
  // The same object each time.
  EXPECT_EQ(&set.Get<TVersionDataBase>(TKind::dkFileDetails), &set.Get<TVersionDataBase>(TKind::dkFileDetails));
}

TEST(Dictionaries, DatabasesJudgeVersionsAgainstTheEnginesTarget) {
  TTempDir dir;
  std::string file = MakeThreatFile(dir, "any.mdict", {});
  for (auto [version, expected] : {std::pair{runtime::TWindowsVersion::wvWinXP, 0},
                                   std::pair{runtime::TWindowsVersion::wvWin10, 1}}) {
    auto target = std::make_shared<TTestTarget>();
    target->SetWindowsVersion(version);
    auto engine = NewEngine(target);
    engine->GetSettings()->SetDictionaryFileDetailsFileName(file);
    auto& db = engine->Dictionaries().Get<TVersionDataBase>(TKind::dkFileDetails);
    EXPECT_EQ(db.Value("select CheckOSVersion('wvWin7', 'wvWin11')"), expected);
  }
}

}  // namespace
