// What the engine tells a host beyond the verdict: how the last analysis
// ended, the knowledge it went without, and the report of one file.
#include <algorithm>
#include <system_error>

#include "db/file_trust.h"
#include "engine/malware_heuristic.h"
#include "engine/result_json.h"
#include "rules/heuristic_result.h"
#include "rules/rule_custom.h"

namespace quillmark {

namespace {

TKnowledgeFileProblem PublicProblem(const TKnowledgeProblem& p) {
  TKnowledgeFileProblem out;
  out.Kind = static_cast<TKnowledgeFileKind>(p.Kind);
  out.FileName = p.FileName;
  out.Reason = p.Reason;
  out.NotApplied = p.NotApplied;
  out.Rules = p.Rules;
  return out;
}

std::vector<TKnowledgeFileProblem> PublicProblems(const std::vector<TKnowledgeProblem>& problems) {
  std::vector<TKnowledgeFileProblem> out;
  out.reserve(problems.size());
  for (const TKnowledgeProblem& p : problems) out.push_back(PublicProblem(p));
  return out;
}

std::string KnowledgeProblemText(const TKnowledgeFileProblem& p, const char* what) {
  return "knowledge file '" + PrintableName(p.FileName) + "' " + what + " (" + p.Reason +
         "): not applied: " + p.NotApplied;
}

}  // namespace

std::vector<TKnowledgeFileProblem> TMalwareHeuristic::CheckKnowledgeFiles() {
  return PublicProblems(FDictionaries->CheckAll());
}

std::vector<TKnowledgeFileProblem> TMalwareHeuristic::TakeQueryProblems() {
  return PublicProblems(FDictionaries->TakeQueryProblems());
}

std::vector<TTrustAnchorProblem> TMalwareHeuristic::GetTrustAnchorProblems() {
  // The store the signed-file rule builds from the same settings, shared.
  std::vector<TTrustAnchorProblem> out;
  TMalwareHeuristicSettings& settings = Settings();
  for (const TTrustStore::TProblem& p : TTrustStore::Shared(settings.TrustFolder(), settings.CAFiles())->Problems())
    out.push_back({p.FileName, p.Reason});
  return out;
}

std::vector<std::string> TMalwareHeuristic::CheckKnowledgeWarnings() {
  std::vector<std::string> warnings;
  for (const TKnowledgeFileProblem& p : CheckKnowledgeFiles())
    warnings.push_back(KnowledgeProblemText(p, "cannot be used"));
  for (const TTrustAnchorProblem& p : GetTrustAnchorProblems())
    warnings.push_back("certificate file '" + PrintableName(p.FileName) + "' adds no trust anchor (" + p.Reason + ")");
  return warnings;
}

TFileReport TMalwareHeuristic::GetLastReport(const std::string& AFileName) {
  std::lock_guard<std::recursive_mutex> guard(FCS);
  TFileReport report;
  report.File = AFileName;
  const TAnalysisStatus& status = FLastStatus;
  report.Analyzed = status.Outcome == TAnalysisOutcome::aoAnalyzed;
  report.Size = status.Size;
  report.Sha256 = status.Sha256;
  report.Warnings = status.Warnings;

  TMalwareHeuristicResult& result = ResultObject();
  if (report.Analyzed) {
    report.Percent = result.PercentageMatch();
    report.ThreatId = result.MalwareID();
    for (const auto& [type, ruleResult] : result.Rules()) {
      if (!ruleResult) continue;
      TRuleReport rule;
      rule.Rule = RuleTypeIdentifier(type);
      rule.Percent = ruleResult->GetPercentageMatch();
      if (auto evidence = ruleResult.As<IMalwareRuleResultEvidence>()) {
        rule.Threats = evidence->GetThreatRecords();
        rule.Details = evidence->GetDetailRecord();
      }
      report.Rules.push_back(std::move(rule));
    }
    TMalwareThreatInfo info;
    try {
      if (GetMalwareThreatInfo(report.ThreatId, &info)) {
        report.ThreatName = info.Name;
        report.ThreatSeverity = info.Severity;
      }
    } catch (const std::exception&) {
      // No threat-name database: the identifier is all there is.
    }
  }

  // A knowledge file that failed a query during this analysis (or the
  // threat-name lookup): the verdict went without it, and later ones will.
  for (TKnowledgeFileProblem& p : TakeQueryProblems()) FLastQueryProblems.push_back(std::move(p));
  for (const TKnowledgeFileProblem& p : FLastQueryProblems) {
    report.Warnings.push_back(KnowledgeProblemText(p, "failed during the analysis"));
    report.KnowledgeFailed = true;
  }
  if (report.Analyzed) return report;

  switch (status.Outcome) {
    case TAnalysisOutcome::aoNotPEImage:
      report.Error = "not a PE image";
      break;
    case TAnalysisOutcome::aoNoRule:
      report.Error = "no rule applied";
      break;
    case TAnalysisOutcome::aoReadError:
      // A path that became a pipe or socket after it was listed.
      if (status.Message == "not a regular file") {
        report.Error = status.Message;
      } else {
        report.Readable = false;
        report.Error = status.Message == "no such file"
                           ? std::make_error_code(std::errc::no_such_file_or_directory).message()
                           : status.Message;
      }
      break;
    default:
      report.AnalysisFailed = true;
      report.Error = "analysis failed: " + (status.Message.empty() ? std::string("see the debug log") : status.Message);
      break;
  }
  return report;
}

std::string TMalwareHeuristic::GetLastReportJson(const std::string& AFileName, Extended AThreshold,
                                                 const std::vector<std::string>& ASharedWarnings) {
  return FileReportJson(GetLastReport(AFileName), AThreshold, ASharedWarnings);
}

}  // namespace quillmark
