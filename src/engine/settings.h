// Where the engine finds its four knowledge files.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "quillmark/host_api.h"
#include "quillmark/malware_heuristic.h"
#include "runtime/interfaced_object.h"

namespace quillmark {

class TMalwareHeuristicSettings : public runtime::TInterfacedObject,
                                  public ILinkObjectInterface,
                                  public IMalwareHeuristicSettings,
                                  public IMalwareHeuristicSettingsEx {
 public:
  static runtime::TInstanceCounter Instances;
  static const runtime::TClassInfo ClassInfo;

  // Defaults: the host executable's folder plus "Data/hbwlists.mdict" and so on.
  TMalwareHeuristicSettings();
  ~TMalwareHeuristicSettings() override { Instances.Dec(); }
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TMalwareHeuristicSettings"; }

#pragma push_macro("GetObject")  // the slot's own name, never <windows.h>'s macro
#undef GetObject
  void* GetObject() override { return this; }
#pragma pop_macro("GetObject")

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

  // IMalwareHeuristicSettingsEx
  // Points all four names at the default file names inside AFolder, and the
  // trust folder at its "trust/" subfolder.
  std::string GetDataFolder() override { return Get(FDataFolder); }
  void SetDataFolder(const std::string& AFolder) override;
  // Folder whose *.pem, *.crt and *.cer files are trust anchors of signature
  // checks, beside the system's CA bundle (default: "Data/trust/").
  std::string GetTrustFolder() override { return Get(FTrustFolder); }
  void SetTrustFolder(const std::string& AFolder) override { Set(FTrustFolder, AFolder); }
  // Further certificate files (PEM or DER) whose certificates are trust
  // anchors, in the order added; adding a file twice keeps one entry.
  std::vector<std::string> GetCAFiles() override;
  void AddCAFile(const std::string& AFileName) override;
  void ClearCAFiles() override;
  // Bytes of a target file read at most; a larger file is analysed as if it
  // ended there (default 4 GiB).
  std::uint64_t GetMaxFileSize() override {
    Lock();
    std::uint64_t v = FMaxFileSize;
    Unlock();
    return v;
  }
  void SetMaxFileSize(std::uint64_t AValue) override {
    Lock();
    FMaxFileSize = AValue;
    Unlock();
  }

  bool GetComputeSha256() override { return FComputeSha256.load(); }
  void SetComputeSha256(bool AValue) override { FComputeSha256 = AValue; }

  std::string TrustFolder() { return GetTrustFolder(); }
  std::vector<std::string> CAFiles() { return GetCAFiles(); }
  std::uint64_t MaxFileSize() { return GetMaxFileSize(); }

  static constexpr const char* kBlackWhiteListsFile = "hbwlists.mdict";
  static constexpr const char* kFileDetailsFile = "hsysfiles.mdict";
  static constexpr const char* kHarmonyNameSchemeFile = "hwscheme.mdict";
  static constexpr const char* kThreatsInfoFile = "hmthinfo.mdict";
  static constexpr const char* kTrustFolder = "trust/";

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
  std::string FDataFolder;
  std::string FTrustFolder;
  std::vector<std::string> FCAFiles;
  std::uint64_t FMaxFileSize = std::uint64_t{4} << 30;
  std::atomic<bool> FComputeSha256{true};
};

}  // namespace quillmark
