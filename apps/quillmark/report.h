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
  // False when the file could not be opened; Error then says why, and the
  // engine never saw the file.
  bool Readable = true;
  // The engine's answer.
  bool Analyzed = false;
  long double Percent = 0;
  std::int32_t ThreatId = 0;
  std::optional<std::string> ThreatName;
  std::optional<int> ThreatSeverity;
  std::vector<TRuleReport> Rules;
  // Why the file was not analysed; empty when it was.
  std::string Error;
};

// "FILE: 42.5%  mhRuleEntropy 85.0% [Name 85%, ...]  ..." or
// "FILE: not analysed (REASON)", without the line end. The signed-file and
// no-company-info rules add their evidence in braces:
// "mhRuleSignedFile 0.0% {signer "Name", issuer "CA", serial 0A1B,
// thumbprint 3F.., trusted (CERT_E_EXPIRED 0x800B0101)}". The threat name
// closes the line of a file that scored at or above AThreshold.
std::string FormatText(const TFileReport& r, long double AThreshold);
// One JSON object, without the line end.
std::string FormatJson(const TFileReport& r);

}  // namespace quillmark::cli
