#include "rules/no_icon.h"

#include <exception>
#include <memory>

#include "engine/malware_heuristic.h"
#include "rules/threats_file_info.h"
#include "support/pe_image.h"
#include "support/pe_resources.h"

namespace quillmark {

// --- TMalwareRuleResultNoIcon -------------------------------------------------

void TMalwareRuleResultNoIcon::SetEvidence(bool AIconFound, std::string AResourceTypes) {
  FIconFound = AIconFound;
  FResourceTypes = std::move(AResourceTypes);
}

void TMalwareRuleResultNoIcon::Reset() {
  TMalwareRuleResult::Reset();
  FIconFound = false;
  FResourceTypes.clear();
}

void TMalwareRuleResultNoIcon::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"iconFound", FIconFound});
  ADetails.push_back({"resourceTypes", FResourceTypes});
}

// --- TMalwareRuleNoIcon -------------------------------------------------------

namespace {

constexpr std::size_t kMaxTypesShown = 32;

std::string TypeList(const TPEResources& AResources) {
  std::string list;
  std::size_t n = 0;
  for (const TResourceName& t : AResources.Types()) {
    if (n++ == kMaxTypesShown) {
      list += ",...";
      break;
    }
    if (!list.empty()) list += ',';
    list += t.ToString();
  }
  return list;
}

}  // namespace

TRuleCheckCode TMalwareRuleNoIcon::CheckFile(const std::string& AFileName, Extended& APercent) {
  if (!SameTextAscii(Target().ExtractFileExt(AFileName), ".exe")) return TRuleCheckCode::rccSkip;

  // The file's own bytes, read only: a file that cannot be read is skipped.
  std::unique_ptr<TPEFile> file;
  try {
    file = TPEFile::Open(Target(), AFileName);
  } catch (const std::exception&) {
    return TRuleCheckCode::rccSkip;
  }
  if (!file->Image().IsValid()) return TRuleCheckCode::rccSkip;

  TPEResources resources(file->Image());
  if (resources.TypeCount() == 0) return TRuleCheckCode::rccSkip;

  const bool icon = resources.HasType(RT_ICON) || resources.HasType(RT_GROUP_ICON);
  if (auto* result = dynamic_cast<TMalwareRuleResultNoIcon*>(&RuleResult()))
    result->SetEvidence(icon, TypeList(resources));
  if (icon) return TRuleCheckCode::rccContinue;

  APercent = 100;
  RuleResult().AddThreat<ThreatFileResource>(ThreatFileResourceGroup::tfrIcon, -1);
  return TRuleCheckCode::rccContinue;
}

}  // namespace quillmark
