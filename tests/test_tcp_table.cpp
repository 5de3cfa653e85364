// The TCP table: /proc/net/tcp rows in the layout GetExtendedTcpTable
// reports, their owners found through /proc/<pid>/fd on the real host, and
// the call pattern of TIphlpApi over a target's table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/posix/tcp_table.h"
#include "support/child_process.h"
#include "support/iphlpapi.h"
#include "support/network_utils.h"
#include "support/test_target.h"

using namespace quillmark;
using runtime::TTcpRowOwnerPid;
using runtime::posix::MibTcpStateFromLinux;
using runtime::posix::ParseProcNetTcp;

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, first octet lowest
std::uint32_t StoredPort(std::uint16_t port) { return static_cast<std::uint32_t>(((port & 0xFF) << 8) | (port >> 8)); }

}  // namespace

TEST(TcpTable, ParsesProcNetTcpIntoWindowsRows) {
  const char* text =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 12345 1 0 100 0 0 10 0\n"
      "   1: 0100007F:C350 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000        0 12346 1 0 20 4 30 10 -1\n"
      "   2: 0F02000A:0016 C800A8C0:D431 06 00000000:00000000 03:00000F9A 00000000     0        0 0 3 0\n"
      "   3: not a row\n"
      "   4: 0100007F:0050 00000000:0000 0D 00000000:00000000 00:00000000 00000000     0        0 7 1 0\n";
  auto rows = ParseProcNetTcp(text);
  ASSERT_EQ(rows.size(), 3u);  // the malformed line and the unknown state 13 are dropped

  EXPECT_EQ(rows[0].Row.State, MIB_TCP_STATE_LISTEN);
  EXPECT_EQ(rows[0].Row.LocalAddr, kLoopback);
  EXPECT_EQ(rows[0].Row.LocalPort, 0x901Fu);  // 8080 in network order
  EXPECT_EQ(TNetworkUtils::NetworkPortValueToOriginalPort(rows[0].Row.LocalPort), 8080);
  EXPECT_EQ(rows[0].Row.RemoteAddr, 0u);
  EXPECT_EQ(rows[0].Inode, 12345u);

  EXPECT_EQ(rows[1].Row.State, MIB_TCP_STATE_ESTAB);
  EXPECT_EQ(TNetworkUtils::NetworkPortValueToOriginalPort(rows[1].Row.LocalPort), 50000);
  EXPECT_EQ(rows[1].Row.RemoteAddr, kLoopback);
  EXPECT_EQ(TNetworkUtils::NetworkPortValueToOriginalPort(rows[1].Row.RemotePort), 8080);

  // 10.0.2.15:22 to 192.168.0.200:54321 in TIME_WAIT, which has no inode.
  EXPECT_EQ(rows[2].Row.State, MIB_TCP_STATE_TIME_WAIT);
  EXPECT_EQ(rows[2].Row.LocalAddr, 0x0F02000Au);
  EXPECT_EQ(rows[2].Row.RemoteAddr, 0xC800A8C0u);
  EXPECT_EQ(TNetworkUtils::NetworkPortValueToOriginalPort(rows[2].Row.RemotePort), 54321);
  EXPECT_EQ(rows[2].Inode, 0u);
}

TEST(TcpTable, LinuxStatesBecomeMibStates) {
  const std::pair<unsigned, std::uint32_t> cases[] = {
      {1, MIB_TCP_STATE_ESTAB},      {2, MIB_TCP_STATE_SYN_SENT},   {3, MIB_TCP_STATE_SYN_RCVD},
      {4, MIB_TCP_STATE_FIN_WAIT1},  {5, MIB_TCP_STATE_FIN_WAIT2},  {6, MIB_TCP_STATE_TIME_WAIT},
      {7, MIB_TCP_STATE_CLOSED},     {8, MIB_TCP_STATE_CLOSE_WAIT}, {9, MIB_TCP_STATE_LAST_ACK},
      {10, MIB_TCP_STATE_LISTEN},    {11, MIB_TCP_STATE_CLOSING},   {12, MIB_TCP_STATE_SYN_RCVD},
      {0, 0},                        {13, 0},
  };
  for (auto [linux, mib] : cases) EXPECT_EQ(MibTcpStateFromLinux(linux), mib) << "Linux state " << linux;
}

