// The SQLite access layer over real database files.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/malware_common_classes.h"
#include "db/sqlite_table.h"
#include "support/temp_dir.h"

extern char** environ;

using namespace quillmark;
using quillmark::test::TTempDir;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A database with one table t(id INTEGER, name TEXT, score REAL, data BLOB, other VARCHAR(10)).
std::string MakeDatabase(const TTempDir& dir, const std::string& name = "test.db") {
  std::string path = dir / name;
  TSQLiteDatabase db(path, TSQLiteOpenMode::omReadWriteCreate);
  db.ExecSQLChecked(
      "create table t (id INTEGER, name TEXT, score REAL, data BLOB, other VARCHAR(10));"
      "insert into t values (1, 'one', 1.5, x'00', 'a');"
      "insert into t values (2, 'two', 2.5, NULL, NULL);"
      "insert into t values (3, NULL, 3.5, NULL, 'c');");
  return path;
}

class TPlainDataBase : public TCustomSqlLiteDataBase {
 public:
  int Registrations = 0;
  bool ConnectionAtRegistration = false;
  void RegisterFunctions() override {
    ++Registrations;
    ConnectionAtRegistration = DB() != nullptr;
  }
  TSQLiteDatabase* Connection() { return DB(); }
};

TEST(SQLiteLayer, ErrorCodeTexts) {
  const std::pair<int, const char*> cases[] = {
      {0, "Successful result"},
      {5, "The database file is locked"},
      {19, "Abort due to contraint violation"},
      {26, "File opened that is not a database file"},
      {100, "sqlite3_step() has another row ready"},
      {101, "sqlite3_step() has finished executing"},
      {27, "Unknown SQLite Error Code \"27\""},
      {-100, "Unknown SQLite Error Code \"-100\""},
  };
  for (auto [code, text] : cases) EXPECT_EQ(ErrorCodeText(code), text) << code;
}

TEST(SQLiteLayer, UniTableReadsRowsColumnsAndTypes) {
  TTempDir dir;
  TSQLiteDatabase db(MakeDatabase(dir));
  auto t = db.GetUniTable("select id, name, score, data, other, id * 2 as twice from t order by id");
  EXPECT_EQ(t->Columns(), (std::vector<std::string>{"ID", "NAME", "SCORE", "DATA", "OTHER", "TWICE"}));
  // Declared types give the codes; an expression has the engine's type before
  // the first step (NULL).
  EXPECT_EQ(t->ColumnTypes(), (std::vector<int>{1, 3, 2, 4, 3, 5}));
  ASSERT_FALSE(t->Eof());
  EXPECT_EQ(t->Row(), 1);
  EXPECT_EQ(t->FieldAsInteger(0), 1);
  EXPECT_EQ(t->GetFieldByName("name"), "one");
  EXPECT_DOUBLE_EQ(t->FieldAsDouble(t->GetFieldIndex("Score")), 1.5);
  ASSERT_TRUE(t->Next());
  EXPECT_TRUE(t->FieldIsNull(4));
  EXPECT_EQ(t->FieldAsString(4), "");
  ASSERT_TRUE(t->Next());
  EXPECT_TRUE(t->FieldIsNull(1));
  EXPECT_FALSE(t->Next());
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->Row(), 3);

  try {
    t->GetFieldIndex("missing");
    ADD_FAILURE();
  } catch (const ESQLiteException& e) {
    EXPECT_STREQ(e.what(), "Field not found in dataset: missing");
  }
}

TEST(SQLiteLayer, EmptyResults) {
  TTempDir dir;
  TSQLiteDatabase db(MakeDatabase(dir));
  auto t = db.GetUniTable("select id from t where id > 100");
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(db.GetTableValue("select id from t where id > 100"), 0);
  EXPECT_EQ(db.GetTableString("select name from t where id > 100"), "");
  EXPECT_EQ(db.GetTableValue("select count(*) from t"), 3);
  EXPECT_EQ(db.GetTableString("select name from t where id = 2"), "two");
}

