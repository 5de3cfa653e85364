#include "rules/dangerous_file_name.h"

#include "rules/threats_file_info.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

// Spaces in a row that hide the real end of a name.
constexpr int kManyGaps = 4;

using C = TDangerousFileNameCause;

// Without leading and trailing blanks and control characters.


}  // namespace

const char* DangerousFileNameCauseIdentifier(TDangerousFileNameCause c) {
  switch (c) {
    case C::dfcManyGaps: return "dfcManyGaps";
    case C::dfcPEEmptyName: return "dfcPEEmptyName";
  }
  return "";
}

// --- result ---------------------------------------------------------------------

void TMalwareRuleResultDangerousFileName::GetDetails(TRuleResultDetails& ADetails) const {
  std::string causes;
  for (C c : {C::dfcManyGaps, C::dfcPEEmptyName})
    if (FCauses & DangerousFileNameCauseBit(c)) {
      if (!causes.empty()) causes += ',';
      causes += DangerousFileNameCauseIdentifier(c);
    }
  ADetails.push_back({"causes", causes});
}

// --- rule -----------------------------------------------------------------------

TRuleCheckCode TMalwareRuleDangerousFileName::CheckFile(const std::string& AFileName, Extended& APercent) {
  const std::string name = Target().ExtractFileName(AFileName);
  auto& result = static_cast<TMalwareRuleResultDangerousFileName&>(RuleResult());
  for (C cause : {C::dfcManyGaps, C::dfcPEEmptyName}) {
    if (Canceled()) break;
    Extended percent = 100;
    TRuleCheckCode code = TestCause(cause, name, percent);
    if (code == TRuleCheckCode::rccSkip) continue;
    result.FCauses |= DangerousFileNameCauseBit(cause);
    APercent += percent;
    result.AddThreat<ThreatFileName>(TThreatSubGroup::tsgDangerous, -1);
    if (code == TRuleCheckCode::rccClean || code == TRuleCheckCode::rccStop || code == TRuleCheckCode::rccMalicious)
      return code;
  }
  return TRuleCheckCode::rccContinue;
}

TRuleCheckCode TMalwareRuleDangerousFileName::TestCause(TDangerousFileNameCause ACause, const std::string& AName,
                                                        Extended& APercent) {
  APercent = 100;
  return ACause == C::dfcManyGaps ? TestManyGaps(AName) : TestPEEmptyName(AName);
}

TRuleCheckCode TMalwareRuleDangerousFileName::TestManyGaps(const std::string& AName) {
  int run = 0;
  for (char c : AName) {
    if (Canceled()) return TRuleCheckCode::rccSkip;
    run = c == ' ' ? run + 1 : 0;
    if (run >= kManyGaps) return TRuleCheckCode::rccMalicious;
  }
  return TRuleCheckCode::rccSkip;
}

TRuleCheckCode TMalwareRuleDangerousFileName::TestPEEmptyName(const std::string& AName) {
  auto dot = AName.rfind('.');
  std::string_view ext = dot == std::string::npos ? std::string_view() : std::string_view(AName).substr(dot);
  return SameTextAscii(TrimBlanks(AName), TrimBlanks(ext)) ? TRuleCheckCode::rccMalicious
                                                               : TRuleCheckCode::rccSkip;
}

}  // namespace quillmark
