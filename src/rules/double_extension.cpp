#include "rules/double_extension.h"

#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"
#include "rules/threats_file_info.h"
#include "runtime/target_system.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

// The last extension of a bare file name: from its last dot, dot included.
std::string LastExtension(const std::string& AName) {
  auto dot = AName.rfind('.');
  return dot == std::string::npos ? std::string() : AName.substr(dot);
}

std::string AsciiLowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Longest decoy extension, dot included, that scores without an icon.
constexpr std::size_t kMaxUnregisteredExtLength = 5;

}  // namespace


// --- result ---------------------------------------------------------------------

void TMalwareRuleResultDoubleExtension::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"secondExt", FSecondExt});
  ADetails.push_back({"secondExtImageIndex", std::int64_t{FSecondExtImageIndex}});
  ADetails.push_back({"nameWithoutSecondExt", FNameWithoutSecondExt});
}

// --- rule -----------------------------------------------------------------------

TRuleCheckCode TMalwareRuleDoubleExtension::CheckFile(const std::string& AFileName, Extended& APercent) {
  runtime::ITargetSystem& target = Target();
  const std::string name = target.ExtractFileName(AFileName);
  const std::string ext = LastExtension(name);
  if (ext.empty()) return TRuleCheckCode::rccContinue;
  const std::string base = name.substr(0, name.size() - ext.size());
  const std::string secondExt = AsciiLowerCase(LastExtension(base));
  if (secondExt.empty()) return TRuleCheckCode::rccContinue;

  auto& result = static_cast<TMalwareRuleResultDoubleExtension&>(RuleResult());
  const int index = target.ExtensionIconIndex(secondExt);
  if (index >= 1) {
    APercent = 60;
    result.FSecondExt = secondExt;
    result.FSecondExtImageIndex = index;
    result.AddThreat<ThreatFileName>(TThreatSubGroup::tsgDangerous, -1);
  } else if (CodePointCount(secondExt) <= kMaxUnregisteredExtLength && secondExt.find(' ') == std::string::npos) {
    result.AddThreat<ThreatFileName>(TThreatSubGroup::tsgDangerous, -1);
    APercent = 40;
    result.FSecondExt = secondExt;
  }
  if (APercent > 0) result.FNameWithoutSecondExt = base.substr(0, base.rfind('.')) + ext;
  return TRuleCheckCode::rccContinue;
}

void TMalwareRuleDoubleExtension::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                                TMalwareRuleResult* ARuleResult) {
  using R = TMalwareRuleType;
  auto windowsFolder = [&] {
    auto path = AResult->RuleResultAs<IMalwareRuleResultSuspiciousPath>(R::mhRuleSuspiciousPath);
    return path && path->GetFolderType() == TSuspiciousPathResultFolder::sprFolderWindows;
  };
  auto* own = dynamic_cast<TMalwareRuleResultDoubleExtension*>(ARuleResult);
  const bool ownIcon = own && own->FSecondExtImageIndex >= 1;

  if ((AResult->CheckRulesAnd({R::mhRuleSuspiciousPath, R::mhRuleSignedFile}) &&
       AResult->CheckRulesOr({R::mhRuleNoMainWindow, R::mhRuleNoIcon, R::mhRuleOpenNetworkPorts,
                              R::mhRuleFakeExtension, R::mhRuleHarmonyName}) &&
       (!windowsFolder() || AResult->GetRulePercent(R::mhRuleEntropy) > 0)) ||
      AResult->CheckRulesAnd({R::mhRuleSuspiciousRegistry, R::mhRuleSignedFile, R::mhRuleSuspiciousPath}) ||
      (ownIcon && AResult->CheckRulesAnd({R::mhRuleFakeExtension, R::mhRuleSuspiciousPath})))
    AResult->SetPercentageMatch(100);
}

}  // namespace quillmark