TEST(SQLiteLayer, StatementErrorsCarryCodeTextSqlAndEngineMessage) {
  TTempDir dir;
  TSQLiteDatabase db(MakeDatabase(dir));
  try {
    db.GetUniTable("select * from nowhere");
    ADD_FAILURE();
  } catch (const ESQLiteException& e) {
    EXPECT_STREQ(e.what(),
                 "Error executing SQL.\rError [1]: SQL error or missing database.\r\"select * from nowhere\": "
                 "no such table: nowhere");
    EXPECT_STREQ(e.ClassName(), "ESQLiteException");
  }
  // A failure while stepping: the second row overflows.
  auto t = db.GetUniTable("select case when id = 2 then abs(-9223372036854775807 - 1) else id end from t");
  try {
    t->Next();
    ADD_FAILURE();
  } catch (const ESQLiteException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Could not retrieve data.\rError [1]: ", 0), 0u) << e.what();
  }
  // ExecSQL swallows every failure.
  EXPECT_NO_THROW(db.ExecSQL("this is not sql"));
}

TEST(SQLiteLayer, NamedParametersBindOnceAndUnknownNamesAreSkipped) {
  TTempDir dir;
  TSQLiteDatabase db(MakeDatabase(dir));
  db.AddParamInt(":id", 2);
  db.AddParamText(":unused", "x");
  EXPECT_EQ(db.GetTableString("select name from t where id = :id"), "two");
  // The list was cleared: the parameter is unbound (NULL) in the next statement.
  EXPECT_EQ(db.GetTableString("select coalesce(:id, 'unbound')"), "unbound");
  db.AddParamFloat(":s", 2.5);
  db.AddParamNull(":n");
  EXPECT_EQ(db.GetTableValue("select id from t where score = :s and :n is null"), 2);
  db.AddParamText(":name", "two");
  EXPECT_TRUE(db.TableExists("T"));
  EXPECT_FALSE(db.TableExists("t2"));
  EXPECT_EQ(db.GetTableValue("select count(*) from t where name = :name"), 0) << "TableExists used the pending list";
}

TEST(SQLiteLayer, TransactionsAndWritesOnWritableConnection) {
  TTempDir dir;
  TSQLiteDatabase db(MakeDatabase(dir), TSQLiteOpenMode::omReadWriteCreate);
  db.BeginTransaction();
  EXPECT_TRUE(db.isTransactionOpen());
  EXPECT_THROW(db.BeginTransaction(), ESQLiteException);
  db.ExecSQL("insert into t (id) values (4)");
  EXPECT_EQ(db.RowsChanged(), 1);
  EXPECT_EQ(db.GetLastInsertRowID(), 4);
  db.Rollback();
  EXPECT_FALSE(db.isTransactionOpen());
  EXPECT_EQ(db.GetTableValue("select count(*) from t"), 3);
}

