#include "db/sqlite_table.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "db/regexp_cache.h"
#include "quillmark/host_services.h"

namespace quillmark {

namespace {

std::string AsciiUpper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

constexpr std::array<const char*, 27> kErrorTexts = {
    "Successful result",
    "SQL error or missing database",
    "An internal logic error in SQLite",
    "Access permission denied",
    "Callback routine requested an abort",
    "The database file is locked",
    "A table in the database is locked",
    "A malloc() failed",
    "Attempt to write a readonly database",
    "Operation terminated by sqlite3_interrupt()",
    "Some kind of disk I/O error occurred",
    "The database disk image is malformed",
    "(Internal Only) Table or record not found",
    "Insertion failed because database is full",
    "Unable to open the database file",
    "Database lock protocol error",
    "Database is empty",
    "The database schema changed",
    "Too much data for one row of a table",
    "Abort due to contraint violation",
    "Data type mismatch",
    "Library used incorrectly",
    "Uses OS features not supported on host",
    "Authorization denied",
    "Auxiliary database format error",
    "2nd parameter to sqlite3_bind out of range",
    "File opened that is not a database file",
};

// SQLite reads a name that starts with "file:" as a URI when URI names are
// enabled in the build; a relative name is kept a plain path by "./".
std::string PlainPathName(const std::string& name) {
  if (name.rfind("file:", 0) == 0) return "./" + name;
  return name;
}

// The progress handler runs every this many virtual-machine instructions.
constexpr int kProgressPeriod = 1000;

// Size limits of a knowledge connection, far above what the readers' tables
// hold (short texts, a few columns) and low enough that a hostile schema or
// row cannot make one instruction build a huge value or a statement expand
// into a huge program.
void ApplyKnowledgeSizeLimits(sqlite3* db) {
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1'000'000);
  sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, 100'000);
  sqlite3_limit(db, SQLITE_LIMIT_COLUMN, 100);
  sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, 100);
  sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, 20);
  sqlite3_limit(db, SQLITE_LIMIT_VDBE_OP, 100'000);
  sqlite3_limit(db, SQLITE_LIMIT_FUNCTION_ARG, 16);
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_limit(db, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 1000);
  sqlite3_limit(db, SQLITE_LIMIT_WORKER_THREADS, 0);
}

[[noreturn]] void RaiseOpenError(const std::string& AFileName, const std::string& AReason, bool AWorkLimit = false) {
  throw ESQLiteException("Failed to open database \"" + AFileName + "\" : " + AReason, AReason, AWorkLimit);
}

}  // namespace

std::string ErrorCodeText(int ACode) {
  if (ACode >= 0 && ACode < static_cast<int>(kErrorTexts.size())) return kErrorTexts[static_cast<std::size_t>(ACode)];
  if (ACode == SQLITE_ROW) return "sqlite3_step() has another row ready";
  if (ACode == SQLITE_DONE) return "sqlite3_step() has finished executing";
  return "Unknown SQLite Error Code \"" + std::to_string(ACode) + "\"";
}

// --- TSQLiteDatabase ---------------------------------------------------------------

