// The one place that names the rule units: a rule joins the library with its
// line here.
#include "engine/rule_table.h"

#include "rules/dangerous_file_name.h"
#include "rules/double_extension.h"
#include "rules/entropy.h"
#include "rules/fake_extension.h"
#include "rules/harmony_name.h"
#include "rules/incorrect_file_location.h"
#include "rules/no_company_info.h"
#include "rules/no_icon.h"
#include "rules/no_main_window.h"
#include "rules/open_network_ports.h"
#include "rules/signed_file.h"
#include "rules/suspicious_path.h"

namespace quillmark {

namespace {
using R = TMalwareRuleType;
constexpr TRuleRegistration kBuiltinRules[] = {
    {R::mhRuleSignedFile, &RuleClassOf<TMalwareRuleSignedFile>},
    {R::mhRuleIncorrectFileLocation, &RuleClassOf<TMalwareRuleIncorrectFileLocation>},
    {R::mhRuleEntropy, &RuleClassOf<TMalwareRuleEntropy>},
    {R::mhRuleDangerousFileName, &RuleClassOf<TMalwareRuleDangerousFileName>},
    {R::mhRuleHarmonyName, &RuleClassOf<TMalwareRuleHarmonyName>},
    {R::mhRuleSuspiciousPath, &RuleClassOf<TMalwareRuleSuspiciousPath>},
    {R::mhRuleNoCompanyInfo, &RuleClassOf<TMalwareRuleNoCompanyInfo>},
    {R::mhRuleNoIcon, &RuleClassOf<TMalwareRuleNoIcon>},
    {R::mhRuleDoubleExtension, &RuleClassOf<TMalwareRuleDoubleExtension>},
    {R::mhRuleFakeExtension, &RuleClassOf<TMalwareRuleFakeExtension>},
    {R::mhRuleNoMainWindow, &RuleClassOf<TMalwareRuleNoMainWindow>},
    {R::mhRuleOpenNetworkPorts, &RuleClassOf<TMalwareRuleOpenNetworkPorts>},
};
}  // namespace

std::span<const TRuleRegistration> BuiltinRules() { return kBuiltinRules; }

}  // namespace quillmark
