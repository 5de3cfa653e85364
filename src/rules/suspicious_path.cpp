#include "rules/suspicious_path.h"

#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"
#include "rules/threats_file_info.h"
#include "runtime/shell_folders.h"
#include "runtime/target_system.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

using F = TSuspiciousPathResultFolder;
using runtime::TPathSyntax;
using runtime::TWindowsVersion;

}  // namespace

// --- result ---------------------------------------------------------------------

void TMalwareRuleResultSuspiciousPath::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"folderType", std::string(SuspiciousPathFolderIdentifier(FFolderType))});
  ADetails.push_back({"folder", FFolder});
}

// --- rule -----------------------------------------------------------------------

TMalwareRuleSuspiciousPath::TMalwareRuleSuspiciousPath(IRuleHost* AOwner, TMalwareRuleType ARuleType)
    : TMalwareRuleCustom(AOwner, ARuleType) {
  runtime::ITargetSystem& target = Target();
  const bool windows = target.PathSyntax() == TPathSyntax::psWindows;

  // Recycle bins: on a Windows target a driveless name that matches the bin
  // of every drive; beside it whatever the target lists (the Trash folders of
  // a Linux host).
  if (windows)
    AddFolder(target.IsWindows(TWindowsVersion::wvWinVista, TWindowsVersion::wvWin11) ? "$RECYCLE.BIN" : "RECYCLER",
              true, F::sprFolderRecycleBin);
  for (const std::string& bin : target.RecycleBinFolders()) AddFolder(bin, true, F::sprFolderRecycleBin);

  // Temporary folders.
  AddFolder(target.EnvironmentVariable("TMP"), true, F::sprFolderTemp);
  AddFolder(target.EnvironmentVariable("TEMP"), true, F::sprFolderTemp);
  if (!windows) {
    AddFolder(target.EnvironmentVariable("TMPDIR"), true, F::sprFolderTemp);
    AddFolder("/tmp", true, F::sprFolderTemp);
  }
  AddFolder(target.GetSpecialFolder(runtime::csidl::kInternetCache), true, F::sprFolderTemp);

  // Roaming application data: only files directly in it.
  AddFolder(target.GetSpecialFolder(runtime::csidl::kAppData), false, F::sprFolderProfile);

  // Root of the system drive: the drive of the Windows directory, or "/".
  const std::string windowsDir = target.WindowsDirectory();
  if (windows) {
    std::size_t drive = target.DrivePrefixLength(windowsDir);
    if (drive > 0) AddFolder(windowsDir.substr(0, drive), false, F::sprFolderRootDrive);
  } else {
    AddFolder("/", false, F::sprFolderRootDrive);
  }

  // The Windows directory itself, not its subfolders.
  AddFolder(windowsDir, false, F::sprFolderWindows);
}

void TMalwareRuleSuspiciousPath::AddFolder(const std::string& APath, bool AWithSubfolders,
                                           TSuspiciousPathResultFolder AType) {
  if (APath.empty()) return;
  std::string key = Target().IncludeTrailingPathDelimiter(APath);
  for (TFolderEntry& e : FFoldersToTest)
    if (e.Key == key) {
      e.Value = {AWithSubfolders, AType};
      return;
    }
  FFoldersToTest.push_back({std::move(key), {AWithSubfolders, AType}});
}

bool TMalwareRuleSuspiciousPath::IsPathPrefix(const std::string& AKey, const std::string& ACandidate) const {
  if (AKey.size() > ACandidate.size()) return false;
  runtime::ITargetSystem& target = Target();
  if (target.PathSyntax() != TPathSyntax::psWindows) return ACandidate.compare(0, AKey.size(), AKey) == 0;
  // Windows paths compare without regard to letter case, and "\" and "/" both
  // separate folders.
  for (std::size_t i = 0; i < AKey.size(); ++i) {
    char k = AKey[i], c = ACandidate[i];
    if (target.IsPathDelimiter(k) && target.IsPathDelimiter(c)) continue;
    if (LowerAscii(k) != LowerAscii(c)) return false;
  }
  return true;
}

Extended TMalwareRuleSuspiciousPath::FolderPercent(TSuspiciousPathResultFolder AType) {
  switch (AType) {
    case F::sprFolderTemp: return 100;
    case F::sprFolderWindows: return 20;
    case F::sprFolderRecycleBin: return 100;
    case F::sprFolderProfile: return 90;
    case F::sprFolderRootDrive: return 90;
    default: return 0;
  }
}

Extended TMalwareRuleSuspiciousPath::FolderDangerPercent(TSuspiciousPathResultFolder AType) {
  switch (AType) {
    case F::sprFolderTemp: return 60;
    case F::sprFolderWindows: return 20;
    case F::sprFolderRecycleBin: return 100;
    case F::sprFolderProfile: return 60;
    case F::sprFolderRootDrive: return 60;
    default: return 0;
  }
}

TRuleCheckCode TMalwareRuleSuspiciousPath::CheckFile(const std::string& AFileName, Extended& APercent) {
  runtime::ITargetSystem& target = Target();
  // The file's folder with its trailing delimiter, and the same folder without
  // its drive or share and the delimiter after it.
  std::string folder = target.ExtractFilePath(AFileName);
  if (folder.empty()) return TRuleCheckCode::rccContinue;
  folder = target.IncludeTrailingPathDelimiter(folder);
  const std::size_t drive = target.DrivePrefixLength(folder);
  const std::string driveless = drive == 0 ? folder : (drive + 1 <= folder.size() ? folder.substr(drive + 1) : "");

  for (const TFolderEntry& e : FFoldersToTest) {
    const std::string& candidate = target.DrivePrefixLength(e.Key) > 0 ? folder : driveless;
    if (!IsPathPrefix(e.Key, candidate)) continue;
    if (!e.Value.WithSubfolders && e.Key.size() != candidate.size()) continue;

    auto& result = static_cast<TMalwareRuleResultSuspiciousPath&>(RuleResult());
    result.FFolderType = e.Value.FolderType;
    result.FFolder = e.Key;
    APercent = FolderPercent(e.Value.FolderType);
    result.AddThreat(ThreatFilePath::Create(e.Value.FolderType, target, AFileName,
                                            FolderDangerPercent(e.Value.FolderType)));
    break;
  }
  return TRuleCheckCode::rccContinue;
}

void TMalwareRuleSuspiciousPath::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                               TMalwareRuleResult* ARuleResult) {
  using R = TMalwareRuleType;
  auto* own = dynamic_cast<TMalwareRuleResultSuspiciousPath*>(ARuleResult);
  if (own && own->FFolderType == F::sprFolderWindows) return;
  if (AResult->GetRulePercent(R::mhRuleOpenNetworkPorts) <= 0) return;
  if (!AResult->CheckRulesOr({R::mhRuleHarmonyName, R::mhRuleEntropy})) return;
  if (AResult->GetRulePercent(R::mhRuleSignedFile) <= 0) return;
  AResult->SetPercentageMatch(100);
}

}  // namespace quillmark
