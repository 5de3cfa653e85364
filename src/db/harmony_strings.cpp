#include "db/harmony_strings.h"

#include <sqlite3.h>

#include <cmath>

#include "db/knowledge_keys.h"
#include "quillmark/host_services.h"
#include "support/debug_log.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

constexpr const char* kNGramQueries[2] = {"select count from stats2 where hash=?1",
                                          "select count from stats3 where hash=?1"};
constexpr const char* kBaseInfoQuery = "select * from baseinfo";

std::uint32_t CodePointOf(std::string_view ch) {
  auto b = static_cast<std::uint8_t>(ch[0]);
  if (ch.size() == 1) return b;
  std::uint32_t cp = ch.size() == 2 ? (b & 0x1Fu) : ch.size() == 3 ? (b & 0x0Fu) : (b & 0x07u);
  for (std::size_t i = 1; i < ch.size(); ++i) cp = (cp << 6) | (static_cast<std::uint8_t>(ch[i]) & 0x3Fu);
  return cp;
}

bool IsLowerLetter(std::uint32_t cp) {
  return runtime::IsLowerCodePoint(static_cast<char32_t>(cp));
}

bool IsVowel(std::uint32_t cp) {
  if (cp >= 256) return false;
  switch (cp) {
    case 'a': case 'e': case 'i': case 'o': case 'u': case 'y':
    case 0xE0: case 0xE5: case 0xE8: case 0xE9: case 0xEE: case 0xF3: case 0xFB: case 0xFD: case 0xFE: case 0xFF:
      return true;
    default:
      return false;
  }
}

}  // namespace

TMalwareHarmonyStrings::~TMalwareHarmonyStrings() { FinalizeStatements(); }

void TMalwareHarmonyStrings::Initialize() {
  FStatInfo = {};
  FStatInfo[Index(THarmonySchemeType::hstDigramm)].Length = 2;
  FStatInfo[Index(THarmonySchemeType::hstTrigramm)].Length = 3;
}

