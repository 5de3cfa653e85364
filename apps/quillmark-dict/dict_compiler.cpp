#include "dict_compiler.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "db/harmony_strings.h"
#include "db/knowledge_keys.h"
#include "db/regexp_cache.h"
#include "db/sqlite_table.h"
#include "db/system_crypt.h"
#include "runtime/target_system.h"

namespace quillmark::dict {

namespace {

// --- reading sources -----------------------------------------------------------------

struct TRow {
  int Line = 0;
  std::vector<std::string> Fields;  // as many as the header has columns
};

struct TSection {
  std::string File;
  int HeaderLine = 0;
  std::vector<std::string> Header;
  std::vector<TRow> Rows;
  std::string Where(int line) const { return File + ":" + std::to_string(line); }
};

std::string TrimBlanks(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(TrimBlanks(std::string_view(line).substr(start, tab == std::string::npos ? tab : tab - start)));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

// Sections of a file: a header line, then rows. "#" starts a comment line; a
// comment line starting with "## " starts a new section.
std::vector<TSection> ReadSource(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ESourceError(path + ": cannot read the file");
  std::vector<TSection> sections;
  bool wantHeader = true;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.rfind("## ", 0) == 0) {
      wantHeader = true;
      continue;
    }
    if (TrimBlanks(line).empty() || line[0] == '#') continue;
    std::vector<std::string> fields = SplitTabs(line);
    if (wantHeader) {
      TSection section;
      section.File = path;
      section.HeaderLine = number;
      for (auto& f : fields) section.Header.push_back(TKnowledgeKeys::LowerCase(f));
      sections.push_back(std::move(section));
      wantHeader = false;
      continue;
    }
    TSection& section = sections.back();
    if (fields.size() > section.Header.size())
      throw ESourceError(section.Where(number) + ": " + std::to_string(fields.size()) + " fields, the header has " +
                         std::to_string(section.Header.size()));
    fields.resize(section.Header.size());
    section.Rows.push_back(TRow{number, std::move(fields)});
  }
  return sections;
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : "\\t") + x;
  return s;
}

// Field of a row by column name; empty when the header lacks the column.
const std::string& Field(const TSection& s, const TRow& r, const std::string& column) {
  static const std::string kEmpty;
  for (std::size_t i = 0; i < s.Header.size(); ++i)
    if (s.Header[i] == column) return r.Fields[i];
  return kEmpty;
}

std::int64_t ParseInteger(const TSection& s, const TRow& r, const std::string& column, std::int64_t min,
                          std::int64_t max) {
  const std::string& text = Field(s, r, column);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
    throw ESourceError(s.Where(r.Line) + ": " + column + " must be an integer from " + std::to_string(min) + " to " +
                       std::to_string(max) + ", not \"" + text + "\"");
  return value;
}

// --- writing databases --------------------------------------------------------------

