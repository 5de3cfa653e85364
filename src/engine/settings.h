// Where the engine finds its four knowledge files.
#pragma once

#include <string>

#include "quillmark/malware_heuristic.h"
#include "runtime/interfaced_object.h"

namespace quillmark {

class TMalwareHeuristicSettings : public runtime::TInterfacedObject,
                                  public ILinkObjectInterface,
                                  public IMalwareHeuristicSettings {
 public:
  static runtime::TInstanceCounter Instances;
  static const runtime::TClassInfo ClassInfo;

  // Defaults: the host executable's folder plus "Data/hbwlists.mdict" and so on.
  TMalwareHeuristicSettings();
  ~TMalwareHeuristicSettings() override { Instances.Dec(); }
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TMalwareHeuristicSettings"; }

  void* GetObject() override { return this; }

  std::string GetDictionaryBlackWhiteListsFileName() override { return Get(FDictionaryBlackWhiteListsFileName); }
  void SetDictionaryBlackWhiteListsFileName(const std::string& v) override { Set(FDictionaryBlackWhiteListsFileName, v); }
  std::string GetDictionaryFileDetailsFileName() override { return Get(FDictionaryFileDetailsFileName); }
  void SetDictionaryFileDetailsFileName(const std::string& v) override { Set(FDictionaryFileDetailsFileName, v); }
  std::string GetDictionaryHarmonyNameSchemeFileName() override { return Get(FDictionaryHarmonyNameSchemeFileName); }
  void SetDictionaryHarmonyNameSchemeFileName(const std::string& v) override {
    Set(FDictionaryHarmonyNameSchemeFileName, v);
  }
  std::string GetDictionaryThreatsInfoFileName() override { return Get(FDictionaryThreatsInfoFileName); }
  void SetDictionaryThreatsInfoFileName(const std::string& v) override { Set(FDictionaryThreatsInfoFileName, v); }

  // Points all four names at the default file names inside AFolder.
  void SetDataFolder(const std::string& AFolder);

  static constexpr const char* kBlackWhiteListsFile = "hbwlists.mdict";
  static constexpr const char* kFileDetailsFile = "hsysfiles.mdict";
  static constexpr const char* kHarmonyNameSchemeFile = "hwscheme.mdict";
  static constexpr const char* kThreatsInfoFile = "hmthinfo.mdict";

 protected:
  void* GetInterface(const GUID& iid) override;

 private:
  std::string Get(const std::string& field) {
    Lock();
    std::string copy = field;
    Unlock();
    return copy;
  }
  void Set(std::string& field, const std::string& value) {
    Lock();
    field = value;
    Unlock();
  }

  std::string FDictionaryBlackWhiteListsFileName;
  std::string FDictionaryFileDetailsFileName;
  std::string FDictionaryHarmonyNameSchemeFileName;
  std::string FDictionaryThreatsInfoFileName;
};

}  // namespace quillmark
