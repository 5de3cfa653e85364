// Thin access layer over the SQLite C library: one connection
// (TSQLiteDatabase), forward-only query results (TSQLiteUniTable) and the
// loader used for the knowledge files (TSQLite3::LoadDB).
//
// Knowledge files are data from outside the program and may be hostile. They
// are opened immutable and read-only: SQLite takes no locks, never looks for
// or creates a journal, -wal or -shm file, never maps the file into memory
// and never creates a missing file. Every statement on such a connection
// gets a bounded amount of work (TSQLiteWorkLimit): one that exceeds it is
// interrupted and fails like any other failing statement.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/target_system.h"
#include "support/exceptions.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillmark {

class TRegExpCache;

// Errors of this layer. Besides the full message, Reason() is the short
// cause a user can be shown: the engine's own message, the operating
// system's error text, or kWorkLimitReason for a statement stopped by the
// work limit.
class ESQLiteException : public Exception {
 public:
  explicit ESQLiteException(const std::string& AMessage, std::string AReason = {}, bool AWorkLimit = false)
      : Exception(AMessage), FReason(std::move(AReason)), FWorkLimit(AWorkLimit) {}
  const char* ClassName() const override { return "ESQLiteException"; }
  std::string Reason() const { return FReason.empty() ? std::string(what()) : FReason; }
  // The statement was interrupted because it exceeded its work limit.
  bool WorkLimit() const { return FWorkLimit; }

 private:
  std::string FReason;
  bool FWorkLimit = false;
};

// The reason given for a statement stopped by its work limit.
inline constexpr const char* kWorkLimitReason = "query interrupted: work limit";

// How much work one statement may do before it is interrupted. Work is
// counted in virtual-machine instructions (sqlite3_progress_handler) and, to
// catch single instructions that are expensive (a regular expression that
// backtracks, a long text built by a function), in CPU time of the calling
// thread spent inside the statement's steps.
struct TSQLiteWorkLimit {
  std::uint64_t MaxInstructions = 0;  // 0: unbounded
  std::uint32_t MaxCpuMilliseconds = 0;  // 0: unbounded

  // The limit of knowledge connections: 10,000,000 instructions and 1 s of
  // CPU time per statement. The readers' real queries stay below 100,000
  // instructions and a millisecond (an indexed look-up takes a few dozen
  // instructions; a scan of a list of a few thousand rows some tens of
  // thousands); the bound is reached in well under a second by a statement
  // that loops.
  static TSQLiteWorkLimit Knowledge() { return {10'000'000, 1000}; }
  static TSQLiteWorkLimit None() { return {}; }
};

// Text of an SQLite primary result code; unknown codes (negative ones
// included) read "Unknown SQLite Error Code "<code>"".
std::string ErrorCodeText(int ACode);

enum class TSQLiteOpenMode {
  omReadOnly,         // an existing database, never written or created
  omReadWriteCreate,  // created when missing; for the tools that build databases
};

// A parameter waiting to be bound to the next statement prepared.
struct TSQliteParam {
  enum TValueType : int { vtInteger = 1, vtFloat = 2, vtText = 3, vtNull = 5 };
  std::string name;  // as written in the SQL (":id", "@name", "$x", "?1")
  int valuetype = vtNull;
  std::int64_t valueinteger = 0;
  double valuefloat = 0;
  std::string valuedata;
};

class TSQLiteUniTable;

class TSQLiteDatabase {
 public:
  // Opens the file and checks that it is a readable database; raises
  // ESQLiteException "Failed to open database "<name>" : <reason>" otherwise.
  // Read-only opening is the knowledge-file form (immutable, see above) and
  // installs TSQLiteWorkLimit::Knowledge() and tight size limits; the
  // read-write form has neither.
  explicit TSQLiteDatabase(const std::string& AFileName, TSQLiteOpenMode AMode = TSQLiteOpenMode::omReadOnly);
  // Rolls back an open transaction and closes the connection.
  ~TSQLiteDatabase();
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

  sqlite3* DB() const { return fDB; }
  const std::string& FileName() const { return FFileName; }

  // A forward-only result positioned on its first row; pending parameters are
  // bound to it and cleared.
  std::unique_ptr<TSQLiteUniTable> GetUniTable(const std::string& ASQL);
  // First column of the first row: as an integer (0 without a row) or as text
  // (empty without a row).
  std::int64_t GetTableValue(const std::string& ASQL);
  std::string GetTableString(const std::string& ASQL);
  // Runs one statement, ignoring every failure.
  void ExecSQL(const std::string& ASQL) noexcept;
  // Runs every statement of the text; raises ESQLiteException on the first failure.
  void ExecSQLChecked(const std::string& ASQL);

  void BeginTransaction();
  void Commit();
  void Rollback();
  bool isTransactionOpen() const { return fInTrans; }
  void SetSynchronised(bool AValue);
  bool Synchronised() const { return fSync; }
  void SetTimeout(int AMilliseconds);
  bool TableExists(const std::string& ATableName);
  std::int64_t GetLastInsertRowID();
  std::int64_t GetLastChangedRows();
  std::int64_t RowsChanged();
  static std::string version();

