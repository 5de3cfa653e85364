#include "rules/incorrect_file_location.h"

#include "db/file_details.h"
#include "db/knowledge_keys.h"
#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"
#include "rules/threats_file_info.h"
#include "runtime/target_system.h"

namespace quillmark {

// --- result ---------------------------------------------------------------------

void TMalwareRuleResultIncorrectFileLocation::GetDetails(TRuleResultDetails& ADetails) const {
  // One record per legitimate folder.
  TRuleResultDetailRecords paths;
  for (const std::string& path : FPaths) paths.push_back({TRuleResultDetail{"path", path}});
  ADetails.push_back({"paths", std::move(paths)});
}

// --- rule -----------------------------------------------------------------------

std::string TMalwareRuleIncorrectFileLocation::ComparableFolder(const std::string& APath) const {
  if (Target().PathSyntax() != runtime::TPathSyntax::psWindows) return APath;
  std::string folded = TKnowledgeKeys::LowerCase(APath);
  for (char& c : folded)
    if (c == '/') c = '\\';
  return folded;
}

TRuleCheckCode TMalwareRuleIncorrectFileLocation::CheckFile(const std::string& AFileName, Extended& APercent) {
  auto& result = static_cast<TMalwareRuleResultIncorrectFileLocation&>(RuleResult());
  TRuleCheckCode code = TRuleCheckCode::rccContinue;
  // FPaths lists the legitimate folders only after a mismatch.
  struct TClearUnlessScored {
    Extended& Percent;
    std::vector<std::string>& Paths;
    ~TClearUnlessScored() {
      if (Percent == 0) Paths.clear();
    }
  } clear{APercent, result.FPaths};

  if (!Owner()) return code;
  std::vector<TFilePathInfo> locations;
  if (!Owner()->FileDetails().GetFileLocations(AFileName, locations, nullptr)) return code;
  DoProgress(50);

  runtime::ITargetSystem& target = Target();
  const std::string folder = ComparableFolder(target.ExcludeTrailingPathDelimiter(target.ExtractFilePath(AFileName)));
  for (const TFilePathInfo& location : locations) {
    const std::string path = ComparableFolder(location.Path);
    // A recursive location holds every folder whose text begins with its own.
    if (location.Recursive && folder.compare(0, path.size(), path) == 0) return code;
    if (folder == path) return TRuleCheckCode::rccClean;
    result.FPaths.push_back(location.Path);
  }
  APercent = kMisplacedPercent;
  result.AddThreat(ThreatFilePath::Create(target, AFileName, 100));
  return code;
}

void TMalwareRuleIncorrectFileLocation::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                                      TMalwareRuleResult*) {
  using R = TMalwareRuleType;
  if (AResult->GetRulePercent(R::mhRuleSuspiciousPath) <= 0) return;
  auto path = AResult->RuleResultAs<IMalwareRuleResultSuspiciousPath>(R::mhRuleSuspiciousPath);
  if (!path || path->GetFolderType() == TSuspiciousPathResultFolder::sprFolderWindows) return;
  AResult->SetPercentageMatch(100);
}

}  // namespace quillmark
