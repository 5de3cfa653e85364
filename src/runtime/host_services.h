// Services of the machine the library runs on, as opposed to the system it
// examines (the target): where the debug log goes, the local clock, the
// host's own certificate bundle, and the case rules of its C library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmark::runtime {

// The folder debug logs go to by default: $QUILLMARK_LOG_DIR when set, else
// the host's per-user state folder.
std::string DefaultLogFolder();
// Creates a folder and every missing parent (owner-only access); failures
// are left to the write that follows.
void MakeFolders(const std::string& APath);
// Size of the file at APath, nothing when it cannot be told.
std::optional<std::uint64_t> HostFileSize(const std::string& APath);
// CPU time the calling thread has used, in nanoseconds.
std::uint64_t ThreadCpuNanoseconds();
// The local time as "YYYY-MM-DD hh:mm:ss.mmm".
std::string LocalTimeStamp();
// Certificate bundle files the host keeps its trusted roots in, most likely
// first (they need not exist).
std::vector<std::string> HostCertificateBundles();

// Unicode case of one code point as the host's C library knows it (ASCII
// rules when it knows no Unicode).
char32_t ToLowerCodePoint(char32_t ACodePoint);
bool IsLowerCodePoint(char32_t ACodePoint);

}  // namespace quillmark::runtime
