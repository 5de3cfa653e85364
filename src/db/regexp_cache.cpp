#include "db/regexp_cache.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace quillmark {

TRegExpCache::TRegExpCache(std::size_t ACapacity) : FCapacity(ACapacity ? ACapacity : 1) {}

TRegExpCache::~TRegExpCache() {
  for (TEntry& e : FEntries) pcre2_code_free(static_cast<pcre2_code*>(e.Code));
  pcre2_match_data_free(static_cast<pcre2_match_data*>(FMatchData));
}

void* TRegExpCache::Compile(std::string_view APattern) {
  ++FCompilations;
  int error = 0;
  PCRE2_SIZE offset = 0;
  std::uint32_t options = PCRE2_UTF | PCRE2_CASELESS;
#ifdef PCRE2_MATCH_INVALID_UTF
  // Subjects come from files and may hold bytes that are not UTF-8; they then
  // simply fail to match where the bad bytes are.
  options |= PCRE2_MATCH_INVALID_UTF;
#endif
  static const char kEmpty[] = "";
  const char* text = APattern.empty() ? kEmpty : APattern.data();
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text), APattern.size(), options, &error,
                                   &offset, nullptr);
  if (code) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // the interpreter serves when JIT is unavailable
  return code;
}

bool TRegExpCache::IsValidPattern(std::string_view APattern, std::string* AError) {
  TRegExpCache probe(1);
  auto* code = static_cast<pcre2_code*>(probe.Compile(APattern));
  if (code) {
    pcre2_code_free(code);
    return true;
  }
  if (AError) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    static const char kEmpty[] = "";
    const char* text = APattern.empty() ? kEmpty : APattern.data();
    pcre2_code* again = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text), APattern.size(), PCRE2_UTF | PCRE2_CASELESS,
                                      &error, &offset, nullptr);
    pcre2_code_free(again);
    PCRE2_UCHAR buffer[256];
    pcre2_get_error_message(error, buffer, sizeof buffer);
    *AError = std::string(reinterpret_cast<const char*>(buffer)) + " at offset " + std::to_string(offset);
  }
  return false;
}

bool TRegExpCache::Matches(std::string_view APattern, std::string_view ASubject) {
  pcre2_code* code;
  auto found = FIndex.find(APattern);
  if (found != FIndex.end()) {
    FEntries.splice(FEntries.begin(), FEntries, found->second);
    code = static_cast<pcre2_code*>(found->second->Code);
  } else {
    code = static_cast<pcre2_code*>(Compile(APattern));
    if (FIndex.size() >= FCapacity) {
      TEntry& last = FEntries.back();
      FIndex.erase(last.Pattern);
      pcre2_code_free(static_cast<pcre2_code*>(last.Code));
      FEntries.pop_back();
    }
    FEntries.push_front(TEntry{std::string(APattern), code});
    FIndex.emplace(FEntries.front().Pattern, FEntries.begin());
  }
  if (!code) return false;
  if (!FMatchData) FMatchData = pcre2_match_data_create(1, nullptr);
  if (!FMatchData) return false;
  static const char kEmpty[] = "";
  const char* subject = ASubject.empty() ? kEmpty : ASubject.data();
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject), ASubject.size(), 0, 0,
                       static_cast<pcre2_match_data*>(FMatchData), nullptr);
  return rc >= 0;
}

}  // namespace quillmark