TSQLiteDatabase::TSQLiteDatabase(const std::string& AFileName, TSQLiteOpenMode AMode)
    : FFileName(AFileName), FTarget(runtime::LiveHost()) {
  int rc;
  FImmutable = AMode == TSQLiteOpenMode::omReadOnly;
  if (AMode == TSQLiteOpenMode::omReadOnly) {
    rc = sqlite3_open_v2(TSQLite3::ImmutableUri(AFileName).c_str(), &fDB, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                         nullptr);
    if (rc == SQLITE_OK) {
      ApplyKnowledgeSizeLimits(fDB);
      SetWorkLimit(TSQLiteWorkLimit::Knowledge());
    }
  } else {
    rc = sqlite3_open_v2(PlainPathName(AFileName).c_str(), &fDB, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  }
  if (rc == SQLITE_OK) {
    BeginStatement();
    BeginStep();
    // A file that shrinks under a mapping would kill the process; SQLite
    // reads knowledge files with plain reads.
    if (AMode == TSQLiteOpenMode::omReadOnly) rc = sqlite3_exec(fDB, "PRAGMA mmap_size=0", nullptr, nullptr, nullptr);
    // SQLite reads the file lazily: reading the schema now tells a database
    // from a file that is locked, unreadable, truncated or something else.
    if (rc == SQLITE_OK) {
      BeginStatement();
      BeginStep();
      rc = sqlite3_exec(fDB, "select count(*) from sqlite_master", nullptr, nullptr, nullptr);
    }
  }
  if (rc != SQLITE_OK) {
    std::string reason = fDB ? sqlite3_errmsg(fDB) : "unknown error";
    const int primary = rc & 0xFF;
    if (fDB && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_PERM)) {
      // The operating system's word says more than "unable to open database file".
      if (int sys = sqlite3_system_errno(fDB)) reason = std::generic_category().message(sys);
    }
    const bool workLimit = FLimitHit;
    if (workLimit) reason = kWorkLimitReason;
    if (fDB) sqlite3_close_v2(fDB);
    fDB = nullptr;
    RaiseOpenError(AFileName, reason, workLimit);
  }
}

TSQLiteDatabase::~TSQLiteDatabase() {
  if (fInTrans) ExecSQL("ROLLBACK");
  for (auto& [sql, stmt] : FStatementCache) sqlite3_finalize(stmt);
  FStatementCache.clear();
  if (fDB) sqlite3_close_v2(fDB);
  fDB = nullptr;
}

void TSQLiteDatabase::SetTarget(std::shared_ptr<runtime::ITargetSystem> ATarget) {
  FTarget = ATarget ? std::move(ATarget) : runtime::LiveHost();
}

TRegExpCache& TSQLiteDatabase::RegExpCache() {
  if (!FRegExpCache) FRegExpCache = std::make_unique<TRegExpCache>();
  return *FRegExpCache;
}

sqlite3_stmt* TSQLiteDatabase::TakeCachedStatement(const std::string& ASQL) {
  if (!FImmutable) return nullptr;
  auto it = FStatementCache.find(ASQL);
  if (it == FStatementCache.end()) return nullptr;
  sqlite3_stmt* stmt = it->second;
  FStatementCache.erase(it);
  return stmt;
}

void TSQLiteDatabase::ReturnCachedStatement(const std::string& ASQL, sqlite3_stmt* AStmt) {
  if (!AStmt) return;
  sqlite3_reset(AStmt);
  sqlite3_clear_bindings(AStmt);
  if (!FImmutable || FStatementCache.size() >= kMaxCachedStatements) {
    sqlite3_finalize(AStmt);
    return;
  }
  FStatementCache.emplace(ASQL, AStmt);
}

std::unique_ptr<TSQLiteUniTable> TSQLiteDatabase::GetUniTable(const std::string& ASQL) {
  return std::make_unique<TSQLiteUniTable>(*this, ASQL);
}

std::int64_t TSQLiteDatabase::GetTableValue(const std::string& ASQL) {
  TSQLiteUniTable table(*this, ASQL);
  return table.Eof() ? 0 : table.FieldAsInteger(0);
}

std::string TSQLiteDatabase::GetTableString(const std::string& ASQL) {
  TSQLiteUniTable table(*this, ASQL);
  return table.Eof() ? std::string() : table.FieldAsString(0);
}

void TSQLiteDatabase::ExecSQL(const std::string& ASQL) noexcept {
  sqlite3_stmt* stmt = nullptr;
  BeginStatement();
  BeginStep();
  try {
    if (sqlite3_prepare_v2(fDB, ASQL.c_str(), static_cast<int>(ASQL.size()), &stmt, nullptr) == SQLITE_OK && stmt) {
      BindParams(stmt);
      if (sqlite3_step(stmt) != SQLITE_DONE) sqlite3_reset(stmt);
    }
  } catch (...) {
  }
  fParams.clear();
  sqlite3_finalize(stmt);
}

