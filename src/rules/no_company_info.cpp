#include "rules/no_company_info.h"

#include "db/black_white_lists.h"
#include "interfaces/rule_host.h"
#include "rules/threats_file_info.h"
#include "support/analyzed_file.h"

namespace quillmark {

// --- TMalwareRuleResultNoCompanyInfo ------------------------------------------

void TMalwareRuleResultNoCompanyInfo::SetEvidence(bool AHasVersionInfo, std::string ACompanyName,
                                                  std::string AVersionTable) {
  FHasVersionInfo = AHasVersionInfo;
  FCompanyName = std::move(ACompanyName);
  FVersionTable = std::move(AVersionTable);
}

void TMalwareRuleResultNoCompanyInfo::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"hasVersionInfo", FHasVersionInfo});
  ADetails.push_back({"companyName", FCompanyName});
  if (!FVersionTable.empty()) ADetails.push_back({"versionTable", FVersionTable});
  ADetails.push_back({"inBlacklist", FInBlacklist});
}

// --- TMalwareRuleNoCompanyInfo ------------------------------------------------

bool TMalwareRuleNoCompanyInfo::IsVersionInfoBlackListed(const TFileVersionInfo& AInfo) {
  if (!Owner()) return false;
  return Owner()->BlackWhiteLists().CheckFileVersionInfo(AInfo, TListType::mdBlackList);
}

TRuleCheckCode TMalwareRuleNoCompanyInfo::CheckFile(const std::string& AFileName, Extended& APercent) {
  // The version resource of the analysed file; an unreadable file has none.
  TFileVersionInfo info;
  try {
    info = TFileVersionInfo(AnalyzedFile(AFileName).Image());
  } catch (const std::exception&) {
    info = TFileVersionInfo();
  }
  auto* result = dynamic_cast<TMalwareRuleResultNoCompanyInfo*>(&RuleResult());

  if (!info.GetIsAviable()) {
    APercent = 100;
    RuleResult().AddThreat<ThreatFileVersionInfo>(TThreatSubGroup::tsgDangerous, -1);
    return TRuleCheckCode::rccContinue;
  }

  const TVersionStringTable* table = info.TableOf(kCompanyNameKey);
  std::string company = info.GetValue(kCompanyNameKey);
  if (result) result->SetEvidence(true, company, table ? table->Key : std::string());
  if (company.empty()) {
    APercent = 100;
    RuleResult().AddThreat<ThreatFileVersionInfo>(TThreatSubGroup::tsgSuspicious, -1);
    return TRuleCheckCode::rccContinue;
  }

  if (IsVersionInfoBlackListed(info)) {
    APercent = 100;
    if (result) result->SetInBlacklist(true);
    return TRuleCheckCode::rccMalicious;
  }
  return TRuleCheckCode::rccContinue;
}

}  // namespace quillmark
