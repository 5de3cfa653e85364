// The system under examination, as the engine and the rules see it: path
// syntax, file access, environment, special folders, Windows directory and
// version, processes, tick counts. The live host is one implementation; a
// mounted Windows image is another; tests may add their own.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::runtime {

// Windows versions in release order; the system-file catalogue stores them by
// identifier. Ordinals 12 to 22 are the NT 6 and later family.
enum class TWindowsVersion : std::uint8_t {
  wvUnknown = 0,
  wvWin31,
  wvWin95,
  wvWin95OSR2,
  wvWin98,
  wvWin98SE,
  wvWinME,
  wvWinNT4,
  wvWin2000,
  wvWinXP,
  wvWinXP64,
  wvWinServer2003,
  wvWinVista,
  wvWinServer2008,
  wvWin7,
  wvWinServer2008R2,
  wvWin8,
  wvWinServer2012,
  wvWin81,
  wvWinServer2012R2,
  wvWin10,
  wvWinServer2016,
  wvWin11,
};
constexpr int kWindowsVersionCount = 23;
const char* WindowsVersionIdentifier(TWindowsVersion v);
// Ordinal of the identifier (exact, case-sensitive), or -1.
int WindowsVersionFromIdentifier(std::string_view name);

enum class TPathSyntax { psPosix, psWindows };

// Failure of an operating-system call, with its error number.
class EOSError : public std::runtime_error {
 public:
  EOSError(int code, const std::string& what) : std::runtime_error(what), FCode(code) {}
  // With the failure told apart from what failed (Reason).
  EOSError(int code, const std::string& what, std::string reason)
      : std::runtime_error(what), FCode(code), FReason(std::move(reason)) {}
  int Code() const { return FCode; }
  // The failure without the name of what failed ("Permission denied", "not a
  // regular file").
  std::string Reason() const { return !FReason.empty() ? FReason : FCode ? std::strerror(FCode) : what(); }

 private:
  int FCode;
  std::string FReason;
};

// A file that gave fewer bytes than its size promised when it was opened: it
// shrank or was replaced while it was read.
class EFileChanged : public EOSError {
 public:
  explicit EFileChanged(const std::string& what) : EOSError(0, what, "file changed while it was read") {}
};

// A read-only view of a byte range of an open file.
class IFileView {
 public:
  virtual ~IFileView() = default;
  virtual const std::uint8_t* Data() const = 0;
  virtual std::size_t Size() const = 0;
};

// A file opened for reading only. Its size is the one it had when it was
// opened: bytes appended later are not read, and a file that shrinks makes
// reads fail with EFileChanged rather than deliver less.
class IReadOnlyFile {
 public:
  virtual ~IReadOnlyFile() = default;
  virtual std::uint64_t Size() const = 0;
  // The bytes [offset, offset + size) in a buffer the view owns; size is cut
  // at the end of the file. Throws EOSError when they cannot be read.
  virtual std::unique_ptr<IFileView> Map(std::uint64_t offset, std::size_t size) = 0;
  // Copies up to n bytes at offset; answers the count copied, which is less
  // than n only at the end of the file (0 at or past it). Throws EOSError on a
  // read error and EFileChanged when the file ends before its size.
  virtual std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t n) = 0;
  // Offset after the last byte the file stores data for: below Size() when
  // the file ends in a hole (a sparse file), where reads give only zeros.
  virtual std::uint64_t DataEnd() { return Size(); }
};

// One running process as the target's process table shows it.
struct TProcessEntry {
  std::uint32_t ProcessID = 0;
  std::uint32_t ParentProcessID = 0;
  std::uint32_t ThreadCount = 0;
  std::string ExeName;   // executable name as the process table shows it
  std::string FileName;  // full path of the image file; empty when unreadable
};

// One top-level window of the target's desktop, with what decides whether it
// is the main window of its process.
struct TWindowEntry {
  std::uint64_t Handle = 0;
  std::uint32_t ProcessID = 0;  // owning process; 0 when unknown
  bool Visible = false;
  bool HasParent = false;       // a parent window other than the desktop
  bool HasOwner = false;        // an owner window (dialogs, tool windows)
};

// One IPv4 TCP endpoint pair in the layout of MIB_TCPROW_OWNER_PID: the
// MIB_TCP_STATE number, addresses with the first octet in the lowest byte,
// ports as 16-bit network-order values in the low bytes, owning process.
struct TTcpRowOwnerPid {
  std::uint32_t State = 0;
  std::uint32_t LocalAddr = 0;
  std::uint32_t LocalPort = 0;
  std::uint32_t RemoteAddr = 0;
  std::uint32_t RemotePort = 0;
  std::uint32_t OwningPid = 0;
};
static_assert(sizeof(TTcpRowOwnerPid) == 24);

