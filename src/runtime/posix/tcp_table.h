// The IPv4 TCP table of a Linux host in the row layout Windows reports
// (MIB_TCPROW_OWNER_PID): /proc/net/tcp joined to the owning processes
// through the socket inodes in /proc/<pid>/fd.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/target_system.h"

namespace quillmark::runtime::posix {

// MIB_TCP_STATE number of a Linux TCP state (include/net/tcp_states.h); 0 for
// a number Linux does not define.
std::uint32_t MibTcpStateFromLinux(unsigned linuxState);

// One row of /proc/net/tcp: the Windows-layout row without its owner, and
// the socket's inode (0 for sockets without one, such as TIME_WAIT).
struct TProcNetTcpRow {
  TTcpRowOwnerPid Row;
  std::uint64_t Inode = 0;
};

// Parses the text of /proc/net/tcp (header line first); malformed lines are
// skipped.
std::vector<TProcNetTcpRow> ParseProcNetTcp(std::string_view text);

// Owning process of each of the given socket inodes, found through the
// "socket:[inode]" links in <procRoot>/<pid>/fd; the lowest process
// identifier wins when several processes share a socket, Wine's server
// excepted (it holds a copy of the sockets of the programs it runs). Processes whose fd
// folder cannot be read are passed over.
std::unordered_map<std::uint64_t, std::uint32_t> SocketOwners(const std::vector<std::uint64_t>& inodes,
                                                              const std::string& procRoot = "/proc");

// The live table: rows of <procRoot>/net/tcp with their owners. Throws
// EOSError when the table cannot be read.
std::vector<TTcpRowOwnerPid> ReadTcpTable(const std::string& procRoot = "/proc");

}  // namespace quillmark::runtime::posix