void TSQLiteDatabase::ExecSQLChecked(const std::string& ASQL) {
  BeginStatement();
  BeginStep();
  char* message = nullptr;
  int rc = sqlite3_exec(fDB, ASQL.c_str(), nullptr, nullptr, &message);
  sqlite3_free(message);
  if (rc != SQLITE_OK) RaiseDatabaseError("Error executing SQL", ASQL);
}

void TSQLiteDatabase::BeginTransaction() {
  if (fInTrans) throw ESQLiteException("Transaction already open");
  ExecSQL("BEGIN TRANSACTION");
  fInTrans = true;
}

void TSQLiteDatabase::Commit() {
  ExecSQL("COMMIT");
  fInTrans = false;
}

void TSQLiteDatabase::Rollback() {
  ExecSQL("ROLLBACK");
  fInTrans = false;
}

void TSQLiteDatabase::SetSynchronised(bool AValue) {
  if (AValue == fSync) return;
  ExecSQL(AValue ? "PRAGMA synchronous = ON;" : "PRAGMA synchronous = OFF;");
  fSync = AValue;
}

void TSQLiteDatabase::SetTimeout(int AMilliseconds) { sqlite3_busy_timeout(fDB, AMilliseconds); }

bool TSQLiteDatabase::TableExists(const std::string& ATableName) {
  AddParamText(":qm_table_name", ATableName);
  TSQLiteUniTable table(*this,
                        "select [sql] from sqlite_master where [type] = 'table' and lower(name) = lower(:qm_table_name)");
  return !table.Eof();
}

std::int64_t TSQLiteDatabase::GetLastInsertRowID() { return sqlite3_last_insert_rowid(fDB); }
std::int64_t TSQLiteDatabase::GetLastChangedRows() { return sqlite3_total_changes64(fDB); }
std::int64_t TSQLiteDatabase::RowsChanged() { return sqlite3_changes64(fDB); }
std::string TSQLiteDatabase::version() { return sqlite3_libversion(); }

void TSQLiteDatabase::AddParamInt(const std::string& AName, std::int64_t AValue) {
  TSQliteParam p;
  p.name = AName;
  p.valuetype = TSQliteParam::vtInteger;
  p.valueinteger = AValue;
  fParams.push_back(std::move(p));
}

void TSQLiteDatabase::AddParamFloat(const std::string& AName, double AValue) {
  TSQliteParam p;
  p.name = AName;
  p.valuetype = TSQliteParam::vtFloat;
  p.valuefloat = AValue;
  fParams.push_back(std::move(p));
}

void TSQLiteDatabase::AddParamText(const std::string& AName, const std::string& AValue) {
  TSQliteParam p;
  p.name = AName;
  p.valuetype = TSQliteParam::vtText;
  p.valuedata = AValue;
  fParams.push_back(std::move(p));
}

void TSQLiteDatabase::AddParamNull(const std::string& AName) {
  TSQliteParam p;
  p.name = AName;
  p.valuetype = TSQliteParam::vtNull;
  fParams.push_back(std::move(p));
}