  void AddParamInt(const std::string& AName, std::int64_t AValue);
  void AddParamFloat(const std::string& AName, double AValue);
  void AddParamText(const std::string& AName, const std::string& AValue);
  void AddParamNull(const std::string& AName);
  void ParamsClear() { fParams.clear(); }
  // Binds every pending parameter whose name the statement holds, then clears them.
  void BindParams(sqlite3_stmt* AStmt);

  // Raises ESQLiteException with AMsg, and, when the connection reports an
  // error, ".\rError [<code>]: <code text>.\r"<sql>": <engine message>".
  [[noreturn]] void RaiseDatabaseError(const std::string& AMsg, const std::string& ASQL);

  // The system whose Windows version "CheckOSVersion" judges against.
  runtime::ITargetSystem& Target() const { return *FTarget; }
  void SetTarget(std::shared_ptr<runtime::ITargetSystem> ATarget);
  // Compiled regular expressions of this connection, shared by its functions.
  TRegExpCache& RegExpCache();

  // Prepared statements kept for reuse on a knowledge connection, whose
  // schema cannot change, by SQL text: a table takes one (nothing when none
  // is idle) and gives it back reset when it is done, so that a query asked
  // for every analysed file is parsed once per connection.
  sqlite3_stmt* TakeCachedStatement(const std::string& ASQL);
  void ReturnCachedStatement(const std::string& ASQL, sqlite3_stmt* AStmt);

  // The work each statement of this connection may do.
  void SetWorkLimit(const TSQLiteWorkLimit& ALimit);
  const TSQLiteWorkLimit& WorkLimit() const { return FLimit; }
  // Starts counting the work of a new statement; the table class calls it
  // before preparing, and code that steps its own cached statements calls it
  // before each use of one.
  void BeginStatement();
  // Marks the start of one step of the current statement (CPU time is
  // counted inside steps only, not while the caller works on a row).
  void BeginStep();
  // The current statement was interrupted by the work limit.
  bool WorkLimitReached() const { return FLimitHit; }

 private:
  static int ProgressCallback(void* ASelf);
  int OnProgress();

  std::string FFileName;
  sqlite3* fDB = nullptr;
  bool fInTrans = false;
  bool fSync = false;
  std::vector<TSQliteParam> fParams;
  std::shared_ptr<runtime::ITargetSystem> FTarget;
  std::unique_ptr<TRegExpCache> FRegExpCache;
  bool FImmutable = false;
  std::unordered_multimap<std::string, sqlite3_stmt*> FStatementCache;
  static constexpr std::size_t kMaxCachedStatements = 32;

  TSQLiteWorkLimit FLimit;
  std::uint64_t FInstructions = 0;   // counted for the current statement
  std::uint64_t FCpuBefore = 0;      // CPU nanoseconds of the statement's earlier steps
  std::uint64_t FCpuUsed = 0;        // CPU nanoseconds of the statement so far
  std::uint64_t FStepStart = 0;      // CPU clock at the first progress call of this step
  bool FStepTimed = false;
  bool FLimitHit = false;
};

// One query's rows, read forward only; holds its statement until destroyed.
class TSQLiteUniTable {
 public:
  // Column type codes.
  static constexpr int dtInt = 1, dtNumeric = 2, dtStr = 3, dtBlob = 4, dtNull = 5;

  TSQLiteUniTable(TSQLiteDatabase& ADB, const std::string& ASQL);
  ~TSQLiteUniTable();
  TSQLiteUniTable(const TSQLiteUniTable&) = delete;
  TSQLiteUniTable& operator=(const TSQLiteUniTable&) = delete;

  // Steps one row; answers whether a row is current.
  bool Next();
  bool Eof() const { return fEOF; }
  int ColCount() const { return fColCount; }
  std::int64_t Row() const { return fRow; }
  // Upper-cased column names and their type codes, in column order.
  const std::vector<std::string>& Columns() const { return fCols; }
  const std::vector<int>& ColumnTypes() const { return fColTypes; }

  std::int64_t FieldAsInteger(int I);
  double FieldAsDouble(int I);
  // The column's text; empty for NULL.
  std::string FieldAsString(int I);
  bool FieldIsNull(int I);
  std::string GetFieldByName(const std::string& AFieldName);
  int GetFieldIndex(const std::string& AFieldName);

 private:
  TSQLiteDatabase& fDB;
  std::string fSQL;
  sqlite3_stmt* fStmt = nullptr;
  int fColCount = 0;
  std::vector<std::string> fCols;
  std::vector<int> fColTypes;
  std::int64_t fRow = 0;
  bool fEOF = false;
  bool fReusable = false;
};

class TSQLite3 {
 public:
  TSQLite3() = delete;
  // A knowledge connection (immutable, read-only, work-limited) to an
  // existing regular file, or nullptr when there is no file of that name;
  // raises ESQLiteException when the name is not a regular file or the file
  // is not a readable database (unreadable, truncated, not a database). The
  // exception's Reason() is the operating system's error text, "not a
  // regular file", or SQLite's message.
  static std::unique_ptr<TSQLiteDatabase> LoadDB(const std::string& AFileName);
  // The "file:" URI that opens a file name immutable and read-only: the name
  // made absolute and percent-encoded, so that '?', '#', '%' and blanks stay
  // part of it.
  static std::string ImmutableUri(const std::string& AFileName);
};

}  // namespace quillmark
