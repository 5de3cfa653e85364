#include "runtime/posix/tcp_table.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quillmark::runtime::posix {

namespace {

// MIB_TCP_STATE values.
enum : std::uint32_t {
  kMibClosed = 1,
  kMibListen = 2,
  kMibSynSent = 3,
  kMibSynRcvd = 4,
  kMibEstab = 5,
  kMibFinWait1 = 6,
  kMibFinWait2 = 7,
  kMibCloseWait = 8,
  kMibClosing = 9,
  kMibLastAck = 10,
  kMibTimeWait = 11,
};

template <class T>
bool ParseHex(std::string_view s, T& out) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 16);
  return ec == std::errc() && end == s.data() + s.size();
}

// "0100007F:1F90": the kernel prints the address as the 32-bit word that holds
// the network-order bytes, read natively, and the port as a number.
bool ParseEndpoint(std::string_view s, std::uint32_t& addr, std::uint32_t& port) {
  auto colon = s.find(':');
  if (colon != 8 || s.size() != 13) return false;
  std::uint32_t word = 0;
  std::uint16_t number = 0;
  if (!ParseHex(s.substr(0, 8), word) || !ParseHex(s.substr(9), number)) return false;
  // First octet in the lowest byte, whatever the host's byte order.
  addr = std::endian::native == std::endian::little ? word : __builtin_bswap32(word);
  port = static_cast<std::uint32_t>(((number & 0xFFu) << 8) | (number >> 8));
  return true;
}

bool IsWineServer(const std::string& procRoot, std::uint32_t pid) {
  char target[4096];
  ssize_t n = readlink((procRoot + "/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  std::string_view exe(target, static_cast<std::size_t>(n));
  auto slash = exe.rfind('/');
  std::string_view name = slash == std::string_view::npos ? exe : exe.substr(slash + 1);
  return name.substr(0, 10) == "wineserver";
}

}  // namespace

std::uint32_t MibTcpStateFromLinux(unsigned linuxState) {
  switch (linuxState) {
    case 1: return kMibEstab;       // TCP_ESTABLISHED
    case 2: return kMibSynSent;     // TCP_SYN_SENT
    case 3: return kMibSynRcvd;     // TCP_SYN_RECV
    case 4: return kMibFinWait1;    // TCP_FIN_WAIT1
    case 5: return kMibFinWait2;    // TCP_FIN_WAIT2
    case 6: return kMibTimeWait;    // TCP_TIME_WAIT
    case 7: return kMibClosed;      // TCP_CLOSE
    case 8: return kMibCloseWait;   // TCP_CLOSE_WAIT
    case 9: return kMibLastAck;     // TCP_LAST_ACK
    case 10: return kMibListen;     // TCP_LISTEN
    case 11: return kMibClosing;    // TCP_CLOSING
    case 12: return kMibSynRcvd;    // TCP_NEW_SYN_RECV (a request socket)
    default: return 0;
  }
}

std::vector<TProcNetTcpRow> ParseProcNetTcp(std::string_view text) {
  std::vector<TProcNetTcpRow> rows;
  bool header = true;
  while (!text.empty()) {
    auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (header) {
      header = false;
      continue;
    }
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size() && fields.size() < 10) {
      while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
      std::size_t start = pos;
      while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
      if (pos > start) fields.push_back(line.substr(start, pos - start));
    }
    if (fields.size() < 10) continue;
    TProcNetTcpRow r;
    unsigned state = 0;
    if (!ParseEndpoint(fields[1], r.Row.LocalAddr, r.Row.LocalPort) ||
        !ParseEndpoint(fields[2], r.Row.RemoteAddr, r.Row.RemotePort) || !ParseHex(fields[3], state))
      continue;
    r.Row.State = MibTcpStateFromLinux(state);
    if (r.Row.State == 0) continue;
    auto [end, ec] = std::from_chars(fields[9].data(), fields[9].data() + fields[9].size(), r.Inode);
    if (ec != std::errc() || end != fields[9].data() + fields[9].size()) continue;
    rows.push_back(r);
  }
  return rows;
}

std::unordered_map<std::uint64_t, std::uint32_t> SocketOwners(const std::vector<std::uint64_t>& inodes,
                                                              const std::string& procRoot) {
  std::unordered_map<std::uint64_t, std::uint32_t> owners;
  std::vector<std::uint64_t> wanted;
  for (std::uint64_t i : inodes)
    if (i != 0) wanted.push_back(i);
  if (wanted.empty()) return owners;
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

  DIR* proc = opendir(procRoot.c_str());
  if (!proc) return owners;
  std::vector<std::uint32_t> pids;
  while (dirent* e = readdir(proc)) {
    std::uint32_t pid = 0;
    auto [end, ec] = std::from_chars(e->d_name, e->d_name + std::strlen(e->d_name), pid);
    if (ec == std::errc() && *end == '\0' && pid != 0) pids.push_back(pid);
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());

  static constexpr std::string_view kSocket = "socket:[";
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> holders;
  for (std::uint32_t pid : pids) {
    std::string fdDir = procRoot + "/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue;
    while (dirent* e = readdir(fds)) {
      if (e->d_name[0] == '.') continue;
      char target[64];
      ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
      if (n <= static_cast<ssize_t>(kSocket.size())) continue;
      std::string_view link(target, static_cast<std::size_t>(n));
      if (link.substr(0, kSocket.size()) != kSocket || link.back() != ']') continue;
      std::uint64_t inode = 0;
      std::string_view digits = link.substr(kSocket.size(), link.size() - kSocket.size() - 1);
      auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
      if (ec != std::errc() || end != digits.data() + digits.size()) continue;
      if (std::binary_search(wanted.begin(), wanted.end(), inode)) {
        auto& list = holders[inode];
        if (list.empty() || list.back() != pid) list.push_back(pid);
      }
    }
    closedir(fds);
  }
  // Wine's server keeps a copy of every socket of the programs it serves;
  // the program is the owner.
  for (auto& [inode, list] : holders) {
    std::uint32_t owner = list.front();
    if (list.size() > 1)
      for (std::uint32_t pid : list)
        if (!IsWineServer(procRoot, pid)) {
          owner = pid;
          break;
        }
    owners.emplace(inode, owner);
  }
  return owners;
}

std::vector<TTcpRowOwnerPid> ReadTcpTable(const std::string& procRoot) {
  const std::string path = procRoot + "/net/tcp";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    int e = errno ? errno : ENOENT;
    throw EOSError(e, "open " + path + ": " + std::strerror(e));
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<TProcNetTcpRow> parsed = ParseProcNetTcp(text.str());
  std::vector<std::uint64_t> inodes;
  inodes.reserve(parsed.size());
  for (const auto& r : parsed) inodes.push_back(r.Inode);
  auto owners = SocketOwners(inodes, procRoot);
  std::vector<TTcpRowOwnerPid> rows;
  rows.reserve(parsed.size());
  for (auto& r : parsed) {
    auto it = owners.find(r.Inode);
    r.Row.OwningPid = it == owners.end() ? 0 : it->second;
    rows.push_back(r.Row);
  }
  return rows;
}

}  // namespace quillmark::runtime::posix