TEST(TcpTable, LiveTableShowsAChildsLoopbackConnectionWithItsOwner) {
  test::TLoopbackListener listener;
  test::TChildProcess child({QUILLMARK_PROCESS_CHILD_PATH, "connect", std::to_string(listener.Port()), "30"});
  ASSERT_EQ(child.ReadLine(10000), "ready");
  ASSERT_TRUE(listener.Accept(5000));

  auto rows = runtime::posix::ReadTcpTable();
  const std::uint32_t childPid = static_cast<std::uint32_t>(child.Pid());
  const std::uint32_t self = static_cast<std::uint32_t>(getpid());
  std::vector<TTcpRowOwnerPid> ofChild, listening, accepted;
  for (const auto& r : rows) {
    if (r.OwningPid == childPid) ofChild.push_back(r);
    if (r.OwningPid == self && r.LocalPort == StoredPort(listener.Port())) {
      if (r.State == MIB_TCP_STATE_LISTEN) listening.push_back(r);
      else accepted.push_back(r);
    }
  }
  ASSERT_EQ(ofChild.size(), 1u);
  EXPECT_EQ(ofChild[0].State, MIB_TCP_STATE_ESTAB);
  EXPECT_EQ(ofChild[0].LocalAddr, kLoopback);
  EXPECT_EQ(ofChild[0].RemoteAddr, kLoopback);
  EXPECT_EQ(ofChild[0].RemotePort, StoredPort(listener.Port()));
  ASSERT_EQ(listening.size(), 1u);
  EXPECT_EQ(listening[0].RemoteAddr, 0u);
  ASSERT_EQ(accepted.size(), 1u);  // the test's own end of the connection
  EXPECT_EQ(accepted[0].RemotePort, ofChild[0].LocalPort);
}

namespace {

class TTableTarget : public test::TTestTarget {
 public:
  std::vector<TTcpRowOwnerPid> Rows;
  bool Fail = false;
  std::vector<TTcpRowOwnerPid> GetTcpTable() override {
    if (Fail) throw runtime::EOSError(2, "open /proc/net/tcp: No such file or directory");
    return Rows;
  }
};

TTcpRowOwnerPid Row(std::uint32_t state, std::uint32_t local, std::uint16_t localPort, std::uint32_t remote,
                    std::uint16_t remotePort, std::uint32_t pid) {
  return {state, local, StoredPort(localPort), remote, StoredPort(remotePort), pid};
}

std::uint32_t Call(TTableTarget& t, std::vector<std::uint32_t>& buffer, std::uint32_t& size, bool order,
                   TCP_TABLE_CLASS c = TCP_TABLE_OWNER_PID_ALL) {
  buffer.assign((size + 3) / 4, 0xEEEEEEEEu);
  return TIphlpApi::GetExtendedTcpTable(t, buffer.data(), &size, order, AF_INET_FAMILY, c, 0);
}

}  // namespace

