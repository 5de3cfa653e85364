#include "rules/open_network_ports.h"

#include <vector>

#include "db/black_white_lists.h"
#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"
#include "runtime/target_system.h"
#include "support/iphlpapi.h"
#include "support/network_utils.h"
#include "support/processes.h"

namespace quillmark {

std::string IPv4ToText(std::uint32_t AAddr) {
  return std::to_string(AAddr & 0xFF) + "." + std::to_string((AAddr >> 8) & 0xFF) + "." +
         std::to_string((AAddr >> 16) & 0xFF) + "." + std::to_string(AAddr >> 24);
}

// --- TMalwareRuleResultOpenNetworkPorts ------------------------------------

void TMalwareRuleResultOpenNetworkPorts::GetDetails(TRuleResultDetails& ADetails) const {
  TRuleResultDetailRecords connections;
  for (const TRuleProcessPortInfo& p : FPorts) {
    connections.push_back({
        {"state", std::string(TcpStateName(p.State))},
        {"localAddress", IPv4ToText(p.LocalIPAddr)},
        {"localPort", static_cast<std::int64_t>(p.LocalPort)},
        {"remoteAddress", IPv4ToText(p.RemoteIPAddr)},
        {"remotePort", static_cast<std::int64_t>(p.RemotePort)},
        {"remoteInBlackList", p.RemoteIPInBlackList},
    });
  }
  ADetails.push_back({"connections", std::move(connections)});
}

// --- TMalwareRuleOpenNetworkPorts -------------------------------------------

bool TMalwareRuleOpenNetworkPorts::IsAddressBlackListed(std::uint32_t ARemoteAddr) {
  IRuleHost* owner = Owner();
  return owner && owner->BlackWhiteLists().CheckIPv4(ARemoteAddr);
}

TRuleCheckCode TMalwareRuleOpenNetworkPorts::CheckFile(const std::string& AFileName, Extended& APercent) {
  ComPtr<IProcessList> list = ProcessList();
  ComPtr<IProcess> process = list ? list->FindByFileName(AFileName) : ComPtr<IProcess>();
  if (!process) return TRuleCheckCode::rccContinue;
  const std::uint32_t pid = process->ProcessID();

  std::uint32_t size = 0;
  if (TIphlpApi::GetExtendedTcpTable(Target(), nullptr, &size, false, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0) !=
      ERROR_INSUFFICIENT_BUFFER_CODE)
    return TRuleCheckCode::rccContinue;
  // 32-bit words keep the rows aligned.
  std::vector<std::uint32_t> buffer((size + 3) / 4);
  if (TIphlpApi::GetExtendedTcpTable(Target(), buffer.data(), &size, true, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL,
                                     0) != NO_ERROR_CODE)
    return TRuleCheckCode::rccContinue;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  if (table->dwNumEntries == 0) return TRuleCheckCode::rccContinue;

  auto* result = dynamic_cast<TMalwareRuleResultOpenNetworkPorts*>(&RuleResult());
  bool found = false;
  for (std::uint32_t i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    if (row.OwningPid != pid || row.RemoteAddr == 0 || row.State == MIB_TCP_STATE_CLOSED) continue;
    TRuleProcessPortInfo info{};
    info.State = row.State;
    info.LocalPort = TNetworkUtils::NetworkPortValueToOriginalPort(row.LocalPort);
    info.LocalIPAddr = row.LocalAddr;
    info.RemotePort = TNetworkUtils::NetworkPortValueToOriginalPort(row.RemotePort);
    info.RemoteIPAddr = row.RemoteAddr;
    info.RemoteIPInBlackList = IsAddressBlackListed(row.RemoteAddr);
    if (result) result->Ports().push_back(info);
    if (info.RemoteIPInBlackList) {
      APercent = 100;
      return TRuleCheckCode::rccMalicious;
    }
    found = true;
  }
  if (found) APercent = 100;
  return TRuleCheckCode::rccContinue;
}

void TMalwareRuleOpenNetworkPorts::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                                 TMalwareRuleResult*) {
  using R = TMalwareRuleType;
  if (!AResult->CheckRulesOr({R::mhRuleSignedFile, R::mhRuleSuspiciousPath})) return;
  if (!AResult->CheckRulesOr({R::mhRuleDoubleExtension, R::mhRuleFakeExtension})) return;
  if (AResult->GetRulePercent(R::mhRuleEntropy) > 0) {
    AResult->SetPercentageMatch(100);
    return;
  }
  Extended floor = 40;
  if (AResult->CheckRulesOr({R::mhRuleNoIcon, R::mhRuleNoCompanyInfo, R::mhRuleNoMainWindow})) floor += 10;
  if (floor > AResult->PercentageMatch()) AResult->SetPercentageMatch(floor);
}

}  // namespace quillmark
