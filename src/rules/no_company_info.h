// No-company-info rule: a program whose version resource names no publisher,
// or has no version resource at all, hides who made it; a publisher on the
// black list ends the analysis as malicious.
#pragma once

#include <string>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"
#include "support/file_version_info.h"

namespace quillmark {

// The version-resource key the rule reads.
constexpr const char* kCompanyNameKey = "CompanyName";

struct TNoCompanyInfoResultFields {
  bool FInBlacklist = false;
  bool FHasVersionInfo = false;
  std::string FCompanyName;
  std::string FVersionTable;
};

class TMalwareRuleResultNoCompanyInfo
    : public TMalwareRuleResultOf<"TMalwareRuleResultNoCompanyInfo", TNoCompanyInfoResultFields,
                                  IMalwareRuleResultNoCompanyInfo> {
 public:
  bool GetInBlacklist() override { return FInBlacklist; }

  bool InBlacklist() const { return FInBlacklist; }
  void SetInBlacklist(bool AValue) { FInBlacklist = AValue; }
  // What the latest check read: whether a version resource was there, the
  // company name, and the key of the string table it came from ("040904B0").
  bool HasVersionInfo() const { return FHasVersionInfo; }
  const std::string& CompanyName() const { return FCompanyName; }
  const std::string& VersionTable() const { return FVersionTable; }
  void SetEvidence(bool AHasVersionInfo, std::string ACompanyName, std::string AVersionTable);

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleNoCompanyInfo : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleNoCompanyInfo"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultNoCompanyInfo(); }

  // Whether the file's company name matches the black list of company
  // names (the engine's black/white-list database).
  virtual bool IsVersionInfoBlackListed(const TFileVersionInfo& AInfo);
};

}  // namespace quillmark
