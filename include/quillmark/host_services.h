// Services of the machine the library runs on, as opposed to the system it
// examines (the target): where the debug log goes, the local clock, the
// host's own certificate bundle, the case rules of its C library, and what
// the host's programs ask of its files and terminals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "quillmark/base.h"

namespace quillmark::runtime {

// The folder debug logs go to by default: $QUILLMARK_LOG_DIR when set, else
// the host's per-user state folder.
QUILLMARK_API std::string DefaultLogFolder();
// Creates a folder and every missing parent (owner-only access); failures
// are left to the write that follows.
QUILLMARK_API void MakeFolders(const std::string& APath);
// Size of the file at APath, nothing when it cannot be told.
QUILLMARK_API std::optional<std::uint64_t> HostFileSize(const std::string& APath);
// CPU time the calling thread has used, in nanoseconds.
QUILLMARK_API std::uint64_t ThreadCpuNanoseconds();

enum class THostPathKind { hpFile, hpFolder, hpOther };
// What the host's file system says of a path, links followed.
struct THostPathInfo {
  THostPathKind Kind = THostPathKind::hpOther;
  std::uint64_t Size = 0;
  // The file's identity: two paths with the same pair name the same file
  // (the pair TWalkOptions::SkipFiles takes).
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
};
// Nothing, with the reason in AError ("No such file or directory"), when the
// path cannot be looked at.
QUILLMARK_API std::optional<THostPathInfo> HostPathInfo(const std::string& APath, std::string* AError = nullptr);
// Whether this process may open the file at APath for reading.
QUILLMARK_API bool HostCanRead(const std::string& APath);
// The whole content of a host file, or of the process's standard input;
// nothing, with the reason in AError, when it cannot be read.
QUILLMARK_API std::optional<std::string> ReadHostFile(const std::string& APath, std::string& AError);
QUILLMARK_API std::optional<std::string> ReadStandardInput(std::string& AError);
// Whether the stream writes to a terminal.
QUILLMARK_API bool IsTerminal(std::FILE* AStream);

// The local time as "YYYY-MM-DD hh:mm:ss.mmm".
QUILLMARK_API std::string LocalTimeStamp();
// Certificate bundle files the host keeps its trusted roots in, most likely
// first (they need not exist).
QUILLMARK_API std::vector<std::string> HostCertificateBundles();

// Unicode case of one code point as the host's C library knows it (ASCII
// rules when it knows no Unicode).
QUILLMARK_API char32_t ToLowerCodePoint(char32_t ACodePoint);
QUILLMARK_API bool IsLowerCodePoint(char32_t ACodePoint);

}  // namespace quillmark::runtime
