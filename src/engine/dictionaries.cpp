#include "engine/dictionaries.h"

#include "engine/malware_heuristic.h"

namespace quillmark {

TMalwareHeuristicDictionaries::~TMalwareHeuristicDictionaries() {
  for (auto& database : FDatabases) database.reset();
}

void TMalwareHeuristicDictionaries::OpenIfNeeded(TKind AKind, TCustomSqlLiteDataBase& ADatabase) {
  if (ADatabase.IsOpened()) return;
  ComPtr<IMalwareHeuristicSettings> settings = FOwner->GetSettings();
  std::string fileName;
  switch (AKind) {
    case TKind::dkBlackWhiteLists:
      fileName = settings->GetDictionaryBlackWhiteListsFileName();
      break;
    case TKind::dkFileDetails:
      fileName = settings->GetDictionaryFileDetailsFileName();
      break;
    case TKind::dkThreatsInfo:
      fileName = settings->GetDictionaryThreatsInfoFileName();
      break;
    case TKind::dkHarmonyStrings:
      fileName = settings->GetDictionaryHarmonyNameSchemeFileName();
      break;
  }
  ADatabase.SetTarget(FOwner->TargetPtr());
  ADatabase.Open(fileName);
}

void TMalwareHeuristicDictionaries::CloseAll() {
  std::lock_guard<std::mutex> guard(FSync);
  for (TKind kind : {TKind::dkBlackWhiteLists, TKind::dkFileDetails, TKind::dkThreatsInfo}) {
    auto& slot = FDatabases[static_cast<std::size_t>(kind)];
    if (slot) slot->Close();
  }
}

}  // namespace quillmark
