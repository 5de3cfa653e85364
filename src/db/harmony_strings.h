// Letter-pair and letter-triple statistics of ordinary file names, and the
// harmony score they give a string: how common its n-grams are, corrected by
// how far its consonant-to-vowel ratio lies from the typical one.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/malware_common_classes.h"
#include "quillmark/malware_heuristic.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillmark {

enum class THarmonySchemeType : std::uint8_t {
  hstDigramm = 0,   // letter pairs
  hstTrigramm = 1,  // letter triples
};

struct TStringHarmonyInfo {
  Extended Total = 0;
  Extended Average = 0;
  // An average at or below the bound marks a random-looking string.
  bool IsRandomString(Extended AMinAverageFactor) const { return Average <= AMinAverageFactor; }
};
using PStringHarmonyInfo = TStringHarmonyInfo*;

class TMalwareHarmonyStrings : public TCustomSqlLiteDataBase {
 public:
  // One scheme's row of "baseinfo" and its n-gram length.
  struct TStatInfo {
    Extended VLFactor = 0;      // sum of the corpus names' consonant-to-vowel ratios
    std::uint32_t WCount = 0;   // number of corpus names
    std::uint8_t Length = 0;    // 2 or 3
  };

  TMalwareHarmonyStrings() = default;
  // Finalises the cached statements before the connection goes.
  ~TMalwareHarmonyStrings() override;

  const char* ClassName() const override { return "TMalwareHarmonyStrings"; }
  // Both schemes zeroed, n-gram lengths 2 and 3.
  void Initialize() override;
  // Runs after each open: zeroes the schemes again and loads "baseinfo". A
  // file without a readable "baseinfo" is set aside as a file that did not
  // open (Problem() says why).
  void RegisterFunctions() override;

  // Harmony of a string over both schemes (pairs and triples). False, with
  // AInfo untouched, when the database is not open or a query fails (the
  // failure is recorded, see TakeQueryProblems).
  bool GetStringInfo(const std::string& AString, PStringHarmonyInfo AInfo);
  // Harmony over one scheme. False, with AInfo untouched, when the database
  // is not open, a query fails or AString is empty.
  bool GetStringInfoByScheme(const std::string& AString, THarmonySchemeType AScheme, PStringHarmonyInfo AInfo);

  const TStatInfo& StatInfo(THarmonySchemeType AScheme) const { return FStatInfo[Index(AScheme)]; }

  // --- the pieces of the model the dictionary compiler shares ----------------
  // The form every string is scored in: trimmed of blanks and control
  // characters, Unicode lower case.
  static std::string Normalize(std::string_view AText);
  // The characters (Unicode code points) of UTF-8 text, each as its bytes; a
  // byte that does not start a complete sequence counts as one character.
  static std::vector<std::string_view> SplitCharacters(std::string_view AText);
  // Consonants over vowels among the lower-case letters of the text; the
  // count that is not zero when the other is; 1 when there are no letters.
  static Extended LetterRatio(std::string_view AText);

 protected:
  std::vector<TRequiredStatement> RequiredStatements() const override;
  void FinalizeStatements() override;

 private:
  static std::size_t Index(THarmonySchemeType AScheme) { return static_cast<std::size_t>(AScheme); }
  // Sum and average of the n-gram counts of a normalised string, scaled by
  // the scheme's name count. Runs under FCS with a connection.
  TStringHarmonyInfo SchemeSum(TSQLiteDatabase& ADB, const std::vector<std::string_view>& AChars,
                               THarmonySchemeType AScheme);
  // 1000 over the distance of the string's letter ratio from the typical one.
  Extended Factor(Extended ARatio, THarmonySchemeType AScheme) const;
  // The count stored for one n-gram key, 0 without a row.
  std::int64_t NGramCount(TSQLiteDatabase& ADB, THarmonySchemeType AScheme, std::int32_t AKey);

  std::array<TStatInfo, 2> FStatInfo{};
  // The two single-row lookups, prepared once per connection.
  std::array<sqlite3_stmt*, 2> FStatements{};
  sqlite3* FStatementsOwner = nullptr;
};

}  // namespace quillmark
