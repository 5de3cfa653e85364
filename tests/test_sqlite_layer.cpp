// The SQLite access layer over real database files.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
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

TEST(SQLiteLayer, RepeatedQueriesReuseTheirStatementAsIfPreparedAfresh) {
  TTempDir dir;
  auto knowledge = TSQLite3::LoadDB(MakeDatabase(dir));
  ASSERT_TRUE(knowledge);
  TSQLiteDatabase& db = *knowledge;
  const std::string byId = "select name from t where id = :id";

  // Each use binds its own parameters; one left out is NULL, not the last value.
  const std::pair<std::int64_t, const char*> lookups[] = {{1, "one"}, {2, "two"}, {3, ""}, {1, "one"}};
  for (const auto& [id, name] : lookups) {
    db.AddParamInt(":id", id);
    EXPECT_EQ(db.GetTableString(byId), name) << id;
  }
  EXPECT_EQ(db.GetTableString(byId), "");

  // A result left half read, then the same query again: from the first row.
  {
    auto rows = db.GetUniTable("select id from t order by id");
    ASSERT_FALSE(rows->Eof());
    EXPECT_EQ(rows->FieldAsInteger(0), 1);
    // The same text while the first result is still open.
    auto again = db.GetUniTable("select id from t order by id");
    rows->Next();
    EXPECT_EQ(rows->FieldAsInteger(0), 2);
    EXPECT_EQ(again->FieldAsInteger(0), 1);
  }
  EXPECT_EQ(db.GetTableValue("select id from t order by id"), 1);

  // A statement stopped by the work limit runs again from the start.
  const std::string counting =
      "with recursive r(n) as (select 1 union all select n + 1 from r where n < 100000) select count(*) from r";
  db.SetWorkLimit({10'000, 0});
  EXPECT_THROW(db.GetTableValue(counting), ESQLiteException);
  db.SetWorkLimit(TSQLiteWorkLimit::None());
  EXPECT_EQ(db.GetTableValue(counting), 100000);

  // On a connection that writes, a schema change between two uses is seen by
  // the second, and a text of several statements runs whole every time.
  TSQLiteDatabase writable(dir / "test.db", TSQLiteOpenMode::omReadWriteCreate);
  EXPECT_EQ(writable.GetUniTable("select * from t")->ColCount(), 5);
  writable.ExecSQLChecked("alter table t add column extra INTEGER");
  EXPECT_EQ(writable.GetUniTable("select * from t")->ColCount(), 6);
  writable.ExecSQL("insert into t (id) values (7); insert into t (id) values (8)");
  writable.ExecSQL("insert into t (id) values (7); insert into t (id) values (8)");
  EXPECT_EQ(writable.GetTableValue("select count(*) from t where id >= 7"), 2);
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
  EXPECT_EQ(TSQLite3::LoadDB(dir / "no-folder/missing.db"), nullptr);
  EXPECT_EQ(TSQLite3::LoadDB(""), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));
  EXPECT_FALSE(std::filesystem::exists(dir / "no-folder"));

  // Names that are not regular files are refused before SQLite sees them: a
  // FIFO would block the open for ever.
  std::string fifo = dir / "fifo.mdict";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string loop = dir / "loop.mdict";
  std::filesystem::create_symlink(loop, loop);
  const std::pair<std::string, std::string> refused[] = {
      {dir.Path().string(), "not a regular file"},
      {fifo, "not a regular file"},
      {loop, "Too many levels of symbolic links"},
      {dir.WriteFile("notes.mdict", std::string(4096, 'x')), "file is not a database"},
  };
  for (const auto& [path, reason] : refused) {
    try {
      TSQLite3::LoadDB(path);
      ADD_FAILURE() << path;
    } catch (const ESQLiteException& e) {
      EXPECT_EQ(std::string(e.what()), "Failed to open database \"" + path + "\" : " + reason);
      EXPECT_EQ(e.Reason(), reason);
    }
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

TEST(SQLiteLayer, DatabaseObjectLeftTriedAndFailedForMissingAndCorruptFiles) {
  TTempDir dir;
  std::string corrupt = dir.WriteFile("corrupt.mdict", std::string("SQLite format 3\0", 16) + std::string(2000, '\x7F'));
  std::string whole = ReadAll(MakeDatabase(dir, "whole.mdict"));
  std::string truncated = dir.WriteFile("truncated.mdict", whole.substr(0, whole.size() / 2));
  const std::pair<std::string, std::string> cases[] = {
      {dir / "missing.mdict", "missing"},
      {corrupt, "file is not a database"},
      {truncated, "database disk image is malformed"},
  };
  for (const auto& [path, problem] : cases) {
    auto db = TCustomSqlLiteDataBase::Create<TPlainDataBase>();
    EXPECT_FALSE(db->IsOpened());
    EXPECT_NO_THROW(db->Open(path)) << path;
    EXPECT_TRUE(db->IsOpened()) << path;
    EXPECT_FALSE(db->HasConnection()) << path;
    EXPECT_EQ(db->FileName(), path);
    EXPECT_EQ(db->Problem(), problem) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.mdict"));
}

TEST(SQLiteLayer, KnowledgeFilesTakeNoLocks) {
  // Knowledge files are opened immutable: a writer holding an exclusive lock
  // neither blocks nor fails the reader, which sees the committed content.
  TTempDir dir;
  std::string locked = MakeDatabase(dir, "locked.mdict");
  TLockingProcess holder(locked);
  auto db = TCustomSqlLiteDataBase::Create<TPlainDataBase>();
  db->Open(locked);
  ASSERT_TRUE(db->HasConnection()) << db->Problem();
  EXPECT_EQ(db->Connection()->GetTableValue("select count(*) from t"), 3);
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

TEST(SQLiteLayer, WorkLimitInterruptsLoopingAndExpensiveStatements) {
  TTempDir dir;
  auto db = TSQLite3::LoadDB(MakeDatabase(dir));
  ASSERT_TRUE(db);
  EXPECT_EQ(db->WorkLimit().MaxInstructions, TSQLiteWorkLimit::Knowledge().MaxInstructions);
  EXPECT_EQ(db->WorkLimit().MaxCpuMilliseconds, TSQLiteWorkLimit::Knowledge().MaxCpuMilliseconds);
  const std::string endless = "with recursive r(n) as (select 1 union all select n + 1 from r) select count(*) from r";
  struct TCase {
    const char* Name;
    TSQLiteWorkLimit Limit;
    std::string SQL;
  };
  const TCase cases[] = {
      {"instructions", {100'000, 0}, endless},
      // Few instructions, each building a long text: only the CPU bound stops it.
      {"cpu time", {0, 50},
       "with recursive r(n) as (select 1 union all select n + 1 from r) "
       "select count(*) from r where length(hex(zeroblob(200000))) > 0"},
      {"knowledge default", TSQLiteWorkLimit::Knowledge(), endless},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    db->SetWorkLimit(c.Limit);
    const auto start = std::chrono::steady_clock::now();
    try {
      db->GetTableValue(c.SQL);
      ADD_FAILURE() << "not interrupted";
    } catch (const ESQLiteException& e) {
      EXPECT_TRUE(e.WorkLimit());
      EXPECT_EQ(e.Reason(), kWorkLimitReason);
      EXPECT_NE(std::string(e.what()).find("Error [9]: Operation terminated by sqlite3_interrupt()"), std::string::npos)
          << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // The limit is per statement: the next one starts afresh.
    EXPECT_EQ(db->GetTableValue("select count(*) from t"), 3);
    EXPECT_FALSE(db->WorkLimitReached());
  }

  // Within the limit a statement runs to its end, and the time the caller
  // spends between rows is not the statement's.
  // (The statement itself takes a few milliseconds; the caller burns 150 ms
  // after each of its rows.)
  db->SetWorkLimit({0, 100});
  auto rows = db->GetUniTable(
      "with recursive r(n) as (select 1 union all select n + 1 from r where n < 6000) "
      "select n from r where n % 2000 = 0");
  int count = 0;
  for (; !rows->Eof(); rows->Next()) {
    ++count;
    const std::clock_t begin = std::clock();
    while (std::clock() - begin < CLOCKS_PER_SEC * 15 / 100) {
    }
  }
  EXPECT_EQ(count, 3);

  // Read-write connections (the tools that build databases) have no limit.
  TSQLiteDatabase writable(dir / "other.db", TSQLiteOpenMode::omReadWriteCreate);
  EXPECT_EQ(writable.WorkLimit().MaxInstructions, 0u);
  EXPECT_EQ(writable.GetTableValue("with recursive r(n) as (select 1 union all select n + 1 from r where n < 2000000) "
                                   "select count(*) from r"),
            2000000);
}

TEST(SQLiteLayer, KnowledgeConnectionsRefuseHugeValues) {
  TTempDir dir;
  auto db = TSQLite3::LoadDB(MakeDatabase(dir));
  ASSERT_TRUE(db);
  EXPECT_EQ(db->GetTableValue("select length(zeroblob(900000))"), 900000);
  try {
    db->GetTableValue("select length(hex(zeroblob(900000)))");
    ADD_FAILURE();
  } catch (const ESQLiteException& e) {
    EXPECT_EQ(e.Reason(), "string or blob too big");
  }
}

TEST(SQLiteLayer, ImmutableUriEncodesEveryByteOutsideTheUnreservedSet) {
  EXPECT_EQ(TSQLite3::ImmutableUri("/a b/c?d#e%f.mdict"), "file:///a%20b/c%3Fd%23e%25f.mdict?immutable=1");
  EXPECT_EQ(TSQLite3::ImmutableUri("/x/\xC3\xBC-_.~"), "file:///x/%C3%BC-_.~?immutable=1");
  // A relative name is made absolute against the current folder.
  EXPECT_EQ(TSQLite3::ImmutableUri("rel.mdict"),
            "file://" + (std::filesystem::current_path() / "rel.mdict").string() + "?immutable=1");
}

TEST(SQLiteLayer, EscapeStringOnlyPrefixesDoubleQuotes) {
  TPlainDataBase db;
  EXPECT_EQ(db.EscapeString(R"(a"b'c\d"")"), R"(a\"b'c\d\"\")");
  EXPECT_EQ(db.EscapeString(""), "");
}

}  // namespace
