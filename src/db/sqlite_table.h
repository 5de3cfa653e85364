// Thin access layer over the SQLite C library: one connection
// (TSQLiteDatabase), forward-only query results (TSQLiteUniTable) and the
// loader used for the knowledge files (TSQLite3::LoadDB).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/target_system.h"
#include "support/exceptions.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillmark {

class TRegExpCache;

// Errors of this layer; the message only.
class ESQLiteException : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "ESQLiteException"; }
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

 private:
  std::string FFileName;
  sqlite3* fDB = nullptr;
  bool fInTrans = false;
  bool fSync = false;
  std::vector<TSQliteParam> fParams;
  std::shared_ptr<runtime::ITargetSystem> FTarget;
  std::unique_ptr<TRegExpCache> FRegExpCache;
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
};

class TSQLite3 {
 public:
  TSQLite3() = delete;
  // A read-only connection to an existing regular file, or nullptr when there
  // is no such file; raises ESQLiteException when the file is not a readable
  // database (unreadable, locked by another writer, not a database).
  static std::unique_ptr<TSQLiteDatabase> LoadDB(const std::string& AFileName);
};

}  // namespace quillmark