void TMalwareHarmonyStrings::FinalizeStatements() {
  for (sqlite3_stmt*& stmt : FStatements) {
    if (stmt) sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  FStatementsOwner = nullptr;
}

std::vector<TCustomSqlLiteDataBase::TRequiredStatement> TMalwareHarmonyStrings::RequiredStatements() const {
  return {{"baseinfo", kBaseInfoQuery}, {"stats2", kNGramQueries[0]}, {"stats3", kNGramQueries[1]}};
}

void TMalwareHarmonyStrings::RegisterFunctions() {
  std::lock_guard<std::recursive_mutex> guard(FCS);
  FinalizeStatements();
  Initialize();
  TSQLiteDatabase* db = DB();
  if (!db) return;
  try {
    const std::string missing = MissingTable(*db, "baseinfo");
    if (!missing.empty()) throw ESQLiteException(missing, missing);
    auto table = db->GetUniTable(kBaseInfoQuery);
    const int dictIndex = table->Eof() ? -1 : table->GetFieldIndex("dict");
    for (; !table->Eof(); table->Next()) {
      std::int64_t dict = table->FieldAsInteger(dictIndex);
      if (dict != 0 && dict != 1) continue;
      TStatInfo& info = FStatInfo[static_cast<std::size_t>(dict)];
      info.VLFactor = table->FieldAsDouble(table->GetFieldIndex("vlfactor"));
      info.WCount = static_cast<std::uint32_t>(table->FieldAsInteger(table->GetFieldIndex("wcount")));
    }
  } catch (const ESQLiteException& e) {
    // Part of opening: Problem() tells it, as it tells a file that did not open.
    Initialize();
    DebugLog().LogError(TLogLevel::llWarning, "RegisterFunctions", e, ClassName());
    SetAside(e.Reason());
  }
}

std::string TMalwareHarmonyStrings::Normalize(std::string_view AText) {
  return TKnowledgeKeys::LowerCase(TKnowledgeKeys::Trim(AText));
}

std::vector<std::string_view> TMalwareHarmonyStrings::SplitCharacters(std::string_view AText) {
  std::vector<std::string_view> out;
  out.reserve(AText.size());
  for (std::size_t i = 0; i < AText.size();) {
    char32_t cp = 0;
    std::size_t len = DecodeUtf8(AText, i, cp);
    if (len == 0) len = 1;  // a malformed byte stands alone
    out.push_back(AText.substr(i, len));
    i += len;
  }
  return out;
}

Extended TMalwareHarmonyStrings::LetterRatio(std::string_view AText) {
  Extended vowels = 0, consonants = 0;
  for (std::string_view ch : SplitCharacters(AText)) {
    std::uint32_t cp = CodePointOf(ch);
    if (!IsLowerLetter(cp)) continue;
    if (IsVowel(cp))
      ++vowels;
    else
      ++consonants;
  }
  if (vowels != 0 && consonants != 0) return consonants / vowels;
  if (consonants != 0) return consonants;
  if (vowels != 0) return vowels;
  return 1;
}

Extended TMalwareHarmonyStrings::Factor(Extended ARatio, THarmonySchemeType AScheme) const {
  const TStatInfo& info = FStatInfo[Index(AScheme)];
  Extended typical = info.WCount != 0 ? info.VLFactor / info.WCount : info.VLFactor;
  Extended distance = std::fabs(ARatio - typical);
  if (distance == 0) distance = 1;
  return 1000 / distance;
}

std::int64_t TMalwareHarmonyStrings::NGramCount(TSQLiteDatabase& db, THarmonySchemeType AScheme, std::int32_t AKey) {
  if (FStatementsOwner != db.DB()) {
    FinalizeStatements();
    FStatementsOwner = db.DB();
  }
  sqlite3_stmt*& stmt = FStatements[Index(AScheme)];
  const char* sql = kNGramQueries[Index(AScheme)];
  db.BeginStatement();
  db.BeginStep();
  if (!stmt && sqlite3_prepare_v2(db.DB(), sql, -1, &stmt, nullptr) != SQLITE_OK) {
    stmt = nullptr;
    db.RaiseDatabaseError("Could not prepare SQL statement", sql);
  }
  sqlite3_reset(stmt);
  sqlite3_bind_int64(stmt, 1, AKey);
  int rc = sqlite3_step(stmt);
  std::int64_t count = 0;
  if (rc == SQLITE_ROW) {
    count = sqlite3_column_int64(stmt, 0);
  } else if (rc != SQLITE_DONE) {
    sqlite3_reset(stmt);
    db.RaiseDatabaseError("Error executing SQL", sql);
  }
  sqlite3_reset(stmt);
  return count;
}

TStringHarmonyInfo TMalwareHarmonyStrings::SchemeSum(TSQLiteDatabase& ADB, const std::vector<std::string_view>& AChars,
                                                     THarmonySchemeType AScheme) {
  TStringHarmonyInfo r;
  const TStatInfo& info = FStatInfo[Index(AScheme)];
  const std::size_t n = info.Length;
  if (n == 0 || AChars.size() < n) return r;
  std::string gram;
  for (std::size_t p = 0; p + n <= AChars.size(); ++p) {
    gram.clear();
    for (std::size_t k = 0; k < n; ++k) gram.append(AChars[p + k]);
    r.Total += static_cast<Extended>(NGramCount(ADB, AScheme, TKnowledgeKeys::NGramKey(gram)));
  }
  if (info.WCount != 0) r.Total /= info.WCount;
  r.Average = r.Total / static_cast<Extended>(AChars.size() - n + 1);
  return r;
}

bool TMalwareHarmonyStrings::GetStringInfoByScheme(const std::string& AString, THarmonySchemeType AScheme,
                                                   PStringHarmonyInfo AInfo) {
  if (!IsOpened() || AString.empty()) return false;
  return Query("GetStringInfoByScheme", false, [&](TSQLiteDatabase& db) {
    const std::string s = Normalize(AString);
    const std::vector<std::string_view> chars = SplitCharacters(s);
    TStringHarmonyInfo r = SchemeSum(db, chars, AScheme);
    const Extended factor = Factor(LetterRatio(s), AScheme);
    if (AInfo) {
      AInfo->Total = r.Total * factor;
      AInfo->Average = r.Average * factor;
    }
    return true;
  });
}

bool TMalwareHarmonyStrings::GetStringInfo(const std::string& AString, PStringHarmonyInfo AInfo) {
  if (!IsOpened()) return false;
  return Query("GetStringInfo", false, [&](TSQLiteDatabase& db) {
    const std::string s = Normalize(AString);
    const std::vector<std::string_view> chars = SplitCharacters(s);
    TStringHarmonyInfo sums[2] = {SchemeSum(db, chars, THarmonySchemeType::hstDigramm),
                                  SchemeSum(db, chars, THarmonySchemeType::hstTrigramm)};
    const Extended factor = Factor(LetterRatio(s), THarmonySchemeType::hstTrigramm);
    TStringHarmonyInfo info;
    for (const TStringHarmonyInfo& r : sums) {
      info.Total += r.Total;
      info.Average = (info.Average + r.Average) / 2;
    }
    info.Total *= factor;
    info.Average *= factor;
    if (AInfo) *AInfo = info;
    return true;
  });
}

}  // namespace quillmark