class ITargetSystem {
 public:
  virtual ~ITargetSystem() = default;

  // --- path syntax -------------------------------------------------------
  virtual TPathSyntax PathSyntax() const = 0;
  bool IsPathDelimiter(char c) const;
  char PathDelimiter() const { return PathSyntax() == TPathSyntax::psWindows ? '\\' : '/'; }
  // Length of the drive or share prefix ("C:", "\\server\share", "/" has none).
  std::size_t DrivePrefixLength(std::string_view path) const;
  std::string ExtractFileName(std::string_view path) const;
  // Folder part including its trailing delimiter ("" when there is none).
  std::string ExtractFilePath(std::string_view path) const;
  // Extension with its dot, from the last dot of the name part ("" when none).
  std::string ExtractFileExt(std::string_view path) const;
  std::string IncludeTrailingPathDelimiter(std::string_view path) const;
  std::string ExcludeTrailingPathDelimiter(std::string_view path) const;
  // Whether two paths name the same file by their text: case-insensitive on a
  // Windows target, exact on a POSIX one.
  bool SameFileName(std::string_view a, std::string_view b) const;
  // Long-path form of a name ("\\?\" in front on Windows; unchanged on POSIX).
  virtual std::string LongPathForm(const std::string& path) const;

  // --- files -------------------------------------------------------------
  // An existing regular file (links followed).
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  // Throws EOSError when the file cannot be opened.
  virtual std::unique_ptr<IReadOnlyFile> OpenFileForRead(const std::string& path) = 0;
  // Entries of a folder ("." and ".." left out), in no particular order;
  // empty when the folder cannot be read.
  struct TDirectoryEntry {
    std::string Name;
    bool IsDirectory = false;
  };
  virtual std::vector<TDirectoryEntry> ListDirectory(const std::string& folder) {
    (void)folder;
    return {};
  }

  // --- environment and folders --------------------------------------------
  // Empty when unset.
  virtual std::string EnvironmentVariable(const std::string& name) = 0;
  // Path of a shell folder by CSIDL; empty when the target has none.
  virtual std::string GetSpecialFolder(int csidl) = 0;
  // The Windows directory; empty on a target without one.
  virtual std::string WindowsDirectory() = 0;
  virtual TWindowsVersion WindowsVersion() = 0;
  bool IsWindows(TWindowsVersion low, TWindowsVersion high) {
    auto v = WindowsVersion();
    return v >= low && v <= high;
  }
  // Whether the examining process is a 32-bit process on 64-bit Windows, so
  // that the target's System32 reaches it as SysWOW64 and the real one as
  // %SystemRoot%\Sysnative. False on a target the library does not run on.
  virtual bool IsWow64() { return false; }

  // --- processes and time ----------------------------------------------------
  // Throws EOSError when the process table cannot be read.
  virtual std::vector<TProcessEntry> EnumerateProcesses() = 0;
  // Top-level windows of the target's desktop, topmost first; empty when the
  // target has no window system within reach.
  virtual std::vector<TWindowEntry> EnumerateTopLevelWindows() { return {}; }
  // The IPv4 TCP table with owning processes, unordered; empty on a target
  // without running processes. Throws EOSError when the table cannot be read.
  virtual std::vector<TTcpRowOwnerPid> GetTcpTable() { return {}; }
  // Milliseconds from a monotonic clock.
  virtual std::uint64_t GetTickCount64() = 0;
  std::uint32_t GetTickCount() { return static_cast<std::uint32_t>(GetTickCount64()); }
  // --- shell -------------------------------------------------------------------
  // Index of the icon the target's shell shows for files with this extension
  // (".pdf"): 1 or more for an extension registered with a type of its own, 0
  // for one that gets the generic icon, -1 when the target cannot tell.
  virtual int ExtensionIconIndex(const std::string& ext) { (void)ext; return -1; }
  // Folders, beside the per-drive recycle bins of a Windows target, where the
  // target's desktop keeps deleted files (the freedesktop Trash of a Linux
  // host), each with its trailing delimiter; empty when it has none.
  virtual std::vector<std::string> RecycleBinFolders() { return {}; }
  // NT device paths of the volumes that have drive letters, as pairs of (device path with a trailing "\", drive root such as "C:\"); empty on a target without them.
  virtual std::vector<std::pair<std::string, std::string>> DosDevices() { return {}; }
};

// The host this library runs on, shared by every engine that does not name
// another target.
std::shared_ptr<ITargetSystem> LiveHost();

// Folder of the running program's executable, with a trailing "/".
std::string HostExecutableFolder();
// File name of the running program's executable.
std::string HostExecutableName();
// Full path of this library's own module (the shared object, or the program
// it is linked into).
std::string LibraryModuleFileName();

}  // namespace quillmark::runtime
