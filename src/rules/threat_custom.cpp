#include "rules/threat_custom.h"

#include "support/exceptions.h"

namespace quillmark {

Extended TThreat::GetDefaultDangerPercent() const { throw EAbstractError(); }

void TThreat::Initialize(Extended ADangerPercent) {
  FDangerPercent = ADangerPercent < 0.0L ? GetDefaultDangerPercent() : ADangerPercent;
}

std::string TThreat::Name() const {
  std::string name = std::string(ClassName()) + "." + GetGroupName();
  if (name.back() != '.') name += '.';
  return name + GetBaseName();
}

std::string_view TEnumIdentifiers<TThreatSubGroup>::Identifier(TThreatSubGroup v) {
  switch (v) {
    case TThreatSubGroup::tsgNormal: return "tsgNormal";
    case TThreatSubGroup::tsgSuspicious: return "tsgSuspicious";
    case TThreatSubGroup::tsgDangerous: return "tsgDangerous";
    case TThreatSubGroup::tsgCrytical: return "tsgCrytical";
  }
  return "";
}

}  // namespace quillmark
