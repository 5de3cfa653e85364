#include "engine/settings.h"

#include <algorithm>
#include <system_error>

#include "runtime/target_system.h"

namespace quillmark {

namespace {

// "Data/" beside the host executable. An installed program keeps its
// knowledge files under the data directory of its prefix instead: when there
// is no Data folder beside it, "../share/quillmark/Data/" from its folder
// (an installation moved to another prefix), then the data directory the
// library was configured for.
std::string DefaultDataFolder() {
  const std::string folder = runtime::HostExecutableFolder();
  const std::string beside = folder + "Data/";
  auto host = runtime::LiveHost();
  if (host->DirectoryExists(beside)) return beside;
  const std::string relative = folder + "../share/quillmark/Data/";
  if (host->DirectoryExists(relative)) return relative;
#ifdef QUILLMARK_INSTALL_DATADIR
  return std::string(QUILLMARK_INSTALL_DATADIR) + "/Data/";
#else
  return beside;
#endif
}

}  // namespace

runtime::TInstanceCounter TMalwareHeuristicSettings::Instances;
const runtime::TClassInfo TMalwareHeuristicSettings::ClassInfo{
    "TMalwareHeuristicSettings", []() -> IUnknown* { return static_cast<IMalwareHeuristicSettings*>(new TMalwareHeuristicSettings()); },
    &TMalwareHeuristicSettings::Instances};

TMalwareHeuristicSettings::TMalwareHeuristicSettings() {
  Instances.Inc();
  SetDataFolder(DefaultDataFolder());
}

void TMalwareHeuristicSettings::SetDataFolder(const std::string& AFolder) {
  std::string folder = AFolder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  Lock();
  FDataFolder = folder;
  FDictionaryBlackWhiteListsFileName = folder + kBlackWhiteListsFile;
  FDictionaryFileDetailsFileName = folder + kFileDetailsFile;
  FDictionaryHarmonyNameSchemeFileName = folder + kHarmonyNameSchemeFile;
  FDictionaryThreatsInfoFileName = folder + kThreatsInfoFile;
  FTrustFolder = folder + kTrustFolder;
  Unlock();
}

void TMalwareHeuristicSettings::AddCAFile(const std::string& AFileName) {
  if (AFileName.empty()) return;
  Lock();
  if (std::find(FCAFiles.begin(), FCAFiles.end(), AFileName) == FCAFiles.end()) FCAFiles.push_back(AFileName);
  Unlock();
}

void TMalwareHeuristicSettings::ClearCAFiles() {
  Lock();
  FCAFiles.clear();
  Unlock();
}

std::vector<std::string> TMalwareHeuristicSettings::GetCAFiles() {
  Lock();
  std::vector<std::string> copy = FCAFiles;
  Unlock();
  return copy;
}

void* TMalwareHeuristicSettings::GetInterface(const GUID& iid) {
  if (iid == IUnknown::IID || iid == IMalwareHeuristicSettings::IID)
    return static_cast<IMalwareHeuristicSettings*>(this);
  if (iid == ILinkObjectInterface::IID) return static_cast<ILinkObjectInterface*>(this);
  if (iid == IMalwareHeuristicSettingsEx::IID) return static_cast<IMalwareHeuristicSettingsEx*>(this);
  return nullptr;
}

}  // namespace quillmark