class TWriter {
 public:
  explicit TWriter(const std::string& path) : FPath(path) {
    std::error_code ec;
    std::filesystem::remove(FPath, ec);
    if (sqlite3_open_v2(FPath.c_str(), &FDB, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      Fail("cannot create");
    Exec("PRAGMA journal_mode = DELETE; BEGIN");
  }
  ~TWriter() {
    if (FDB) sqlite3_close_v2(FDB);
  }
  void Exec(const std::string& sql) {
    if (sqlite3_exec(FDB, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
  }
  // Runs an insert with the values bound in order (nullopt binds NULL).
  void Insert(const std::string& sql, const std::vector<std::optional<std::string>>& texts) {
    sqlite3_stmt* stmt = Prepared(sql);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (texts[i])
        sqlite3_bind_text64(stmt, static_cast<int>(i + 1), texts[i]->data(), texts[i]->size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
      else
        sqlite3_bind_null(stmt, static_cast<int>(i + 1));
    }
    Step(stmt, sql);
  }
  void InsertIntegers(const std::string& sql, const std::vector<std::int64_t>& values) {
    sqlite3_stmt* stmt = Prepared(sql);
    for (std::size_t i = 0; i < values.size(); ++i) sqlite3_bind_int64(stmt, static_cast<int>(i + 1), values[i]);
    Step(stmt, sql);
  }
  void Finish() {
    Exec("COMMIT");
    for (auto& [sql, stmt] : FStatements) sqlite3_finalize(stmt);
    FStatements.clear();
    if (sqlite3_close(FDB) != SQLITE_OK) Fail("close");
    FDB = nullptr;
  }

 private:
  sqlite3_stmt* Prepared(const std::string& sql) {
    auto& stmt = FStatements[sql];
    if (!stmt && sqlite3_prepare_v2(FDB, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return stmt;
  }
  void Step(sqlite3_stmt* stmt, const std::string& sql) {
    if (sqlite3_step(stmt) != SQLITE_DONE) Fail(sql);
  }
  [[noreturn]] void Fail(const std::string& what) {
    std::string message = FDB ? sqlite3_errmsg(FDB) : "out of memory";
    throw ESourceError(FPath + ": " + what + ": " + message);
  }

  std::string FPath;
  sqlite3* FDB = nullptr;
  std::map<std::string, sqlite3_stmt*> FStatements;
};

const std::vector<std::string> kThreatsHeader = {"id", "severity", "name"};
const std::vector<std::string> kSignersHeader = {"list", "signer", "serial", "issuer", "mode"};
const std::vector<std::string> kCompaniesHeader = {"list", "company"};
const std::vector<std::string> kNetworksHeader = {"first", "last"};
const std::vector<std::string> kSysFilesHeader = {"name",   "folder",        "recursive",    "min_os",
                                                  "max_os", "folder_min_os", "folder_max_os"};
const std::vector<std::string> kSchemeHeader = {"name"};

[[noreturn]] void UnknownHeader(const TSection& s, const std::string& accepted) {
  throw ESourceError(s.Where(s.HeaderLine) + ": header \"" + Join(s.Header) + "\" is not one of " + accepted);
}

std::optional<std::string> NullIfEmpty(const std::string& s) {
  return s.empty() ? std::nullopt : std::optional<std::string>(s);
}

// "black"/"0" or "white"/"1".
std::int64_t ListFlag(const TSection& s, const TRow& r) {
  std::string v = TKnowledgeKeys::LowerCase(Field(s, r, "list"));
  if (v == "black" || v == "0") return 0;
  if (v == "white" || v == "1") return 1;
  throw ESourceError(s.Where(r.Line) + ": list must be black or white, not \"" + Field(s, r, "list") + "\"");
}

std::string CheckedPattern(const TSection& s, const TRow& r, const std::string& column) {
  const std::string& pattern = Field(s, r, column);
  std::string error;
  if (!pattern.empty() && !TRegExpCache::IsValidPattern(pattern, &error))
    throw ESourceError(s.Where(r.Line) + ": " + column + " is not a valid regular expression: " + error);
  return pattern;
}

// Dotted IPv4 in the stored layout: first octet in the lowest byte.
std::optional<std::uint32_t> ParseIPv4(std::string_view text) {
  std::uint32_t value = 0;
  std::size_t pos = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    unsigned part = 0;
    auto [end, ec] = std::from_chars(text.data() + pos, text.data() + text.size(), part);
    if (ec != std::errc() || end == text.data() + pos || part > 255) return std::nullopt;
    pos = static_cast<std::size_t>(end - text.data());
    value |= part << (8 * octet);
  }
  if (pos != text.size()) return std::nullopt;
  return value;
}

std::string FormatIPv4(std::uint32_t v) {
  return std::to_string(v & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string((v >> 16) & 0xFF) +
         "." + std::to_string(v >> 24);
}

void BuildThreats(const std::vector<TSection>& sections, TWriter& w) {
  w.Exec("create table threatid (id INTEGER PRIMARY KEY, severity INTEGER, name TEXT)");
  std::set<std::int64_t> ids;
  for (const TSection& s : sections) {
    if (s.Header != kThreatsHeader) UnknownHeader(s, "\"id\\tseverity\\tname\"");
    for (const TRow& r : s.Rows) {
      std::int64_t id = ParseInteger(s, r, "id", INT32_MIN, INT32_MAX);
      std::int64_t severity = ParseInteger(s, r, "severity", 0, 255);
      const std::string& name = Field(s, r, "name");
      if (name.empty()) throw ESourceError(s.Where(r.Line) + ": the name is empty");
      if (!ids.insert(id).second) throw ESourceError(s.Where(r.Line) + ": id " + std::to_string(id) + " repeats");
      w.Insert("insert into threatid (id, severity, name) values (?, ?, ?)",
               {std::to_string(id), std::to_string(severity), TCrypt::EncodeString(name)});
    }
  }
}

void BuildBlackWhiteLists(const std::vector<TSection>& sections, TWriter& w) {
  w.Exec("create table signed_list (flag INTEGER, sname TEXT, snum TEXT, iname TEXT, mode INTEGER)");
  w.Exec("create table vers_list (flag INTEGER, cmp TEXT)");
  w.Exec("create table niplist (vmin INTEGER, vmax INTEGER)");
  for (const TSection& s : sections) {
    if (s.Header == kSignersHeader) {
      for (const TRow& r : s.Rows) {
        std::int64_t flag = ListFlag(s, r);
        std::string signer = CheckedPattern(s, r, "signer"), serial = CheckedPattern(s, r, "serial"),
                    issuer = CheckedPattern(s, r, "issuer");
        std::int64_t mode = Field(s, r, "mode").empty() ? 0 : ParseInteger(s, r, "mode", 0, 8);
        w.Insert("insert into signed_list (flag, sname, snum, iname, mode) values (?, ?, ?, ?, ?)",
                 {std::to_string(flag), NullIfEmpty(signer), NullIfEmpty(serial), NullIfEmpty(issuer),
                  std::to_string(mode)});
      }
    } else if (s.Header == kCompaniesHeader) {
      for (const TRow& r : s.Rows) {
        std::int64_t flag = ListFlag(s, r);
        std::string pattern = CheckedPattern(s, r, "company");
        if (pattern.empty()) throw ESourceError(s.Where(r.Line) + ": the company pattern is empty");
        w.Insert("insert into vers_list (flag, cmp) values (?, ?)", {std::to_string(flag), pattern});
      }
    } else if (s.Header == kNetworksHeader) {
      for (const TRow& r : s.Rows) {
        std::string first = Field(s, r, "first"), last = Field(s, r, "last");
        std::optional<std::uint32_t> low, high = 0u;
        auto slash = first.find('/');
        if (slash != std::string::npos && last.empty()) {
          low = ParseIPv4(std::string_view(first).substr(0, slash));
          int bits = -1;
          std::string prefix = first.substr(slash + 1);
          auto [end, ec] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), bits);
          if (!low || ec != std::errc() || end != prefix.data() + prefix.size() || bits < 0 || bits > 32)
            throw ESourceError(s.Where(r.Line) + ": \"" + first + "\" is not an IPv4 network a.b.c.d/n");
          // The prefix in dotted order, then in the stored byte order.
          std::uint32_t dotted = ((*low & 0xFF) << 24) | ((*low & 0xFF00) << 8) | ((*low >> 8) & 0xFF00) | (*low >> 24);
          std::uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
          std::uint32_t lo = dotted & mask, hi = dotted | ~mask;
          auto stored = [](std::uint32_t d) {
            return ((d >> 24) & 0xFF) | ((d >> 8) & 0xFF00) | ((d << 8) & 0xFF0000) | (d << 24);
          };
          low = stored(lo);
          high = bits == 32 ? 0u : stored(hi);
        } else {
          low = ParseIPv4(first);
          if (!last.empty()) high = ParseIPv4(last);
          if (!low || !high)
            throw ESourceError(s.Where(r.Line) + ": first and last must be dotted IPv4 addresses");
        }
        if (*low == 0) throw ESourceError(s.Where(r.Line) + ": 0.0.0.0 cannot be listed");
        w.InsertIntegers("insert into niplist (vmin, vmax) values (?, ?)", {*low, *high});
      }
    } else {
      UnknownHeader(s,
                    "\"list\\tsigner\\tserial\\tissuer\\tmode\", \"list\\tcompany\" or \"first\\tlast\"");
    }
  }
}

std::optional<std::string> OsName(const TSection& s, const TRow& r, const std::string& column) {
  const std::string& name = Field(s, r, column);
  if (name.empty()) return std::nullopt;
  if (runtime::WindowsVersionFromIdentifier(name) < 0)
    throw ESourceError(s.Where(r.Line) + ": " + column + " \"" + name + "\" is not a Windows version identifier");
  return name;
}

// A version range as "CheckOSVersion" reads it. That function ignores the upper
// bound when the lower one is NULL or names ordinal 0, so a range with only an
// upper bound starts at the first real version instead.
std::pair<std::optional<std::string>, std::optional<std::string>> OsRange(const TSection& s, const TRow& r,
                                                                          const std::string& minColumn,
                                                                          const std::string& maxColumn) {
  std::optional<std::string> min = OsName(s, r, minColumn), max = OsName(s, r, maxColumn);
  if (max && (!min || runtime::WindowsVersionFromIdentifier(*min) == 0))
    min = runtime::WindowsVersionIdentifier(static_cast<runtime::TWindowsVersion>(1));
  return {min, max};
}

void BuildSystemFiles(const std::vector<TSection>& sections, TWriter& w) {
  w.Exec("create table files (id INTEGER PRIMARY KEY, hash TEXT, min_os TEXT, max_os TEXT)");
  w.Exec("create index files_hash on files (hash)");
  w.Exec("create table files_loc_rel (file INTEGER, locations INTEGER)");
  w.Exec("create index files_loc_rel_file on files_loc_rel (file)");
  w.Exec("create table locations (id INTEGER PRIMARY KEY, min_os TEXT, max_os TEXT)");
  w.Exec("create table loc_paths_rel (locations INTEGER, path INTEGER, recursive INTEGER)");
  w.Exec("create index loc_paths_rel_locations on loc_paths_rel (locations)");
  w.Exec("create table paths (id INTEGER PRIMARY KEY, path TEXT)");
  using TOs = std::optional<std::string>;
  std::map<std::tuple<std::string, TOs, TOs>, std::int64_t> files;         // key, min, max -> id
  std::map<std::tuple<std::string, bool, TOs, TOs>, std::int64_t> places;  // folder, recursive, min, max -> id
  std::set<std::pair<std::int64_t, std::int64_t>> links;
  for (const TSection& s : sections) {
    bool prefix = s.Header.size() >= 2 && s.Header.size() <= kSysFilesHeader.size() &&
                  std::equal(s.Header.begin(), s.Header.end(), kSysFilesHeader.begin());
    if (!prefix) UnknownHeader(s, "\"" + Join(kSysFilesHeader) + "\" (the first two columns at least)");
    for (const TRow& r : s.Rows) {
      std::string name(TKnowledgeKeys::Trim(Field(s, r, "name")));
      std::string folder = Field(s, r, "folder");
      while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
      if (name.empty() || folder.empty()) throw ESourceError(s.Where(r.Line) + ": name and folder are required");
      std::string rec = TKnowledgeKeys::LowerCase(Field(s, r, "recursive"));
      bool recursive;
      if (rec.empty() || rec == "0" || rec == "no")
        recursive = false;
      else if (rec == "1" || rec == "yes")
        recursive = true;
      else
        throw ESourceError(s.Where(r.Line) + ": recursive must be 0, 1, no or yes");
      auto [fileMin, fileMax] = OsRange(s, r, "min_os", "max_os");
      auto fileKey = std::make_tuple(TKnowledgeKeys::SystemFileKey(name), fileMin, fileMax);
      auto [file, newFile] = files.emplace(fileKey, static_cast<std::int64_t>(files.size() + 1));
      if (newFile)
        w.Insert("insert into files (id, hash, min_os, max_os) values (?, ?, ?, ?)",
                 {std::to_string(file->second), std::get<0>(fileKey), std::get<1>(fileKey), std::get<2>(fileKey)});
      auto [placeMin, placeMax] = OsRange(s, r, "folder_min_os", "folder_max_os");
      auto placeKey = std::make_tuple(folder, recursive, placeMin, placeMax);
      auto [place, newPlace] = places.emplace(placeKey, static_cast<std::int64_t>(places.size() + 1));
      if (newPlace) {
        // A location and its folder share one id: the catalogue query joins
        // paths on the location's id as well as on the folder's.
        std::string id = std::to_string(place->second);
        w.Insert("insert into locations (id, min_os, max_os) values (?, ?, ?)",
                 {id, std::get<2>(placeKey), std::get<3>(placeKey)});
        w.Insert("insert into paths (id, path) values (?, ?)", {id, TCrypt::EncodeString(folder)});
        w.InsertIntegers("insert into loc_paths_rel (locations, path, recursive) values (?, ?, ?)",
                         {place->second, place->second, recursive ? 1 : 0});
      }
      if (links.emplace(file->second, place->second).second)
        w.InsertIntegers("insert into files_loc_rel (file, locations) values (?, ?)", {file->second, place->second});
    }
  }
}

// A floating value as SQL text, to the last digit a double keeps.
std::string FormatReal(long double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", static_cast<double>(value));
  return buffer;
}

// The log-scaled scheme. An n-gram seen kNoiseFloor times or fewer is left
// out: such n-grams are as likely in a random string as in a name anybody
// chose. Above the floor the stored count is kLogScale * ln(occurrences /
// kNoiseFloor), so a handful of very common n-grams ("er", "ing") no longer
// outweigh the rare ones of a random string.
constexpr std::int64_t kNoiseFloor = 30;
constexpr long double kLogScale = 1000;
// wcount of the pair scheme over wcount of the triple scheme: triples weigh
// this much more than pairs in the combined average.
constexpr std::int64_t kTripleWeight = 64;
// The share of the corpus's own names that is left at or below the rule's
// bound; names outside the corpus fall below it about twice as often.
constexpr long double kCalibrationShare = 0.025L;
constexpr long double kRandomBound = 2.0L;

std::int64_t LogCount(std::int64_t AOccurrences) {
  if (AOccurrences <= kNoiseFloor) return 0;
  return std::llround(kLogScale * std::log(static_cast<long double>(AOccurrences) / kNoiseFloor));
}

struct TSchemeName {
  std::vector<std::int32_t> Keys[2];  // pair keys, then triple keys
  Extended Ratio = 1;
};

void BuildScheme(const std::vector<TSection>& sections, TWriter& w, TSchemeCounts mode) {
  w.Exec("create table baseinfo (dict INTEGER, vlfactor REAL, wcount INTEGER)");
  w.Exec("create table stats2 (hash INTEGER PRIMARY KEY, count INTEGER)");
  w.Exec("create table stats3 (hash INTEGER PRIMARY KEY, count INTEGER)");
  std::map<std::int32_t, std::int64_t> counts[2];
  std::vector<TSchemeName> names;
  long double vlfactor = 0;
  std::int64_t wcount = 0;
  for (const TSection& s : sections) {
    if (s.Header != kSchemeHeader) UnknownHeader(s, "\"name\"");
    for (const TRow& r : s.Rows) {
      // The same normal form, characters and letter ratio as the library's
      // harmony model, so that the counts match its lookups.
      std::string name = TMalwareHarmonyStrings::Normalize(Field(s, r, "name"));
      if (name.empty()) continue;
      std::vector<std::string_view> chars = TMalwareHarmonyStrings::SplitCharacters(name);
      TSchemeName entry;
      for (std::size_t n = 2; n <= 3; ++n) {
        for (std::size_t p = 0; p + n <= chars.size(); ++p) {
          std::string gram;
          for (std::size_t k = 0; k < n; ++k) gram += chars[p + k];
          std::int32_t key = TKnowledgeKeys::NGramKey(gram);
          ++counts[n - 2][key];
          if (mode == TSchemeCounts::kLogCalibrated) entry.Keys[n - 2].push_back(key);
        }
      }
      entry.Ratio = TMalwareHarmonyStrings::LetterRatio(name);
      vlfactor += entry.Ratio;
      ++wcount;
      if (mode == TSchemeCounts::kLogCalibrated) names.push_back(std::move(entry));
    }
  }
  std::int64_t wcounts[2] = {wcount, wcount};
  if (mode == TSchemeCounts::kLogCalibrated) {
    for (auto& table : counts) {
      for (auto it = table.begin(); it != table.end();) {
        it->second = LogCount(it->second);
        it = it->second == 0 ? table.erase(it) : std::next(it);
      }
    }
    // Score every corpus name as the library will, with the pair wcount
    // kTripleWeight times the triple one, and choose the scale that leaves
    // kCalibrationShare of them at or below the bound.
    const Extended typical = wcount > 0 ? vlfactor / wcount : 0;
    std::vector<Extended> scores;
    scores.reserve(names.size());
    for (const TSchemeName& name : names) {
      Extended averages[2] = {0, 0};
      for (int n = 0; n < 2; ++n) {
        if (name.Keys[n].empty()) continue;
        Extended sum = 0;
        for (std::int32_t key : name.Keys[n]) {
          auto it = counts[n].find(key);
          if (it != counts[n].end()) sum += it->second;
        }
        averages[n] = sum / name.Keys[n].size();
      }
      Extended distance = std::fabs(name.Ratio - typical);
      if (distance == 0) distance = 1;
      scores.push_back((averages[0] / 4 + kTripleWeight * averages[1] / 2) * (1000 / distance));
    }
    if (!scores.empty()) {
      auto at = scores.begin() + static_cast<std::ptrdiff_t>(kCalibrationShare * (scores.size() - 1));
      std::nth_element(scores.begin(), at, scores.end());
      wcounts[0] = std::max<std::int64_t>(kTripleWeight, std::llround(*at / kRandomBound));
      wcounts[1] = std::max<std::int64_t>(1, std::llround(static_cast<Extended>(wcounts[0]) / kTripleWeight));
    }
  }
  if (wcount > 0) {
    // vlfactor / wcount stays the typical consonant-to-vowel ratio of the corpus.
    for (int dict = 0; dict < 2; ++dict) {
      long double scaled = wcounts[dict] == wcount ? vlfactor : vlfactor / wcount * wcounts[dict];
      w.Insert("insert into baseinfo (dict, vlfactor, wcount) values (?, ?, ?)",
               {std::to_string(dict), FormatReal(scaled), std::to_string(wcounts[dict])});
    }
  }
  for (int n = 0; n < 2; ++n)
    for (auto [hash, count] : counts[n])
      w.InsertIntegers(n == 0 ? "insert into stats2 (hash, count) values (?, ?)"
                              : "insert into stats3 (hash, count) values (?, ?)",
                       {hash, count});
}

// --- dumping -------------------------------------------------------------------------

void WriteRow(std::ostream& out, const std::vector<std::string>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) out << (i ? "\t" : "") << fields[i];
  out << "\n";
}

void DumpQuery(TSQLiteDatabase& db, std::ostream& out, const std::string& title, const std::vector<std::string>& header,
               const std::string& sql, const std::function<std::vector<std::string>(TSQLiteUniTable&)>& row) {
  out << "## table " << title << "\n";
  WriteRow(out, header);
  auto table = db.GetUniTable(sql);
  for (; !table->Eof(); table->Next()) WriteRow(out, row(*table));
  out << "\n";
}

std::string Text(TSQLiteUniTable& t, int i) { return t.FieldAsString(i); }

}  // namespace

TKind KindFromName(const std::string& AName) {
  if (AName == "threats") return TKind::kThreats;
  if (AName == "bwlists") return TKind::kBlackWhiteLists;
  if (AName == "sysfiles") return TKind::kSystemFiles;
  if (AName == "scheme") return TKind::kScheme;
  throw ESourceError("unknown kind \"" + AName + "\" (threats, bwlists, sysfiles or scheme)");
}

TSchemeCounts SchemeCountsFromName(const std::string& AName) {
  if (AName == "occurrences") return TSchemeCounts::kOccurrences;
  if (AName == "log") return TSchemeCounts::kLogCalibrated;
  throw ESourceError("unknown scheme counts \"" + AName + "\" (occurrences or log)");
}

void Build(TKind AKind, const std::vector<std::string>& ASources, const std::string& AOutput,
           const TBuildOptions& AOptions) {
  std::vector<TSection> sections;
  for (const std::string& source : ASources) {
    std::vector<TSection> read = ReadSource(source);
    sections.insert(sections.end(), read.begin(), read.end());
  }
  std::filesystem::path output(AOutput);
  if (output.has_parent_path()) std::filesystem::create_directories(output.parent_path());
  const std::string temporary = AOutput + ".tmp";
  try {
    TWriter writer(temporary);
    switch (AKind) {
      case TKind::kThreats: BuildThreats(sections, writer); break;
      case TKind::kBlackWhiteLists: BuildBlackWhiteLists(sections, writer); break;
      case TKind::kSystemFiles: BuildSystemFiles(sections, writer); break;
      case TKind::kScheme: BuildScheme(sections, writer, AOptions.SchemeCounts); break;
    }
    writer.Finish();
    std::filesystem::rename(temporary, output);
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove(temporary, ec);
    throw;
  }
}

void Dump(const std::string& ADatabase, std::ostream& AOut) {
  std::unique_ptr<TSQLiteDatabase> db = TSQLite3::LoadDB(ADatabase);
  if (!db) throw ESourceError(ADatabase + ": no such file");
  std::vector<std::string> tables;
  {
    auto t = db->GetUniTable("select name from sqlite_master where type = 'table' order by rowid");
    for (; !t->Eof(); t->Next()) tables.push_back(t->FieldAsString(0));
  }
  auto quoted = [](const std::string& name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
  };
  auto has = [&](const std::string& name) { return std::find(tables.begin(), tables.end(), name) != tables.end(); };
  auto flagName = [](std::int64_t flag) { return flag == 0 ? std::string("black") : flag == 1 ? "white" : std::to_string(flag); };
  for (const std::string& table : tables) {
    if (table == "threatid") {
      DumpQuery(*db, AOut, table, kThreatsHeader, "select id, severity, name from threatid order by id",
                [](TSQLiteUniTable& t) { return std::vector<std::string>{Text(t, 0), Text(t, 1), TCrypt::DecodeString(Text(t, 2))}; });
    } else if (table == "signed_list") {
      DumpQuery(*db, AOut, table, kSignersHeader, "select flag, sname, snum, iname, mode from signed_list order by rowid",
                [&](TSQLiteUniTable& t) {
                  return std::vector<std::string>{flagName(t.FieldAsInteger(0)), Text(t, 1), Text(t, 2), Text(t, 3), Text(t, 4)};
                });
    } else if (table == "vers_list") {
      DumpQuery(*db, AOut, table, kCompaniesHeader, "select flag, cmp from vers_list order by rowid",
                [&](TSQLiteUniTable& t) { return std::vector<std::string>{flagName(t.FieldAsInteger(0)), Text(t, 1)}; });
    } else if (table == "niplist") {
      DumpQuery(*db, AOut, table, kNetworksHeader, "select vmin, vmax from niplist order by rowid", [](TSQLiteUniTable& t) {
        auto low = static_cast<std::uint32_t>(t.FieldAsInteger(0) & 0xFFFFFFFF);
        auto high = static_cast<std::uint32_t>(t.FieldAsInteger(1) & 0xFFFFFFFF);
        return std::vector<std::string>{FormatIPv4(low), high ? FormatIPv4(high) : std::string()};
      });
    } else {
      // Any other table, column by column; the folders of the catalogue in clear.
      std::vector<std::string> columns;
      {
        auto t = db->GetUniTable("select * from " + quoted(table) + " limit 0");
        for (const std::string& c : t->Columns()) columns.push_back(TKnowledgeKeys::LowerCase(c));
      }
      bool scrambled = table == "paths" && has("files");
      DumpQuery(*db, AOut, table, columns, "select * from " + quoted(table) + " order by rowid", [&](TSQLiteUniTable& t) {
        std::vector<std::string> row;
        for (int i = 0; i < t.ColCount(); ++i) {
          std::string v = Text(t, i);
          if (scrambled && columns[static_cast<std::size_t>(i)] == "path") v = TCrypt::DecodeString(v);
          row.push_back(v);
        }
        return row;
      });
    }
  }
}

}  // namespace quillmark::dict
