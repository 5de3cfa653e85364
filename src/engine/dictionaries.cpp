#include "engine/dictionaries.h"

#include "engine/malware_heuristic.h"

namespace quillmark {

TMalwareHeuristicDictionaries::~TMalwareHeuristicDictionaries() {
  for (auto& database : FDatabases) database.reset();
}

std::string TMalwareHeuristicDictionaries::SettingsFileName(TKind AKind) {
  ComPtr<IMalwareHeuristicSettings> settings = FOwner->GetSettings();
  switch (AKind) {
    case TKind::dkBlackWhiteLists:
      return settings->GetDictionaryBlackWhiteListsFileName();
    case TKind::dkFileDetails:
      return settings->GetDictionaryFileDetailsFileName();
    case TKind::dkThreatsInfo:
      return settings->GetDictionaryThreatsInfoFileName();
    case TKind::dkHarmonyStrings:
      return settings->GetDictionaryHarmonyNameSchemeFileName();
  }
  return {};
}

void TMalwareHeuristicDictionaries::OpenIfNeeded(TKind AKind, TCustomSqlLiteDataBase& ADatabase) {
  if (ADatabase.IsOpened()) return;
  const std::string fileName = SettingsFileName(AKind);
  ADatabase.SetTarget(FOwner->TargetPtr());
  ADatabase.Open(fileName);
}

void TMalwareHeuristicDictionaries::CloseAll() {
  std::lock_guard<std::mutex> guard(FSync);
  // Each Close waits for a query in progress on its database.
  for (TKind kind : {TKind::dkBlackWhiteLists, TKind::dkFileDetails, TKind::dkThreatsInfo}) {
    auto& slot = FDatabases[static_cast<std::size_t>(kind)];
    if (slot) slot->Close();
  }
}

TCustomSqlLiteDataBase& TMalwareHeuristicDictionaries::Database(TKind AKind) {
  switch (AKind) {
    case TKind::dkBlackWhiteLists:
      return BlackWhiteLists();
    case TKind::dkFileDetails:
      return FileDetails();
    case TKind::dkThreatsInfo:
      return ThreatsInfo();
    case TKind::dkHarmonyStrings:
      break;
  }
  return HarmonyStrings();
}

std::string TMalwareHeuristicDictionaries::NotApplied(TKind AKind) {
  switch (AKind) {
    case TKind::dkBlackWhiteLists:
      return "the black and white lists of the signed-file, no-company-info and open-network-ports rules";
    case TKind::dkFileDetails:
      return "the incorrect-location rule";
    case TKind::dkThreatsInfo:
      return "threat name and severity";
    case TKind::dkHarmonyStrings:
      break;
  }
  return "the harmony-name rule";
}

std::vector<TMalwareRuleType> TMalwareHeuristicDictionaries::RulesAffected(TKind AKind) {
  switch (AKind) {
    case TKind::dkBlackWhiteLists:
      return {TMalwareRuleType::mhRuleSignedFile, TMalwareRuleType::mhRuleNoCompanyInfo,
              TMalwareRuleType::mhRuleOpenNetworkPorts};
    case TKind::dkFileDetails:
      return {TMalwareRuleType::mhRuleIncorrectFileLocation};
    case TKind::dkThreatsInfo:
      return {};
    case TKind::dkHarmonyStrings:
      break;
  }
  return {TMalwareRuleType::mhRuleHarmonyName};
}

TKnowledgeProblem TMalwareHeuristicDictionaries::MakeProblem(TKind AKind, std::string AFileName, std::string AReason) {
  TKnowledgeProblem problem;
  problem.Kind = AKind;
  problem.FileName = std::move(AFileName);
  problem.Reason = std::move(AReason);
  problem.NotApplied = NotApplied(AKind);
  problem.Rules = RulesAffected(AKind);
  return problem;
}

std::vector<TKnowledgeProblem> TMalwareHeuristicDictionaries::CheckAll() {
  std::vector<TKnowledgeProblem> problems;
  for (TKind kind : kKinds) {
    std::string reason, fileName;
    try {
      TCustomSqlLiteDataBase& database = Database(kind);
      reason = database.Check();
      fileName = database.FileName();
    } catch (const std::exception& e) {
      // Opening raised (an SQL function the engine refused): the getter's
      // callers meet the same exception, so nothing of the file is applied.
      reason = e.what();
      fileName = SettingsFileName(kind);
    }
    if (!reason.empty()) problems.push_back(MakeProblem(kind, std::move(fileName), std::move(reason)));
  }
  return problems;
}

std::vector<TKnowledgeProblem> TMalwareHeuristicDictionaries::TakeQueryProblems() {
  std::lock_guard<std::mutex> guard(FSync);
  std::vector<TKnowledgeProblem> problems;
  for (TKind kind : kKinds) {
    auto& slot = FDatabases[static_cast<std::size_t>(kind)];
    if (!slot) continue;
    for (std::string& reason : slot->TakeQueryProblems()) problems.push_back(MakeProblem(kind, slot->FileName(), reason));
  }
  return problems;
}

}  // namespace quillmark
