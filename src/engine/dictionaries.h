// The engine's knowledge files, opened on first use.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "db/black_white_lists.h"
#include "db/malware_common_classes.h"
#include "engine/threats_info.h"
#include "rules/file_details.h"
#include "rules/harmony_strings.h"

namespace quillmark {

class TMalwareHeuristic;

class TMalwareHeuristicDictionaries {
 public:
  // The four knowledge files, in the order the set holds and frees them.
  enum class TKind { dkBlackWhiteLists = 0, dkFileDetails = 1, dkThreatsInfo = 2, dkHarmonyStrings = 3 };

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

 private:
  void OpenIfNeeded(TKind AKind, TCustomSqlLiteDataBase& ADatabase);

  std::mutex FSync;
  TMalwareHeuristic* FOwner;
  std::array<std::unique_ptr<TCustomSqlLiteDataBase>, 4> FDatabases;
};

}  // namespace quillmark
