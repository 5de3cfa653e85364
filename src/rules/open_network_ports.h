// Open-network-ports rule: a running program that holds TCP connections to
// remote addresses talks to the network; a connection into a black-listed
// network range ends the analysis as malicious.
#pragma once

#include <string>
#include <vector>

#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

struct TOpenNetworkPortsResultFields {
  std::vector<TRuleProcessPortInfo> FPorts;
};

class TMalwareRuleResultOpenNetworkPorts
    : public TMalwareRuleResultOf<"TMalwareRuleResultOpenNetworkPorts", TOpenNetworkPortsResultFields,
                                  IMalwareRuleResultOpenNetworkPorts> {
 public:
  const std::vector<TRuleProcessPortInfo>& GetPorts() override { return FPorts; }

  std::vector<TRuleProcessPortInfo>& Ports() { return FPorts; }

  // "connections": one record per connection with its state, local and
  // remote address and port, and whether the remote end is black-listed.
  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleOpenNetworkPorts : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleOpenNetworkPorts"; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultOpenNetworkPorts(); }
  // A networked program that is unsigned or lies in a suspicious folder and
  // also disguises its extension: 100 with high entropy, otherwise at least
  // 40, or 50 when it also lacks an icon, a company name or a main window.
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;

  // Whether the remote address (first octet in the lowest byte) lies in a
  // black-listed range of the engine's black/white lists.
  virtual bool IsAddressBlackListed(std::uint32_t ARemoteAddr);
};

// Dotted text of an address in the stored layout ("127.0.0.1").
std::string IPv4ToText(std::uint32_t AAddr);

}  // namespace quillmark
