#include "rules/rule_registration.h"

#include "engine/malware_heuristic.h"
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

void RegisterBuiltinRules() {
  // Each rule unit adds its line here as it joins the library.
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleSignedFile, &RuleClassOf<TMalwareRuleSignedFile>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleIncorrectFileLocation,
                                  &RuleClassOf<TMalwareRuleIncorrectFileLocation>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleEntropy, &RuleClassOf<TMalwareRuleEntropy>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleHarmonyName, &RuleClassOf<TMalwareRuleHarmonyName>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleDangerousFileName, &RuleClassOf<TMalwareRuleDangerousFileName>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleSuspiciousPath, &RuleClassOf<TMalwareRuleSuspiciousPath>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleDoubleExtension, &RuleClassOf<TMalwareRuleDoubleExtension>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleFakeExtension, &RuleClassOf<TMalwareRuleFakeExtension>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleNoCompanyInfo, &RuleClassOf<TMalwareRuleNoCompanyInfo>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleNoIcon, &RuleClassOf<TMalwareRuleNoIcon>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleNoMainWindow, &RuleClassOf<TMalwareRuleNoMainWindow>);
  TMalwareHeuristic::RegisterRule(TMalwareRuleType::mhRuleOpenNetworkPorts, &RuleClassOf<TMalwareRuleOpenNetworkPorts>);
}

}  // namespace quillmark