TEST(IphlpApi, SizeQueryThenSortedOwnerPidTable) {
  TTableTarget t;
  const std::uint32_t a = 0x0200000A;    // 10.0.0.2
  const std::uint32_t b = 0x0101000A;    // 10.0.1.1: after 10.0.0.2 as an address, before it as stored
  const std::uint32_t c = 0x0101A8C0;    // 192.168.1.1
  t.Rows = {Row(MIB_TCP_STATE_ESTAB, b, 80, c, 40000, 7), Row(MIB_TCP_STATE_ESTAB, a, 443, c, 1, 8),
            Row(MIB_TCP_STATE_LISTEN, a, 22, 0, 0, 9)};

  std::uint32_t size = 0;
  ASSERT_EQ(TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, false, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0),
            ERROR_INSUFFICIENT_BUFFER_CODE);
  EXPECT_EQ(size, 4u + 3u * 24u);

  std::vector<std::uint32_t> buffer;
  std::uint32_t small = size - 1;
  EXPECT_EQ(Call(t, buffer, small, true), ERROR_INSUFFICIENT_BUFFER_CODE);
  EXPECT_EQ(small, size);

  ASSERT_EQ(Call(t, buffer, size, true), NO_ERROR_CODE);
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  ASSERT_EQ(table->dwNumEntries, 3u);
  // By local address as a number, then local port.
  EXPECT_EQ(table->table[0].OwningPid, 9u);
  EXPECT_EQ(table->table[1].OwningPid, 8u);
  EXPECT_EQ(table->table[2].OwningPid, 7u);
  EXPECT_EQ(table->table[2].LocalPort, StoredPort(80));

  ASSERT_EQ(Call(t, buffer, size, false), NO_ERROR_CODE);
  table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  EXPECT_EQ(table->table[0].OwningPid, 7u);  // the target's order

  // A connection opened between the size query and the read does not make
  // the reported size too small; the next size query sees it.
  size = 0;
  ASSERT_EQ(TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, true, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0),
            ERROR_INSUFFICIENT_BUFFER_CODE);
  t.Rows.push_back(Row(MIB_TCP_STATE_SYN_SENT, a, 50000, c, 443, 10));
  ASSERT_EQ(Call(t, buffer, size, true), NO_ERROR_CODE);
  EXPECT_EQ(buffer[0], 3u);
  size = 0;
  TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, true, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0);
  EXPECT_EQ(size, 4u + 4u * 24u);
}

TEST(IphlpApi, TableClassesAndRefusals) {
  TTableTarget t;
  t.Rows = {Row(MIB_TCP_STATE_LISTEN, kLoopback, 22, 0, 0, 1), Row(MIB_TCP_STATE_ESTAB, kLoopback, 5000, kLoopback, 22, 2)};
  std::vector<std::uint32_t> buffer;

  std::uint32_t size = 256;
  ASSERT_EQ(Call(t, buffer, size, true, TCP_TABLE_OWNER_PID_LISTENER), NO_ERROR_CODE);
  EXPECT_EQ(buffer[0], 1u);
  EXPECT_EQ(buffer[1 + 5], 1u);  // the listener's pid

  size = 256;
  ASSERT_EQ(Call(t, buffer, size, true, TCP_TABLE_OWNER_PID_CONNECTIONS), NO_ERROR_CODE);
  EXPECT_EQ(buffer[0], 1u);
  EXPECT_EQ(buffer[1 + 5], 2u);

  // Basic rows have no owner: 20 bytes each.
  size = 0;
  ASSERT_EQ(TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, true, AF_INET_FAMILY, TCP_TABLE_BASIC_ALL, 0),
            ERROR_INSUFFICIENT_BUFFER_CODE);
  EXPECT_EQ(size, 4u + 2u * 20u);
  ASSERT_EQ(Call(t, buffer, size, true, TCP_TABLE_BASIC_ALL), NO_ERROR_CODE);
  EXPECT_EQ(buffer[1 + 5], MIB_TCP_STATE_ESTAB);  // the second row starts right after five fields

  size = 0;
  EXPECT_EQ(TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, true, AF_INET6_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0),
            ERROR_NOT_SUPPORTED_CODE);
  EXPECT_EQ(TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, true, AF_INET_FAMILY, TCP_TABLE_OWNER_MODULE_ALL, 0),
            ERROR_NOT_SUPPORTED_CODE);
  EXPECT_EQ(TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, true, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 1),
            ERROR_INVALID_PARAMETER_CODE);
  EXPECT_EQ(TIphlpApi::GetExtendedTcpTable(t, nullptr, nullptr, true, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0),
            ERROR_INVALID_PARAMETER_CODE);

  t.Fail = true;
  EXPECT_THROW(TIphlpApi::GetExtendedTcpTable(t, nullptr, &size, false, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0),
               runtime::EOSError);
}