TEST(SQLiteLayer, KnowledgeFilesOpenReadOnly) {
  TTempDir dir;
  std::string path = MakeDatabase(dir);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  std::string before = ReadAll(path);
  {
    auto db = TSQLite3::LoadDB(path);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->GetTableValue("select count(*) from t"), 3);
    try {
      db->ExecSQLChecked("insert into t (id) values (9)");
      ADD_FAILURE();
    } catch (const ESQLiteException& e) {
      EXPECT_NE(std::string(e.what()).find("Attempt to write a readonly database"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
}

TEST(SQLiteLayer, LoadDBAnswersNothingForMissingFilesAndNeverCreatesThem) {
  TTempDir dir;
  EXPECT_EQ(TSQLite3::LoadDB(dir / "missing.db"), nullptr);
  EXPECT_EQ(TSQLite3::LoadDB(dir.Path().string()), nullptr);  // a folder
  EXPECT_EQ(TSQLite3::LoadDB(""), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));

  std::string text = dir.WriteFile("notes.mdict", std::string(4096, 'x'));
  try {
    TSQLite3::LoadDB(text);
    ADD_FAILURE();
  } catch (const ESQLiteException& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to open database \"" + text + "\" : file is not a database");
  }
}

// A real sqlite3 process holding an exclusive lock on a database until destroyed.
class TLockingProcess {
 public:
  explicit TLockingProcess(const std::string& path) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"sqlite3", path.c_str(), nullptr};
    int rc = posix_spawnp(&FPid, "sqlite3", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    FIn = in[1];
    FOut = out[0];
    if (rc != 0) throw std::runtime_error("cannot start sqlite3");
    std::string script = "BEGIN EXCLUSIVE;\nupdate t set id = id;\nselect 'locked';\n";
    if (write(FIn, script.data(), script.size()) != static_cast<ssize_t>(script.size())) throw std::runtime_error("write");
    std::string seen;
    char c;
    while (seen.find("locked") == std::string::npos && read(FOut, &c, 1) == 1) seen += c;
    if (seen.find("locked") == std::string::npos) throw std::runtime_error("sqlite3 did not take the lock");
  }
  ~TLockingProcess() {
    close(FIn);  // end of input: sqlite3 rolls back and exits
    close(FOut);
    int status = 0;
    waitpid(FPid, &status, 0);
  }

 private:
  pid_t FPid = -1;
  int FIn = -1, FOut = -1;
};

TEST(SQLiteLayer, DatabaseObjectLeftTriedAndFailedForMissingCorruptAndLockedFiles) {
  TTempDir dir;
  std::string corrupt = dir.WriteFile("corrupt.mdict", std::string("SQLite format 3\0", 16) + std::string(2000, '\x7F'));
  std::string locked = MakeDatabase(dir, "locked.mdict");
  TLockingProcess holder(locked);
  for (const std::string& path : {dir / "missing.mdict", corrupt, locked}) {
    auto db = TCustomSqlLiteDataBase::Create<TPlainDataBase>();
    EXPECT_FALSE(db->IsOpened());
    EXPECT_NO_THROW(db->Open(path)) << path;
    EXPECT_TRUE(db->IsOpened()) << path;
    EXPECT_FALSE(db->HasConnection()) << path;
    EXPECT_EQ(db->FileName(), path);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.mdict"));
}

TEST(SQLiteLayer, OpenHappensOnceUntilClose) {
  TTempDir dir;
  std::string path = dir / "late.mdict";
  auto db = TCustomSqlLiteDataBase::Create<TPlainDataBase>();
  db->Open(path);
  // No connection, but the hook ran after the attempt.
  EXPECT_EQ(db->Registrations, 1);
  EXPECT_FALSE(db->ConnectionAtRegistration);

  MakeDatabase(dir, "late.mdict");
  db->Open(path);  // already tried: nothing happens
  EXPECT_FALSE(db->HasConnection());
  EXPECT_EQ(db->Registrations, 1);

  db->Close();
  EXPECT_FALSE(db->IsOpened());
  db->Open(path);
  EXPECT_TRUE(db->HasConnection());
  EXPECT_TRUE(db->ConnectionAtRegistration);
  EXPECT_EQ(db->Connection()->GetTableValue("select count(*) from t"), 3);
}

TEST(SQLiteLayer, RegistrationFailureReachesTheCallerButTheAttemptCounts) {
  struct TFailing : TCustomSqlLiteDataBase {
    void RegisterFunctions() override { throw Exception("cannot register"); }
  };
  TTempDir dir;
  auto db = TCustomSqlLiteDataBase::Create<TFailing>();
  EXPECT_THROW(db->Open(MakeDatabase(dir)), Exception);
  EXPECT_TRUE(db->IsOpened());
  EXPECT_TRUE(db->HasConnection());
}

TEST(SQLiteLayer, EscapeStringOnlyPrefixesDoubleQuotes) {
  TPlainDataBase db;
  EXPECT_EQ(db.EscapeString(R"(a"b'c\d"")"), R"(a\"b'c\d\"\")");
  EXPECT_EQ(db.EscapeString(""), "");
}

}  // namespace
