// What the program says about one file, as a text line or a JSON line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rules/rule_custom.h"

namespace quillmark::cli {

struct TRuleReport {
  std::string Rule;  // identifier, such as "mhRuleEntropy"
  long double Percent = 0;
  std::vector<std::pair<std::string, long double>> Threats;  // name, danger percent
  TRuleResultDetails Details;
};

struct TFileReport {
  std::string File;
  // False when the path could not be read (a missing path, a folder that
  // could not be listed, a file that could not be read); Error then says why.
  // Such a failure makes the scan's exit status 2.
  bool Readable = true;
  // True when the engine met an error of its own (not one of the file's):
  // the file gets no verdict, Error says why, and the exit status is 2.
  bool AnalysisFailed = false;
  // True when a knowledge file failed during the analysis: the verdict went
  // without it, a warning says which, and the exit status is 2.
  bool KnowledgeFailed = false;
  // The engine's answer.
  bool Analyzed = false;
  long double Percent = 0;
  std::int32_t ThreatId = 0;
  std::optional<std::string> ThreatName;
  std::optional<int> ThreatSeverity;
  std::vector<TRuleReport> Rules;
  // Why the file was not analysed; empty when it was.
  std::string Error;
  // Notes on the verdict: knowledge that could not be used, a size cap that
  // cut the reading short.
  std::vector<std::string> Warnings;
};

// "FILE: 42.5%  mhRuleEntropy 85.0% [Name 85%, ...]  ..." or
// "FILE: not analysed (REASON)", without the line end. The signed-file and
// no-company-info rules add their evidence in braces:
// "mhRuleSignedFile 0.0% {signer "Name", issuer "CA", serial 0A1B,
// thumbprint 3F.., trusted (CERT_E_EXPIRED 0x800B0101)}". The threat name
// closes the line of a file that scored at or above AThreshold.
std::string FormatText(const TFileReport& r, long double AThreshold);
// One JSON object, without the line end. A name that is not well-formed
// UTF-8 is kept as "fileBytes", its bytes in base64, beside the repaired
// "file".
// "warnings" lists AShared (problems of the whole scan) before the file's own.
std::string FormatJson(const TFileReport& r, const std::vector<std::string>& AShared = {});

}  // namespace quillmark::cli
