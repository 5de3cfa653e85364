#include "support/iphlpapi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <tuple>
#include <vector>

namespace quillmark {

namespace {

// An address in the stored layout turned into its dotted order, so that
// addresses sort as numbers.
std::uint32_t DottedOrder(std::uint32_t a) {
  return ((a & 0xFFu) << 24) | ((a & 0xFF00u) << 8) | ((a >> 8) & 0xFF00u) | (a >> 24);
}
std::uint32_t PortNumber(std::uint32_t p) { return ((p & 0xFFu) << 8) | ((p >> 8) & 0xFFu); }

bool Wanted(TCP_TABLE_CLASS c, std::uint32_t state) {
  switch (c) {
    case TCP_TABLE_BASIC_LISTENER:
    case TCP_TABLE_OWNER_PID_LISTENER:
      return state == MIB_TCP_STATE_LISTEN;
    case TCP_TABLE_BASIC_CONNECTIONS:
    case TCP_TABLE_OWNER_PID_CONNECTIONS:
      return state != MIB_TCP_STATE_LISTEN;
    default:
      return true;
  }
}

// The table whose size the calling thread was last told, so that the call
// that follows with a buffer of that size gets that table and not a newer
// one that has grown meanwhile (connections come and go between the calls).
struct TSnapshot {
  const runtime::ITargetSystem* Target = nullptr;
  TCP_TABLE_CLASS TableClass = TCP_TABLE_OWNER_PID_ALL;
  std::chrono::steady_clock::time_point Taken;
  std::vector<MIB_TCPROW_OWNER_PID> Rows;
};
thread_local TSnapshot tSnapshot;
constexpr auto kSnapshotLife = std::chrono::milliseconds(500);

}  // namespace

const char* TcpStateName(std::uint32_t AState) {
  switch (AState) {
    case MIB_TCP_STATE_CLOSED: return "CLOSED";
    case MIB_TCP_STATE_LISTEN: return "LISTEN";
    case MIB_TCP_STATE_SYN_SENT: return "SYN_SENT";
    case MIB_TCP_STATE_SYN_RCVD: return "SYN_RCVD";
    case MIB_TCP_STATE_ESTAB: return "ESTABLISHED";
    case MIB_TCP_STATE_FIN_WAIT1: return "FIN_WAIT1";
    case MIB_TCP_STATE_FIN_WAIT2: return "FIN_WAIT2";
    case MIB_TCP_STATE_CLOSE_WAIT: return "CLOSE_WAIT";
    case MIB_TCP_STATE_CLOSING: return "CLOSING";
    case MIB_TCP_STATE_LAST_ACK: return "LAST_ACK";
    case MIB_TCP_STATE_TIME_WAIT: return "TIME_WAIT";
    case MIB_TCP_STATE_DELETE_TCB: return "DELETE_TCB";
    default: return "UNKNOWN";
  }
}

std::uint32_t TIphlpApi::GetExtendedTcpTable(runtime::ITargetSystem& ATarget, void* pTcpTable,
                                             std::uint32_t* pdwSize, bool bOrder, std::uint32_t ulAf,
                                             TCP_TABLE_CLASS TableClass, std::uint32_t Reserved) {
  if (!pdwSize || Reserved != 0) return ERROR_INVALID_PARAMETER_CODE;
  if (ulAf != AF_INET_FAMILY) return ERROR_NOT_SUPPORTED_CODE;
  if (TableClass > TCP_TABLE_OWNER_PID_ALL) return ERROR_NOT_SUPPORTED_CODE;

  std::vector<MIB_TCPROW_OWNER_PID> rows;
  const auto now = std::chrono::steady_clock::now();
  if (pTcpTable && tSnapshot.Target == &ATarget && tSnapshot.TableClass == TableClass &&
      now - tSnapshot.Taken < kSnapshotLife) {
    rows = std::move(tSnapshot.Rows);
  } else {
    for (const MIB_TCPROW_OWNER_PID& r : ATarget.GetTcpTable())
      if (Wanted(TableClass, r.State)) rows.push_back(r);
  }
  tSnapshot = TSnapshot{};
  if (bOrder)
    std::stable_sort(rows.begin(), rows.end(), [](const MIB_TCPROW_OWNER_PID& a, const MIB_TCPROW_OWNER_PID& b) {
      return std::make_tuple(DottedOrder(a.LocalAddr), PortNumber(a.LocalPort), DottedOrder(a.RemoteAddr),
                             PortNumber(a.RemotePort)) < std::make_tuple(DottedOrder(b.LocalAddr),
                                                                         PortNumber(b.LocalPort),
                                                                         DottedOrder(b.RemoteAddr),
                                                                         PortNumber(b.RemotePort));
    });

  const bool withOwner = TableClass >= TCP_TABLE_OWNER_PID_LISTENER;
  const std::size_t rowSize = withOwner ? sizeof(MIB_TCPROW_OWNER_PID) : sizeof(MIB_TCPROW);
  const std::size_t needed = sizeof(std::uint32_t) + std::max<std::size_t>(rows.size(), 1) * rowSize;
  if (!pTcpTable || *pdwSize < needed) {
    *pdwSize = static_cast<std::uint32_t>(needed);
    tSnapshot = TSnapshot{&ATarget, TableClass, now, std::move(rows)};
    return ERROR_INSUFFICIENT_BUFFER_CODE;
  }
  auto* out = static_cast<unsigned char*>(pTcpTable);
  const auto count = static_cast<std::uint32_t>(rows.size());
  std::memcpy(out, &count, sizeof count);
  out += sizeof count;
  for (const MIB_TCPROW_OWNER_PID& r : rows) {
    std::memcpy(out, &r, rowSize);  // the basic row is the owner row's first five fields
    out += rowSize;
  }
  return NO_ERROR_CODE;
}

}  // namespace quillmark
