// The TCP connection table as the IP Helper API reports it
// (GetExtendedTcpTable), over the target system's table.
#pragma once

#include <cstdint>

#include "runtime/target_system.h"

namespace quillmark {

// Result codes of the call.
constexpr std::uint32_t NO_ERROR_CODE = 0;
constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE = 122;
constexpr std::uint32_t ERROR_NOT_SUPPORTED_CODE = 50;

constexpr std::uint32_t AF_INET_FAMILY = 2;
constexpr std::uint32_t AF_INET6_FAMILY = 23;

// MIB_TCP_STATE.
enum MIB_TCP_STATE : std::uint32_t {
  MIB_TCP_STATE_CLOSED = 1,
  MIB_TCP_STATE_LISTEN = 2,
  MIB_TCP_STATE_SYN_SENT = 3,
  MIB_TCP_STATE_SYN_RCVD = 4,
  MIB_TCP_STATE_ESTAB = 5,
  MIB_TCP_STATE_FIN_WAIT1 = 6,
  MIB_TCP_STATE_FIN_WAIT2 = 7,
  MIB_TCP_STATE_CLOSE_WAIT = 8,
  MIB_TCP_STATE_CLOSING = 9,
  MIB_TCP_STATE_LAST_ACK = 10,
  MIB_TCP_STATE_TIME_WAIT = 11,
  MIB_TCP_STATE_DELETE_TCB = 12,
};
// Upper-case name of a state ("ESTABLISHED", "LISTEN"); "UNKNOWN" otherwise.
const char* TcpStateName(std::uint32_t AState);

enum TCP_TABLE_CLASS : std::uint32_t {
  TCP_TABLE_BASIC_LISTENER = 0,
  TCP_TABLE_BASIC_CONNECTIONS = 1,
  TCP_TABLE_BASIC_ALL = 2,
  TCP_TABLE_OWNER_PID_LISTENER = 3,
  TCP_TABLE_OWNER_PID_CONNECTIONS = 4,
  TCP_TABLE_OWNER_PID_ALL = 5,
  TCP_TABLE_OWNER_MODULE_LISTENER = 6,
  TCP_TABLE_OWNER_MODULE_CONNECTIONS = 7,
  TCP_TABLE_OWNER_MODULE_ALL = 8,
};

using MIB_TCPROW_OWNER_PID = runtime::TTcpRowOwnerPid;
using MIB_TCPROW = std::uint32_t[5];  // the basic row: the owner-pid row without its last field

// The table header; dwNumEntries rows follow it.
struct MIB_TCPTABLE_OWNER_PID {
  std::uint32_t dwNumEntries;
  MIB_TCPROW_OWNER_PID table[1];
};

class TIphlpApi {
 public:
  TIphlpApi() = delete;

  // GetExtendedTcpTable of the target. With pTcpTable null or *pdwSize too
  // small, stores the size needed in *pdwSize and answers
  // ERROR_INSUFFICIENT_BUFFER; otherwise writes the row count and the rows
  // (sorted by local address, local port, remote address and remote port
  // when bOrder is set) and answers NO_ERROR. IPv4 only: another ulAf answers
  // ERROR_NOT_SUPPORTED, as do the module table classes; pdwSize null or
  // Reserved not 0 answer ERROR_INVALID_PARAMETER. An unreadable table
  // raises the target's EOSError. A call with a buffer made by the same
  // thread within half a second of a call that reported the size gets the
  // table whose size was reported, so that connections opened in between do
  // not make the buffer too small.
  static std::uint32_t GetExtendedTcpTable(runtime::ITargetSystem& ATarget, void* pTcpTable, std::uint32_t* pdwSize,
                                           bool bOrder, std::uint32_t ulAf, TCP_TABLE_CLASS TableClass,
                                           std::uint32_t Reserved);
};

}  // namespace quillmark