void TSQLiteDatabase::BindParams(sqlite3_stmt* AStmt) {
  std::vector<TSQliteParam> params;
  params.swap(fParams);
  for (const TSQliteParam& p : params) {
    int index = sqlite3_bind_parameter_index(AStmt, p.name.c_str());
    if (index <= 0) continue;
    switch (p.valuetype) {
      case TSQliteParam::vtInteger:
        sqlite3_bind_int64(AStmt, index, p.valueinteger);
        break;
      case TSQliteParam::vtFloat:
        sqlite3_bind_double(AStmt, index, p.valuefloat);
        break;
      case TSQliteParam::vtText:
        sqlite3_bind_text64(AStmt, index, p.valuedata.data(), p.valuedata.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      default:
        sqlite3_bind_null(AStmt, index);
        break;
    }
  }
}

void TSQLiteDatabase::RaiseDatabaseError(const std::string& AMsg, const std::string& ASQL) {
  int code = fDB ? sqlite3_errcode(fDB) : 0;
  if (code != SQLITE_OK) {
    const char* message = sqlite3_errmsg(fDB);
    if (message) {
      throw ESQLiteException(AMsg + ".\rError [" + std::to_string(code) + "]: " + ErrorCodeText(code) + ".\r\"" +
                                 ASQL + "\": " + message,
                             FLimitHit ? std::string(kWorkLimitReason) : std::string(message), FLimitHit);
    }
  }
  throw ESQLiteException(AMsg, FLimitHit ? std::string(kWorkLimitReason) : std::string(), FLimitHit);
}

void TSQLiteDatabase::SetWorkLimit(const TSQLiteWorkLimit& ALimit) {
  FLimit = ALimit;
  if (!fDB) return;
  if (FLimit.MaxInstructions != 0 || FLimit.MaxCpuMilliseconds != 0)
    sqlite3_progress_handler(fDB, kProgressPeriod, &TSQLiteDatabase::ProgressCallback, this);
  else
    sqlite3_progress_handler(fDB, 0, nullptr, nullptr);
}

void TSQLiteDatabase::BeginStatement() {
  FInstructions = 0;
  FCpuBefore = 0;
  FCpuUsed = 0;
  FStepTimed = false;
  FLimitHit = false;
}

void TSQLiteDatabase::BeginStep() {
  FCpuBefore = FCpuUsed;
  FStepTimed = false;
}

int TSQLiteDatabase::ProgressCallback(void* ASelf) { return static_cast<TSQLiteDatabase*>(ASelf)->OnProgress(); }

int TSQLiteDatabase::OnProgress() {
  FInstructions += kProgressPeriod;
  if (FLimit.MaxInstructions != 0 && FInstructions > FLimit.MaxInstructions) {
    FLimitHit = true;
    return 1;
  }
  if (FLimit.MaxCpuMilliseconds != 0) {
    // The clock is read only once a statement has run a thousand
    // instructions, which the readers' look-ups never do.
    const std::uint64_t now = runtime::ThreadCpuNanoseconds();
    if (!FStepTimed) {
      FStepTimed = true;
      FStepStart = now;
    } else {
      FCpuUsed = FCpuBefore + (now - FStepStart);
      if (FCpuUsed > std::uint64_t{FLimit.MaxCpuMilliseconds} * 1'000'000u) {
        FLimitHit = true;
        return 1;
      }
    }
  }
  return 0;
}

// --- TSQLiteUniTable ----------------------------------------------------------------

TSQLiteUniTable::TSQLiteUniTable(TSQLiteDatabase& ADB, const std::string& ASQL) : fDB(ADB), fSQL(ASQL) {
  // Preparing may read the schema, which counts as this statement's work.
  fDB.BeginStatement();
  fDB.BeginStep();
  const char* tail = nullptr;
  fStmt = fDB.TakeCachedStatement(fSQL);
  int rc = fStmt ? SQLITE_OK : sqlite3_prepare_v2(fDB.DB(), fSQL.c_str(), static_cast<int>(fSQL.size()), &fStmt, &tail);
  if (rc != SQLITE_OK) {
    fDB.ParamsClear();
    fDB.RaiseDatabaseError("Error executing SQL", fSQL);
  }
  if (!fStmt) {
    fDB.ParamsClear();
    fDB.RaiseDatabaseError("Could not prepare SQL statement", fSQL);
  }
  // Only a text that is one statement can be run again from its statement.
  fReusable = tail == nullptr || std::all_of(tail, fSQL.c_str() + fSQL.size(), [](char c) {
                return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ';';
              });
  try {
    fDB.BindParams(fStmt);
    fColCount = sqlite3_column_count(fStmt);
    for (int i = 0; i < fColCount; ++i) {
      const char* name = sqlite3_column_name(fStmt, i);
      fCols.push_back(AsciiUpper(name ? name : ""));
    }
    for (int i = 0; i < fColCount; ++i) {
      const char* declared = sqlite3_column_decltype(fStmt, i);
      int type;
      if (!declared) {
        type = sqlite3_column_type(fStmt, i);
      } else {
        std::string d = declared;
        if (d == "INTEGER" || d == "BOOLEAN")
          type = dtInt;
        else if (d == "NUMERIC" || d == "FLOAT" || d == "DOUBLE" || d == "REAL")
          type = dtNumeric;
        else if (d == "BLOB")
          type = dtBlob;
        else
          type = dtStr;
      }
      fColTypes.push_back(type);
    }
    Next();
  } catch (...) {
    sqlite3_finalize(fStmt);
    fStmt = nullptr;
    throw;
  }
}

TSQLiteUniTable::~TSQLiteUniTable() {
  // A statement of one SQL command goes back to the connection for the next
  // query with the same text.
  if (fStmt && fReusable) fDB.ReturnCachedStatement(fSQL, fStmt);
  else if (fStmt) sqlite3_finalize(fStmt);
}

bool TSQLiteUniTable::Next() {
  fEOF = true;
  fDB.BeginStep();
  int rc = sqlite3_step(fStmt);
  if (rc == SQLITE_ROW) {
    fEOF = false;
    ++fRow;
  } else if (rc != SQLITE_DONE) {
    sqlite3_reset(fStmt);
    fDB.RaiseDatabaseError("Could not retrieve data", fSQL);
  }
  return !fEOF;
}

std::int64_t TSQLiteUniTable::FieldAsInteger(int I) { return sqlite3_column_int64(fStmt, I); }

double TSQLiteUniTable::FieldAsDouble(int I) { return sqlite3_column_double(fStmt, I); }

std::string TSQLiteUniTable::FieldAsString(int I) {
  const unsigned char* text = sqlite3_column_text(fStmt, I);
  if (!text) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(fStmt, I)));
}

