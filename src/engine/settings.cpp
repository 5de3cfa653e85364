#include "engine/settings.h"

#include "runtime/target_system.h"

namespace quillmark {

runtime::TInstanceCounter TMalwareHeuristicSettings::Instances;
const runtime::TClassInfo TMalwareHeuristicSettings::ClassInfo{
    "TMalwareHeuristicSettings", []() -> IUnknown* { return static_cast<IMalwareHeuristicSettings*>(new TMalwareHeuristicSettings()); },
    &TMalwareHeuristicSettings::Instances};

TMalwareHeuristicSettings::TMalwareHeuristicSettings() {
  Instances.Inc();
  SetDataFolder(runtime::HostExecutableFolder() + "Data/");
}

void TMalwareHeuristicSettings::SetDataFolder(const std::string& AFolder) {
  std::string folder = AFolder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  Lock();
  FDictionaryBlackWhiteListsFileName = folder + kBlackWhiteListsFile;
  FDictionaryFileDetailsFileName = folder + kFileDetailsFile;
  FDictionaryHarmonyNameSchemeFileName = folder + kHarmonyNameSchemeFile;
  FDictionaryThreatsInfoFileName = folder + kThreatsInfoFile;
  Unlock();
}

void* TMalwareHeuristicSettings::GetInterface(const GUID& iid) {
  if (iid == IUnknown::IID || iid == IMalwareHeuristicSettings::IID)
    return static_cast<IMalwareHeuristicSettings*>(this);
  if (iid == ILinkObjectInterface::IID) return static_cast<ILinkObjectInterface*>(this);
  return nullptr;
}

}  // namespace quillmark
