// The engine's knowledge files, opened on first use.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/black_white_lists.h"
#include "db/file_details.h"
#include "db/harmony_strings.h"
#include "db/malware_common_classes.h"
#include "engine/threats_info.h"

namespace quillmark {

class TMalwareHeuristic;
struct TKnowledgeProblem;

class TMalwareHeuristicDictionaries {
 public:
  // The four knowledge files, in the order the set holds and frees them.
  enum class TKind { dkBlackWhiteLists = 0, dkFileDetails = 1, dkThreatsInfo = 2, dkHarmonyStrings = 3 };
  static constexpr TKind kKinds[] = {TKind::dkBlackWhiteLists, TKind::dkFileDetails, TKind::dkThreatsInfo,
                                     TKind::dkHarmonyStrings};

  explicit TMalwareHeuristicDictionaries(TMalwareHeuristic* AOwner) : FOwner(AOwner) {}
  // Frees the databases in the order of TKind.
  ~TMalwareHeuristicDictionaries();
  TMalwareHeuristicDictionaries(const TMalwareHeuristicDictionaries&) = delete;
  TMalwareHeuristicDictionaries& operator=(const TMalwareHeuristicDictionaries&) = delete;

  TMalwareDataBaseThreatsInfo& ThreatsInfo() { return Get<TMalwareDataBaseThreatsInfo>(TKind::dkThreatsInfo); }
  TMalwareDataBaseBlackWhiteLists& BlackWhiteLists() {
    return Get<TMalwareDataBaseBlackWhiteLists>(TKind::dkBlackWhiteLists);
  }
  TMalwareDataBaseFileDetails& FileDetails() { return Get<TMalwareDataBaseFileDetails>(TKind::dkFileDetails); }
  TMalwareHarmonyStrings& HarmonyStrings() { return Get<TMalwareHarmonyStrings>(TKind::dkHarmonyStrings); }

  // The database of a kind: created as T on first use and, while it has not
  // been opened, opened with the file name the owner's settings give for that
  // kind (against the owner's target system). A failed open is not retried
  // until CloseAll. An exception of the database's RegisterFunctions passes
  // to the caller.
  template <class T>
  T& Get(TKind AKind) {
    std::lock_guard<std::mutex> guard(FSync);
    auto& slot = FDatabases[static_cast<std::size_t>(AKind)];
    if (!slot) slot = TCustomSqlLiteDataBase::Create<T>();
    T* typed = dynamic_cast<T*>(slot.get());
    if (!typed) throw std::logic_error("knowledge database requested as another class");
    OpenIfNeeded(AKind, *typed);
    return *typed;
  }

  // Closes the black/white lists, the file details and the threat names; the
  // harmony scheme stays open with the file it first opened. The next use of
  // a closed database opens it again with the settings' current file name.
  void CloseAll();

  // Opens the four files as the getters would and checks each one that
  // opened (TCustomSqlLiteDataBase::Check); answers one problem per file
  // that cannot be used: missing, unreadable, damaged, foreign, or set aside
  // by an earlier failing query. A file that fails its check is set aside:
  // the analyses go on without it, as without a missing file. Meant to be
  // called once before the first analysis (and again after the settings'
  // file names change and the engine is closed).
  std::vector<TKnowledgeProblem> CheckAll();
  // The problems that queries met since the last call (a statement that
  // failed or was interrupted by the work limit), each once per file and
  // reason; the file concerned is set aside from then on. Meant to be called
  // after each analysis.
  std::vector<TKnowledgeProblem> TakeQueryProblems();

  // What a host goes without when a kind of file cannot be used.
  static std::string NotApplied(TKind AKind);
  static std::vector<TMalwareRuleType> RulesAffected(TKind AKind);
  // The file name the settings give for a kind.
  std::string SettingsFileName(TKind AKind);

 private:
  void OpenIfNeeded(TKind AKind, TCustomSqlLiteDataBase& ADatabase);
  TCustomSqlLiteDataBase& Database(TKind AKind);
  TKnowledgeProblem MakeProblem(TKind AKind, std::string AFileName, std::string AReason);

  std::mutex FSync;
  TMalwareHeuristic* FOwner;
  std::array<std::unique_ptr<TCustomSqlLiteDataBase>, 4> FDatabases;
};

// A knowledge file that the analyses go without, and why.
struct TKnowledgeProblem {
  TMalwareHeuristicDictionaries::TKind Kind{};
  std::string FileName;
  // "missing", the operating system's error text ("Permission denied"),
  // SQLite's message ("file is not a database", "database disk image is
  // malformed"), "no table <name>", "not a regular file", or
  // "query interrupted: work limit".
  std::string Reason;
  // What will not be applied, as a phrase for a message.
  std::string NotApplied;
  // The rules that go without it (none for the threat names).
  std::vector<TMalwareRuleType> Rules;
};

}  // namespace quillmark