bool TSQLiteUniTable::FieldIsNull(int I) { return sqlite3_column_type(fStmt, I) == SQLITE_NULL; }

std::string TSQLiteUniTable::GetFieldByName(const std::string& AFieldName) {
  return FieldAsString(GetFieldIndex(AFieldName));
}

int TSQLiteUniTable::GetFieldIndex(const std::string& AFieldName) {
  if (fCols.empty()) throw ESQLiteException("Field " + AFieldName + " Not found. Empty dataset");
  std::string wanted = AsciiUpper(AFieldName);
  for (std::size_t i = 0; i < fCols.size(); ++i)
    if (fCols[i] == wanted) return static_cast<int>(i);
  throw ESQLiteException("Field not found in dataset: " + AFieldName);
}

// --- TSQLite3 -----------------------------------------------------------------------

std::unique_ptr<TSQLiteDatabase> TSQLite3::LoadDB(const std::string& AFileName) {
  if (AFileName.empty()) return nullptr;
  // SQLite would block for ever opening a FIFO and has no use for a folder or
  // a device: only a regular file (or a link to one) is handed to it.
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(AFileName, ec);
  if (status.type() == std::filesystem::file_type::not_found) return nullptr;
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return nullptr;
    RaiseOpenError(AFileName, ec.message());
  }
  if (status.type() != std::filesystem::file_type::regular) RaiseOpenError(AFileName, "not a regular file");
  return std::make_unique<TSQLiteDatabase>(AFileName, TSQLiteOpenMode::omReadOnly);
}

std::string TSQLite3::ImmutableUri(const std::string& AFileName) {
  std::error_code ec;
  std::string path = std::filesystem::absolute(AFileName, ec).string();
  if (ec || path.empty()) path = AFileName;
  static const char kHex[] = "0123456789ABCDEF";
  // "file://" and an absolute path leave the authority empty; SQLite decodes
  // every %HH of the path back to its byte.
  std::string uri = !path.empty() && path.front() == '/' ? "file://" : "file:";
  for (char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      uri += ch;
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0x0F];
    }
  }
  uri += "?immutable=1";
  return uri;
}

}  // namespace quillmark
