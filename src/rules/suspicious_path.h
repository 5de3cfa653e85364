// Suspicious-path rule: scores a file by the folder it lies in (temporary
// folders, the recycle bin, the roaming application-data folder, the root of
// the system drive, the Windows folder).
#pragma once

#include <string>
#include <vector>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

struct TSuspiciousPathResultFields {
  TSuspiciousPathResultFolder FFolderType = TSuspiciousPathResultFolder::sprFolderUnknown;
  std::string FFolder;
};

class TMalwareRuleResultSuspiciousPath
    : public TMalwareRuleResultOf<"TMalwareRuleResultSuspiciousPath", TSuspiciousPathResultFields,
                                  IMalwareRuleResultSuspiciousPath> {
 public:
  TSuspiciousPathResultFolder GetFolderType() override { return FFolderType; }
  std::string GetFolder() override { return FFolder; }

  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleSuspiciousPath : public TMalwareRuleCustom {
 public:
  struct TFolderToTest {
    bool WithSubfolders = false;
    TSuspiciousPathResultFolder FolderType = TSuspiciousPathResultFolder::sprFolderUnknown;
  };
  struct TFolderEntry {
    std::string Key;  // ends with a path delimiter
    TFolderToTest Value;
  };

  // Builds the folder table from the owner's target system.
  TMalwareRuleSuspiciousPath(IRuleHost* AOwner, TMalwareRuleType ARuleType);
  const char* ClassName() const override { return "TMalwareRuleSuspiciousPath"; }

  // The folder table in the order it is searched.
  const std::vector<TFolderEntry>& FoldersToTest() const { return FFoldersToTest; }

  // Rule percent and danger percent of the threat record for a folder type.
  static Extended FolderPercent(TSuspiciousPathResultFolder AType);
  static Extended FolderDangerPercent(TSuspiciousPathResultFolder AType);

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultSuspiciousPath(); }
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;

 private:
  // Adds or replaces an entry; an empty path adds nothing.
  void AddFolder(const std::string& APath, bool AWithSubfolders, TSuspiciousPathResultFolder AType);
  // Whether AKey begins ACandidate, by the target's rules for comparing paths.
  bool IsPathPrefix(const std::string& AKey, const std::string& ACandidate) const;

  std::vector<TFolderEntry> FFoldersToTest;
};

}  // namespace quillmark
