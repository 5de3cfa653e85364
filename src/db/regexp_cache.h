// Compiled Perl-compatible regular expressions of one connection, so that a
// pattern read from every row of a list is compiled once, not once per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillmark {

class TRegExpCache {
 public:
  explicit TRegExpCache(std::size_t ACapacity = 256);
  ~TRegExpCache();
  TRegExpCache(const TRegExpCache&) = delete;
  TRegExpCache& operator=(const TRegExpCache&) = delete;

  // Whether the pattern matches anywhere in the subject: UTF-8, letter case
  // ignored, no anchoring unless the pattern anchors itself. A pattern that
  // does not compile matches nothing.
  bool Matches(std::string_view APattern, std::string_view ASubject);

  // Whether the pattern compiles; AError receives PCRE2's message when not.
  static bool IsValidPattern(std::string_view APattern, std::string* AError = nullptr);

  // Patterns compiled so far (invalid ones included); for tests and benchmarks.
  std::uint64_t Compilations() const { return FCompilations; }
  std::size_t Size() const { return FIndex.size(); }

 private:
  struct TEntry {
    std::string Pattern;
    void* Code;  // pcre2_code_8*, or nullptr for a pattern that does not compile
  };
  void* Compile(std::string_view APattern);

  std::size_t FCapacity;
  std::list<TEntry> FEntries;  // most recently used first
  std::unordered_map<std::string_view, std::list<TEntry>::iterator> FIndex;
  void* FMatchData = nullptr;  // pcre2_match_data_8*
  std::uint64_t FCompilations = 0;
};

}  // namespace quillmark
