#include "rules/no_icon.h"

#include <exception>
#include <memory>

#include "interfaces/rule_host.h"
#include "rules/threats_file_info.h"
#include "runtime/target_system.h"
#include "support/analyzed_file.h"
#include "support/pe_image.h"
#include "support/pe_resources.h"

namespace quillmark {

// --- TMalwareRuleResultNoIcon -------------------------------------------------

void TMalwareRuleResultNoIcon::SetEvidence(bool AIconFound, std::string AResourceTypes) {
  FIconFound = AIconFound;
  FResourceTypes = std::move(AResourceTypes);
}

void TMalwareRuleResultNoIcon::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"iconFound", FIconFound});
  ADetails.push_back({"resourceTypes", FResourceTypes});
}

// --- TMalwareRuleNoIcon -------------------------------------------------------

namespace {

constexpr std::size_t kMaxTypesShown = 32;

// The first types, by name; a directory of a million types costs no more.
std::string TypeList(const TPEResources& AResources) {
  std::string list;
  std::size_t n = 0;
  AResources.ForEachType([&](const TResourceName& t) {
    if (n++ == kMaxTypesShown) {
      list += ",...";
      return false;
    }
    if (!list.empty()) list += ',';
    list += t.ToString();
    return true;
  });
  return list;
}

}  // namespace

TRuleCheckCode TMalwareRuleNoIcon::CheckFile(const std::string& AFileName, Extended& APercent) {
  if (!SameTextAscii(Target().ExtractFileExt(AFileName), ".exe")) return TRuleCheckCode::rccSkip;

  // The file's own bytes, read only: a file that cannot be read is skipped.
  const TPEImage* image = nullptr;
  try {
    image = &AnalyzedFile(AFileName).Image();
  } catch (const std::exception&) {
    return TRuleCheckCode::rccSkip;
  }
  if (!image->IsValid()) return TRuleCheckCode::rccSkip;

  TPEResources resources(*image);
  if (resources.TypeCount() == 0) return TRuleCheckCode::rccSkip;

  const bool icon = resources.HasType(rtIcon) || resources.HasType(rtGroupIcon);
  if (auto* result = dynamic_cast<TMalwareRuleResultNoIcon*>(&RuleResult()))
    result->SetEvidence(icon, TypeList(resources));
  if (icon) return TRuleCheckCode::rccContinue;

  APercent = 100;
  RuleResult().AddThreat<ThreatFileResource>(ThreatFileResourceGroup::tfrIcon, -1);
  return TRuleCheckCode::rccContinue;
}

}  // namespace quillmark
