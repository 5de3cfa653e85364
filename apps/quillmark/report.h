// What the program says about one file, as a text line or a JSON line. The
// report itself (quillmark::TFileReport) comes from the engine.
#pragma once

#include <string>
#include <vector>

#include "quillmark/host_api.h"

namespace quillmark::cli {

// "FILE: 42.5%  mhRuleEntropy 85.0% [Name 85%, ...]  ..." or
// "FILE: not analysed (REASON)", without the line end. The signed-file and
// no-company-info rules add their evidence in braces:
// "mhRuleSignedFile 0.0% {signer "Name", issuer "CA", serial 0A1B,
// thumbprint 3F.., trusted (CERT_E_EXPIRED 0x800B0101)}". The threat name
// closes the line of a file that scored at or above AThreshold.
std::string FormatText(const TFileReport& r, long double AThreshold);
// One JSON object, without the line end (FileReportJson). "warnings" lists
// AShared (problems of the whole scan) before the file's own.
std::string FormatJson(const TFileReport& r, long double AThreshold, const std::vector<std::string>& AShared = {});

}  // namespace quillmark::cli
