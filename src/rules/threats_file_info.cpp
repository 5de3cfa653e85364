#include "rules/threats_file_info.h"

#include "support/file_utils.h"

namespace quillmark {

namespace {
Extended ByGroup(TThreatSubGroup g, const Extended (&table)[4]) {
  auto i = static_cast<std::size_t>(g);
  return i < 4 ? table[i] : table[0];
}
}  // namespace

Extended ThreatFileName::GetDefaultDangerPercent() const {
  static constexpr Extended kDefaults[4] = {5, 10, 40, 90};
  return ByGroup(SubGroup(), kDefaults);
}

Extended ThreatFileVersionInfo::GetDefaultDangerPercent() const {
  static constexpr Extended kDefaults[4] = {10, 30, 50, 90};
  return ByGroup(SubGroup(), kDefaults);
}

std::string_view TEnumIdentifiers<ThreatFileResourceGroup>::Identifier(ThreatFileResourceGroup v) {
  switch (v) {
    case ThreatFileResourceGroup::tfrIcon: return "tfrIcon";
  }
  return "";
}

Extended ThreatFileResource::GetDefaultDangerPercent() const { return 10; }

Extended ThreatFilePath::GetDefaultDangerPercent() const { return 5; }

std::unique_ptr<ThreatFilePath> ThreatFilePath::Create(TSuspiciousPathResultFolder AFolder,
                                                       runtime::ITargetSystem& ATarget, const std::string& AFileName,
                                                       Extended ADangerPercent) {
  std::unique_ptr<ThreatFilePath> r(new ThreatFilePath());
  std::string_view id = SuspiciousPathFolderIdentifier(AFolder);
  std::string name(id.size() > 3 ? id.substr(3) : std::string_view());
  if (name.empty() || name.back() != '\\') name += '\\';
  r->FName = name + ATarget.ExtractFileExt(AFileName);
  r->Initialize(ADangerPercent);
  return r;
}

std::unique_ptr<ThreatFilePath> ThreatFilePath::Create(runtime::ITargetSystem& ATarget,
                                                       const std::string& AFullFileName, Extended ADangerPercent) {
  std::unique_ptr<ThreatFilePath> r(new ThreatFilePath());
  std::string folder = FileUtils::UnExpandEnvStrings(ATarget, ATarget.ExtractFilePath(AFullFileName));
  r->FName = ATarget.IncludeTrailingPathDelimiter(folder) + ATarget.ExtractFileExt(AFullFileName);
  r->Initialize(ADangerPercent);
  return r;
}

const char* SuspiciousPathFolderIdentifier(TSuspiciousPathResultFolder v) {
  switch (v) {
    case TSuspiciousPathResultFolder::sprFolderUnknown: return "sprFolderUnknown";
    case TSuspiciousPathResultFolder::sprFolderTemp: return "sprFolderTemp";
    case TSuspiciousPathResultFolder::sprFolderWindows: return "sprFolderWindows";
    case TSuspiciousPathResultFolder::sprFolderRecycleBin: return "sprFolderRecycleBin";
    case TSuspiciousPathResultFolder::sprFolderProfile: return "sprFolderProfile";
    case TSuspiciousPathResultFolder::sprFolderRootDrive: return "sprFolderRootDrive";
  }
  return "";
}

}  // namespace quillmark
