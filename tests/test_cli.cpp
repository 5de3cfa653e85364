// The quillmark program, run as a user runs it, on real files in a temporary
// folder. Nothing here depends on which rules the build has: what a rule
// says is only checked for its shape.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "support/text_utils.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// --- running the program -----------------------------------------------------

struct TRun {
  int Status = -1;
  std::string Out;
  // stderr without the closing summary line, which is kept apart.
  std::string Err;
  std::string Summary;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Where the program's stdout goes and who runs it.
struct TRunSpec {
  // A file or device to write stdout to; empty: a file read back into Out.
  std::string Stdout;
  // stdout is a pipe whose reading end is already closed.
  bool ClosedPipe = false;
  // Run as an ordinary user: a test run by root drops to nobody, for whom
  // permissions apply.
  bool Unprivileged = false;
  // A file to read stdin from; empty: /dev/null.
  std::string Stdin;
};

constexpr uid_t kNobody = 65534;

// Runs the program with args; stderr goes to a file (never a terminal), the
// debug log goes to logDir.
TRun RunCli(const std::vector<std::string>& args, const fs::path& scratch, const fs::path& logDir,
            const TRunSpec& spec = {}) {
  const std::string outFile = spec.Stdout.empty() ? (scratch / "stdout.txt").string() : spec.Stdout;
  const std::string errFile = (scratch / "stderr.txt").string();

  std::vector<std::string> argStrings{QUILLMARK_CLI_PATH};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "QUILLMARK_LOG_DIR=", 18) != 0) envStrings.emplace_back(*e);
  envStrings.push_back("QUILLMARK_LOG_DIR=" + logDir.string());
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  TRun run;
  int pipeWrite = -1;
  if (spec.ClosedPipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << std::strerror(errno);
      return run;
    }
    ::close(fds[0]);
    pipeWrite = fds[1];
  }
  const bool dropToNobody = spec.Unprivileged && ::geteuid() == 0;
  // Only async-signal-safe calls between fork and exec.
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(spec.Stdin.empty() ? "/dev/null" : spec.Stdin.c_str(), O_RDONLY);
    const int out = pipeWrite >= 0 ? pipeWrite : ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
        ::dup2(err, STDERR_FILENO) < 0)
      ::_exit(126);
    if (dropToNobody && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      ::_exit(126);
    ::execve(QUILLMARK_CLI_PATH, argv.data(), envp.data());
    ::_exit(127);
  }
  if (pipeWrite >= 0) ::close(pipeWrite);
  if (pid < 0) {
    ADD_FAILURE() << "cannot start " << QUILLMARK_CLI_PATH << ": " << std::strerror(errno);
    return run;
  }
  // A program that hangs fails the test instead of stalling the suite.
  int wstatus = 0;
  for (int waited = 0;; waited += 10) {
    const pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << std::strerror(errno);
      return run;
    }
    if (waited >= 60000) {
      ::kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << "quillmark did not finish within 60 s";
      break;
    }
    ::usleep(10000);
  }
  run.Status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (spec.Stdout.empty() && !spec.ClosedPipe) run.Out = ReadAll(outFile);
  run.Err = ReadAll(errFile);
  // The summary closes stderr.
  const std::size_t last = run.Err.rfind('\n', run.Err.size() >= 2 ? run.Err.size() - 2 : 0);
  const std::size_t start = last == std::string::npos || run.Err.size() < 2 ? 0 : last + 1;
  if (run.Err.compare(start, 20, "quillmark: summary: ") == 0) {
    run.Summary = run.Err.substr(start);
    run.Err.erase(start);
  }
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Bytes of standard base64 text (with padding); throws on anything else.
std::string DecodeBase64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) throw std::runtime_error("base64 length " + std::to_string(text.size()));
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t v = 0;
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      std::size_t d = 0;
      if (c == '=' && i + 4 == text.size() && k >= 2) ++pad;
      else if (pad || (d = kAlphabet.find(c)) == std::string::npos) throw std::runtime_error("bad base64: " + text);
      v = v << 6 | static_cast<std::uint32_t>(d);
    }
    out += static_cast<char>(v >> 16);
    if (pad < 2) out += static_cast<char>((v >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(v & 0xFF);
  }
  return out;
}

// --- a strict JSON reader, enough to check what the program writes ------------

struct TJson;
using TJsonObject = std::map<std::string, TJson>;
using TJsonArray = std::vector<TJson>;
struct TJson {
  std::variant<std::nullptr_t, bool, double, std::string, TJsonArray, TJsonObject> V;
  bool IsNull() const { return std::holds_alternative<std::nullptr_t>(V); }
  bool IsBool() const { return std::holds_alternative<bool>(V); }
  bool IsNumber() const { return std::holds_alternative<double>(V); }
  bool IsString() const { return std::holds_alternative<std::string>(V); }
  bool IsArray() const { return std::holds_alternative<TJsonArray>(V); }
  bool IsObject() const { return std::holds_alternative<TJsonObject>(V); }
  const std::string& Str() const { return std::get<std::string>(V); }
  double Num() const { return std::get<double>(V); }
  bool Bool() const { return std::get<bool>(V); }
  const TJsonArray& Arr() const { return std::get<TJsonArray>(V); }
  const TJsonObject& Obj() const { return std::get<TJsonObject>(V); }
  bool Has(const std::string& k) const { return IsObject() && Obj().count(k) > 0; }
  const TJson& operator[](const std::string& k) const { return Obj().at(k); }
};

class TJsonReader {
 public:
  explicit TJsonReader(const std::string& s) : S(s) {}

  // The one value the text holds; throws on anything that is not strict JSON
  // (raw control characters in strings, bad escapes, invalid UTF-8, trailing text).
  TJson ReadDocument() {
    TJson v = Value();
    Space();
    if (P != S.size()) Fail("trailing text");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& why) {
    throw std::runtime_error(why + " at offset " + std::to_string(P) + " of: " + S);
  }
  void Space() {
    while (P < S.size() && (S[P] == ' ' || S[P] == '\t' || S[P] == '\n' || S[P] == '\r')) ++P;
  }
  bool Eat(char c) {
    Space();
    if (P < S.size() && S[P] == c) return ++P, true;
    return false;
  }
  void Expect(char c) {
    if (!Eat(c)) Fail(std::string("expected '") + c + "'");
  }
  TJson Value() {
    Space();
    if (P >= S.size()) Fail("unexpected end");
    const char c = S[P];
    if (c == '{') {
      ++P;
      TJsonObject o;
      if (Eat('}')) return {o};
      do {
        Space();
        std::string k = String();
        Expect(':');
        if (!o.emplace(k, Value()).second) Fail("duplicate key " + k);
      } while (Eat(','));
      Expect('}');
      return {o};
    }
    if (c == '[') {
      ++P;
      TJsonArray a;
      if (Eat(']')) return {a};
      do a.push_back(Value());
      while (Eat(','));
      Expect(']');
      return {a};
    }
    if (c == '"') return {String()};
    for (auto [word, value] : {std::pair<const char*, int>{"true", 1}, {"false", 0}, {"null", -1}}) {
      if (S.compare(P, std::strlen(word), word) == 0) {
        P += std::strlen(word);
        if (value < 0) return {nullptr};
        return {value == 1};
      }
    }
    const std::size_t start = P;
    if (S[P] == '-') ++P;
    while (P < S.size() && (std::isdigit(static_cast<unsigned char>(S[P])) || std::strchr(".eE+-", S[P]))) ++P;
    if (start == P) Fail("unexpected character");
    std::size_t used = 0;
    const double d = std::stod(S.substr(start, P - start), &used);
    if (used != P - start) Fail("bad number");
    return {d};
  }

  std::uint32_t Hex4() {
    if (P + 4 > S.size()) Fail("short \\u escape");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = S[P++];
      v <<= 4;
      if (h >= '0' && h <= '9') v |= h - '0';
      else if (h >= 'a' && h <= 'f') v |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F') v |= h - 'A' + 10;
      else Fail("bad hex digit");
    }
    return v;
  }
  std::string String() {
    if (P >= S.size() || S[P] != '"') Fail("expected a string");
    ++P;
    std::string out;
    while (true) {
      if (P >= S.size()) Fail("unterminated string");
      const auto c = static_cast<unsigned char>(S[P]);
      if (c == '"') {
        ++P;
        return out;
      }
      if (c < 0x20) Fail("raw control character in string");
      if (c == '\\') {
        if (++P >= S.size()) Fail("unterminated escape");
        const char e = S[P++];
        switch (e) {
          case '"': out += '"'; break;
          case '\\': out += '\\'; break;
          case '/': out += '/'; break;
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'n': out += '\n'; break;
          case 'r': out += '\r'; break;
          case 't': out += '\t'; break;
          case 'u': {
            std::uint32_t cp = Hex4();
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              if (S.compare(P, 2, "\\u") != 0) Fail("lone high surrogate");
              P += 2;
              const std::uint32_t lo = Hex4();
              if (lo < 0xDC00 || lo > 0xDFFF) Fail("bad low surrogate");
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
              Fail("lone low surrogate");
            }
            quillmark::AppendUtf8(out, cp);
            break;
          }
          default: Fail("bad escape");
        }
        continue;
      }
      // Raw bytes must be well-formed UTF-8.
      std::size_t len = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                                   : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
      if (len == 0 || P + len > S.size()) Fail("invalid UTF-8");
      std::uint32_t cp = len == 1 ? c : c & (0x7F >> len);
      for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(S[P + i]);
        if ((b & 0xC0) != 0x80) Fail("invalid UTF-8");
        cp = (cp << 6) | (b & 0x3F);
      }
      static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) Fail("invalid UTF-8");
      out.append(S, P, len);
      P += len;
    }
  }

  const std::string& S;
  std::size_t P = 0;
};

TJson ParseJson(const std::string& line) { return TJsonReader(line).ReadDocument(); }

// --- files ---------------------------------------------------------------------

void WriteFile(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

void Put16(std::string& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// A 1 KB PE32 console image: DOS header, NT headers, one .text section with
// a "ret" at the entry point.
std::string TinyPE() {
  std::string b(1024, '\0');
  b[0] = 'M', b[1] = 'Z';
  Put32(b, 0x3C, 0x40);  // e_lfanew
  b.replace(0x40, 4, std::string("PE\0\0", 4));
  const std::size_t fh = 0x44, oh = fh + 20;
  Put16(b, fh + 0, 0x014C);   // i386
  Put16(b, fh + 2, 1);        // one section
  Put16(b, fh + 16, 0xE0);    // SizeOfOptionalHeader
  Put16(b, fh + 18, 0x0102);  // executable, 32-bit machine
  Put16(b, oh + 0, 0x10B);    // PE32
  Put32(b, oh + 4, 0x200);    // SizeOfCode
  Put32(b, oh + 16, 0x1000);  // AddressOfEntryPoint
  Put32(b, oh + 20, 0x1000);  // BaseOfCode
  Put32(b, oh + 28, 0x400000);
  Put32(b, oh + 32, 0x1000);  // SectionAlignment
  Put32(b, oh + 36, 0x200);   // FileAlignment
  Put16(b, oh + 40, 4);       // OS version
  Put16(b, oh + 48, 4);       // subsystem version
  Put32(b, oh + 56, 0x2000);  // SizeOfImage
  Put32(b, oh + 60, 0x200);   // SizeOfHeaders
  Put16(b, oh + 68, 3);       // console
  Put32(b, oh + 92, 16);      // NumberOfRvaAndSizes
  const std::size_t sh = oh + 0xE0;
  b.replace(sh, 5, ".text");
  Put32(b, sh + 8, 0x200);
  Put32(b, sh + 12, 0x1000);
  Put32(b, sh + 16, 0x200);
  Put32(b, sh + 20, 0x200);
  Put32(b, sh + 36, 0x60000020);  // code, execute, read
  b[0x200] = static_cast<char>(0xC3);
  return b;
}

// Removes a tree of any depth: folders deeper than PATH_MAX cannot be named
// by path, so the grandchildren of the top are moved up to it, one level at
// a time, until nothing is nested.
void RemoveTree(const fs::path& root) {
  const int top = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return;
  auto names = [](int fd) {
    std::vector<std::string> list;
    const int listFd = ::dup(fd);
    DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!d) return list;
    ::rewinddir(d);  // the duplicate shares its offset with fd, read before
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) list.emplace_back(e->d_name);
    ::closedir(d);
    return list;
  };
  unsigned hoisted = 0;
  for (bool nested = true; nested;) {
    nested = false;
    for (const std::string& name : names(top)) {
      struct stat st;
      if (::fstatat(top, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!S_ISDIR(st.st_mode)) {
        ::unlinkat(top, name.c_str(), 0);
        continue;
      }
      ::fchmodat(top, name.c_str(), 0700, 0);
      const int sub = ::openat(top, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) continue;
      for (const std::string& child : names(sub)) {
        const std::string up = "hoisted-" + std::to_string(hoisted++);
        if (::renameat(sub, child.c_str(), top, up.c_str()) == 0) nested = true;
      }
      ::close(sub);
      ::unlinkat(top, name.c_str(), AT_REMOVEDIR);
    }
  }
  ::close(top);
  ::rmdir(root.c_str());
}

// Makes a chain of `levels` folders named `name` below `under`, with `file`
// holding `bytes` at the bottom; answers the file's path. The chain is
// built relative to descriptors, so its path may exceed PATH_MAX.
std::string MakeDeepChain(const fs::path& under, const std::string& name, int levels, const std::string& file,
                          const std::string& bytes) {
  fs::create_directories(under);
  int fd = ::open(under.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string path = under.string();
  for (int i = 0; i < levels && fd >= 0; ++i) {
    ::mkdirat(fd, name.c_str(), 0755);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    path += "/" + name;
  }
  if (fd < 0) {
    ADD_FAILURE() << "cannot build the folder chain: " << std::strerror(errno);
    return {};
  }
  const int out = ::openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ::close(fd);
  EXPECT_GE(out, 0);
  if (out < 0) return {};
  EXPECT_EQ(::write(out, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(out);
  return path + "/" + file;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quillmark-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    Root = tmpl;
    Scratch = Root / "scratch";
    LogDir = Root / "log";
    Files = Root / "files";
    fs::create_directories(Scratch);
    fs::create_directories(LogDir);
    fs::create_directories(Files);
    // An unprivileged run reaches the files and writes its log.
    fs::permissions(Root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(LogDir, fs::perms::all);
  }
  void TearDown() override { RemoveTree(Root); }

  TRun Run(const std::vector<std::string>& args, const TRunSpec& spec = {}) {
    return RunCli(args, Scratch, LogDir, spec);
  }

  // The JSON records of a --json run, by file name as written.
  std::map<std::string, TJson> Records(const TRun& run) {
    std::map<std::string, TJson> records;
    for (const std::string& line : Lines(run.Out)) {
      TJson j;
      try {
        j = ParseJson(line);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        continue;
      }
      EXPECT_TRUE(j.Has("file") && j["file"].IsString()) << line;
      if (j.Has("file") && j["file"].IsString()) {
        EXPECT_TRUE(records.emplace(j["file"].Str(), j).second) << line;
      }
    }
    return records;
  }

  // Files the debug log holds, with their sizes.
  std::uintmax_t LogBytes() {
    std::uintmax_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(LogDir))
      if (e.is_regular_file()) n += e.file_size();
    return n;
  }

  fs::path Root, Scratch, LogDir, Files;
};

// Checks the keys every record carries and their types: every key is there
// whatever is known, null where nothing is.
void ExpectRecordShape(const TJson& r) {
  ASSERT_TRUE(r.IsObject());
  for (const char* key :
       {"file", "fileBytes", "analyzed", "percent", "flagged", "size", "sha256", "threat", "rules", "error", "warnings"})
    ASSERT_TRUE(r.Has(key)) << key;
  EXPECT_EQ(r.Obj().size(), 11u);
  ASSERT_TRUE(r["file"].IsString());
  EXPECT_TRUE(r["fileBytes"].IsNull() || r["fileBytes"].IsString());
  ASSERT_TRUE(r["analyzed"].IsBool());
  const bool analyzed = r["analyzed"].Bool();
  ASSERT_TRUE(r["percent"].IsNumber());
  EXPECT_GE(r["percent"].Num(), 0.0);
  EXPECT_LE(r["percent"].Num(), 100.0);
  ASSERT_TRUE(r["flagged"].IsBool());
  if (r["flagged"].Bool()) {
    EXPECT_TRUE(analyzed);
  }
  EXPECT_TRUE(r["size"].IsNull() || r["size"].IsNumber());
  // A verdict names the digest of what was analysed; nothing else does.
  EXPECT_EQ(r["sha256"].IsNull(), !analyzed);
  if (analyzed) {
    EXPECT_TRUE(r["sha256"].IsString() && r["sha256"].Str().size() == 64u);
    EXPECT_TRUE(r["size"].IsNumber());
  }
  EXPECT_EQ(r["threat"].IsNull(), !analyzed);
  if (!r["threat"].IsNull()) {
    const TJson& t = r["threat"];
    ASSERT_TRUE(t.IsObject());
    EXPECT_TRUE(t.Has("id") && t["id"].IsNumber());
    EXPECT_TRUE(t.Has("name") && (t["name"].IsNull() || t["name"].IsString()));
    EXPECT_TRUE(t.Has("severity") && (t["severity"].IsNull() || t["severity"].IsNumber()));
  }
  ASSERT_TRUE(r["rules"].IsArray());
  for (const TJson& rule : r["rules"].Arr()) {
    ASSERT_TRUE(rule.IsObject());
    ASSERT_TRUE(rule.Has("rule") && rule["rule"].IsString());
    EXPECT_EQ(rule["rule"].Str().rfind("mhRule", 0), 0u) << rule["rule"].Str();
    EXPECT_TRUE(rule.Has("percent") && rule["percent"].IsNumber());
    ASSERT_TRUE(rule.Has("threats") && rule["threats"].IsArray());
    for (const TJson& t : rule["threats"].Arr()) {
      EXPECT_TRUE(t.Has("name") && t["name"].IsString());
      EXPECT_TRUE(t.Has("danger") && t["danger"].IsNumber());
    }
    EXPECT_TRUE(rule.Has("details") && rule["details"].IsObject());
  }
  // A file that was not analysed says why; one that was does not.
  EXPECT_EQ(r["error"].IsNull(), analyzed);
  if (!analyzed) {
    EXPECT_TRUE(r["error"].IsString());
  }
  ASSERT_TRUE(r["warnings"].IsArray());
  for (const TJson& w : r["warnings"].Arr()) EXPECT_TRUE(w.IsString());
}

// --- tests ---------------------------------------------------------------------

TEST_F(CliTest, HelpAndVersion) {
  for (const char* arg : {"--help", "-h", "help"}) {
    TRun run = Run({arg});
    EXPECT_EQ(run.Status, 0) << arg;
    EXPECT_NE(run.Out.find("quillmark scan"), std::string::npos) << arg;
    EXPECT_EQ(run.Err, "") << arg;
  }
  TRun run = Run({"scan", "--help"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_NE(run.Out.find("--json"), std::string::npos);
  EXPECT_NE(run.Out.find("--max-filesize"), std::string::npos);
  EXPECT_NE(run.Out.find("Exit status"), std::string::npos);

  run = Run({"--version"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out.rfind("quillmark ", 0), 0u) << run.Out;
  EXPECT_NE(run.Out.find_first_of("0123456789"), std::string::npos) << run.Out;
}

TEST_F(CliTest, UsageErrorsExitTwoWithAMessageAndScanNothing) {
  const std::string f = (Files / "notes.txt").string();
  WriteFile(f, "plain text\n");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"--frobnicate"},
      {"scan"},
      {"scan", "--json"},
      {"scan", "--frobnicate", f},
      {"scan", "--json=yes", f},
      {"scan", f, "--jobs"},
      {"scan", "--jobs", "0", f},
      {"scan", "--jobs", "two", f},
      {"scan", "--jobs=-1", f},
      {"scan", "--threshold", "101", f},
      {"scan", "--threshold", "-1", f},
      {"scan", "--threshold", "half", f},
      {"scan", "--rule", "NoSuchRule", f},
      {"scan", "--rule", "mhRule", f},
      {"scan", "--rule", "entropy=high", f},
      {"scan", "--no-rule", "NoSuchRule", f},
      {"scan", "--rule", "entropy", "--no-rule", "mhRuleEntropy", f},
      {"scan", "--data", (Root / "no-such-folder").string(), f},
      {"scan", "--data", f, f},
      {"scan", "--max-filesize", "0", f},
      {"scan", "--max-filesize", "1T", f},
      {"scan", "--max-filesize=", f},
      {"scan", "--max-filesize", "-5", f},
      {"scan", "--max-filesize", "K", f},
      {"scan", "--max-filesize", "20000000000G", f},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    TRun run = Run(args);
    EXPECT_EQ(run.Status, 2) << shown;
    EXPECT_EQ(run.Out, "") << shown;
    EXPECT_EQ(run.Err.rfind("quillmark: ", 0), 0u) << shown << "\n" << run.Err;
  }
}

TEST_F(CliTest, RuleNamesAreAcceptedInEveryDocumentedSpelling) {
  const std::string f = (Files / "notes.txt").string();
  WriteFile(f, "plain text\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--rule", "mhRuleEntropy"},
      {"--rule", "MHRULEENTROPY=7"},
      {"--rule", "entropy", "--rule", "SignedFile=-3"},
      {"--rule=double-extension=+2"},
      {"--no-rule", "fake_extension", "--no-rule", "autostart"},
      {"--data", QUILLMARK_BUILT_DATA_DIR, "--jobs", "3", "--threshold", "12.5"},
      {"--jobs=1", "--threshold=0"},
      {"--max-filesize", "512K"},
      {"--max-filesize=100m", "--max-filesize", "4G"},
      {"--max-filesize", "1000"},
  };
  for (auto args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    args.insert(args.begin(), "scan");
    args.push_back(f);
    TRun run = Run(args);
    EXPECT_EQ(run.Status, 0) << shown << "\n" << run.Err;
    EXPECT_NE(run.Out.find("notes.txt"), std::string::npos) << shown;
  }
}

TEST_F(CliTest, TextFileIsReportedAsNotAPEImage) {
  const std::string f = (Files / "readme.txt").string();
  WriteFile(f, "MZ but nothing more\n");
  TRun run = Run({"scan", f});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, f + ": not analysed (not a PE image)\n");
  EXPECT_EQ(run.Err, "");

  run = Run({"scan", "--json", f});
  EXPECT_EQ(run.Status, 0);
  auto records = Records(run);
  ASSERT_EQ(records.size(), 1u);
  const TJson& r = records.at(f);
  ExpectRecordShape(r);
  EXPECT_FALSE(r["analyzed"].Bool());
  EXPECT_EQ(r["error"].Str(), "not a PE image");
  EXPECT_TRUE(r["rules"].Arr().empty());
}

TEST_F(CliTest, MissingPathIsReportedAndTheScanGoesOn) {
  const std::string missing = (Root / "no-such-file.exe").string();
  const std::string text = (Files / "a.txt").string();
  WriteFile(text, "hello\n");

  // Nothing could be read at all.
  TRun run = Run({"scan", missing});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "quillmark: cannot read '" + missing + "': No such file or directory\n");

  // Something could: the other path is still scanned, and the status says
  // that not everything was read.
  run = Run({"scan", missing, text});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Out, text + ": not analysed (not a PE image)\n");
  EXPECT_EQ(run.Err, "quillmark: cannot read '" + missing + "': No such file or directory\n");

  // JSON consumers get a record for it as well.
  run = Run({"scan", "--json", text, missing});
  EXPECT_EQ(run.Status, 2);
  auto records = Records(run);
  ASSERT_EQ(records.size(), 2u);
  const TJson& r = records.at(missing);
  ExpectRecordShape(r);
  EXPECT_FALSE(r["analyzed"].Bool());
  EXPECT_NE(r["error"].Str().find("No such file"), std::string::npos);

  // The engine never saw the missing file, so it logged nothing.
  EXPECT_EQ(LogBytes(), 0u);
}

TEST_F(CliTest, UnreadableFilesAndFoldersAreReportedAndTheRestIsScanned) {
  // Run as an ordinary user, for whom these permissions hold.
  const fs::path locked = Files / "locked.exe";
  WriteFile(locked, TinyPE());
  fs::permissions(locked, fs::perms::none);
  const fs::path closed = Files / "a" / "b" / "closed";
  WriteFile(closed / "hidden.exe", TinyPE());
  fs::permissions(closed, fs::perms::none);
  const fs::path text = Files / "a" / "b" / "z.txt";
  WriteFile(text, "x\n");
  TRunSpec asUser;
  asUser.Unprivileged = true;

  TRun run = Run({"scan", Files.string()}, asUser);
  EXPECT_EQ(run.Status, 2) << run.Err;
  EXPECT_EQ(run.Out, text.string() + ": not analysed (not a PE image)\n");
  const std::set<std::string> messages = {
      "quillmark: cannot read '" + locked.string() + "': Permission denied",
      "quillmark: cannot read '" + closed.string() + "': Permission denied",
  };
  const auto errLines = Lines(run.Err);
  EXPECT_EQ(std::set<std::string>(errLines.begin(), errLines.end()), messages) << run.Err;

  run = Run({"scan", "--json", Files.string()}, asUser);
  EXPECT_EQ(run.Status, 2);
  auto records = Records(run);
  ASSERT_EQ(records.size(), 3u) << run.Out;
  for (const fs::path& p : {locked, closed}) {
    const TJson& r = records.at(p.string());
    ExpectRecordShape(r);
    EXPECT_FALSE(r["analyzed"].Bool());
    EXPECT_EQ(r["error"].Str(), "Permission denied");
    EXPECT_TRUE(r["threat"].IsNull());
  }
  EXPECT_EQ(records.at(text.string())["error"].Str(), "not a PE image");
}

TEST_F(CliTest, ExitStatusSaysWhetherEverythingWasReadAndWhetherSomethingWasFlagged) {
  const std::string pe = (Files / "tiny.exe").string();
  WriteFile(pe, TinyPE());
  const std::string text = (Files / "notes.txt").string();
  WriteFile(text, "text\n");
  const std::string missing = (Root / "missing.exe").string();
  const fs::path walked = Root / "walked";
  WriteFile(walked / "ok.txt", "text\n");
  fs::create_symlink(Root / "gone", walked / "dangling.exe");
  const fs::path looped = Root / "looped";
  WriteFile(looped / "ok.txt", "text\n");
  fs::create_symlink(looped / "loop-b", looped / "loop-a");
  fs::create_symlink(looped / "loop-a", looped / "loop-b");

  // A threshold of 0 flags every analysed file; 100.1 is out of reach.
  struct TCase {
    std::vector<std::string> Args;
    int Status;
  };
  const std::vector<TCase> cases = {
      {{"--threshold", "0", pe}, 1},
      {{"--threshold", "100", text}, 0},
      {{"--threshold", "0", text, missing}, 2},
      {{"--threshold", "0", pe, missing}, 2},  // flagged, but not everything was read
      // Links that lead nowhere, met in a walk, are skipped without a word.
      {{"--threshold", "0", walked.string()}, 0},
      {{"--threshold", "0", looped.string()}, 0},
      {{"--threshold", "0", missing}, 2},
      // Named on the command line, they are reported.
      {{"--threshold", "0", (walked / "dangling.exe").string()}, 2},
      {{"--threshold", "0", (looped / "loop-a").string()}, 2},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"scan", "--json"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TRun run = Run(args);
    std::string shown;
    for (const auto& a : c.Args) shown += a + " ";
    auto records = Records(run);
    if (c.Args[2] == pe) {
      // The flagged cases need the tiny image analysed.
      ASSERT_TRUE(records.count(pe) && records.at(pe)["analyzed"].Bool()) << run.Out << run.Err;
    }
    EXPECT_EQ(run.Status, c.Status) << shown << "\n" << run.Err;
    EXPECT_EQ(run.Err.find("cannot read") != std::string::npos, c.Status == 2) << shown << "\n" << run.Err;
  }
  TRun run = Run({"scan", (looped / "loop-a").string()});
  EXPECT_EQ(run.Err, "quillmark: cannot read '" + (looped / "loop-a").string() + "': Too many levels of symbolic links\n");
}

TEST_F(CliTest, OutputWriteErrorsAreReportedAndExitTwo) {
  const std::string text = (Files / "notes.txt").string();
  WriteFile(text, "text\n");
  const std::vector<std::vector<std::string>> commands = {
      {"scan", text},
      {"scan", "--json", text},
      {"--help"},
      {"--version"},
  };
  for (const auto& args : commands) {
    TRunSpec full, closedPipe;
    full.Stdout = "/dev/full";
    closedPipe.ClosedPipe = true;
    for (const TRunSpec& spec : {full, closedPipe}) {
      const std::string shown = args[0] + (args.size() > 1 ? " " + args[1] : "") + (spec.ClosedPipe ? " | closed" : " > /dev/full");
      TRun run = Run(args, spec);
      EXPECT_EQ(run.Status, 2) << shown;  // not killed by SIGPIPE, not 0
      const std::string reason = spec.ClosedPipe ? "Broken pipe" : "No space left on device";
      EXPECT_EQ(run.Err, "quillmark: cannot write the output: " + reason + "\n") << shown;
    }
  }
}

TEST_F(CliTest, PipesSocketsAndDevicesAreListedButNeverOpened) {
  // A reader opening any of these would block (the FIFOs) or fail; the
  // program must not even try.
  const fs::path fifoArg = Files / "arg-pipe.exe";
  const fs::path fifoWalked = Files / "folder" / "pipe.exe";
  const fs::path socketWalked = Files / "folder" / "socket.exe";
  const fs::path text = Files / "folder" / "notes.txt";
  WriteFile(text, "text\n");
  ASSERT_EQ(::mkfifo(fifoArg.c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(fifoWalked.c_str(), 0644), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socketWalked.string().size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, socketWalked.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(sock, 1), 0);

  TRun run = Run({"scan", "--json", fifoArg.string(), "/dev/null", (Files / "folder").string()});
  ::close(sock);
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  auto records = Records(run);
  ASSERT_EQ(records.size(), 5u) << run.Out;
  for (const std::string& special : {fifoArg.string(), std::string("/dev/null"), fifoWalked.string(), socketWalked.string()}) {
    const TJson& r = records.at(special);
    ExpectRecordShape(r);
    EXPECT_FALSE(r["analyzed"].Bool());
    EXPECT_EQ(r["error"].Str(), "not a regular file") << special;
  }

  run = Run({"scan", fifoArg.string()});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, fifoArg.string() + ": not analysed (not a regular file)\n");
}

TEST_F(CliTest, FilesLargerThanTheSizeCapAreAnalysedFromTheirStartWithANote) {
  // An image padded to 64 KB: a cap of 8K cuts it, one of 64K does not.
  std::string padded = TinyPE();
  padded.resize(64 * 1024, '\0');
  const std::string pe = (Files / "padded.exe").string();
  WriteFile(pe, padded);

  TRun run = Run({"scan", "--json", "--threshold", "100", "--max-filesize", "8K", pe});
  EXPECT_EQ(run.Status, 0) << run.Err;  // a note, not a failure
  auto records = Records(run);
  ASSERT_EQ(records.size(), 1u);
  const TJson& r = records.at(pe);
  ExpectRecordShape(r);
  EXPECT_TRUE(r["analyzed"].Bool());
  ASSERT_EQ(r["warnings"].Arr().size(), 1u);
  const std::string note = r["warnings"].Arr()[0].Str();
  EXPECT_NE(note.find("65536"), std::string::npos) << note;
  EXPECT_NE(note.find("8192"), std::string::npos) << note;
  EXPECT_EQ(run.Err, "quillmark: warning: '" + pe + "': " + note + "\n");

  for (const char* cap : {"64K", "1G"}) {
    run = Run({"scan", "--json", "--threshold", "100", "--max-filesize", cap, pe});
    EXPECT_EQ(run.Err, "") << cap;
    records = Records(run);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records.at(pe)["warnings"].Arr().empty()) << cap;
  }
}

TEST_F(CliTest, UnusableKnowledgeAndCertificateFilesAreSaidOnceAndCarriedInEveryRecord) {
  // A knowledge folder with one file missing and one damaged; trust/ holds a
  // FIFO (which must not block the scan) and a file without a certificate.
  const fs::path data = Root / "data";
  fs::create_directories(data / "trust");
  for (const char* name : {"hmthinfo.mdict", "hwscheme.mdict"})
    fs::copy_file(fs::path(QUILLMARK_BUILT_DATA_DIR) / name, data / name);
  WriteFile(data / "hsysfiles.mdict", std::string(4096, 'x'));
  ASSERT_EQ(::mkfifo((data / "trust" / "pipe.pem").c_str(), 0644), 0);
  WriteFile(data / "trust" / "empty.pem", "no certificate here\n");
  const fs::path junkCA = Root / "junk.crt";
  WriteFile(junkCA, "not a certificate either\n");
  const std::string pe = (Files / "tiny.exe").string();
  WriteFile(pe, TinyPE());
  WriteFile(Files / "notes.txt", "text\n");

  const std::vector<std::string> expected = {
      "knowledge file '" + (data / "hbwlists.mdict").string() + "' cannot be used (",
      "knowledge file '" + (data / "hsysfiles.mdict").string() + "' cannot be used (",
      "certificate file '" + (data / "trust" / "pipe.pem").string() + "' adds no trust anchor (not a regular file)",
      "certificate file '" + (data / "trust" / "empty.pem").string() + "' adds no trust anchor (holds no certificate)",
      "certificate file '" + junkCA.string() + "' adds no trust anchor (holds no certificate)",
  };
  auto matches = [&](const std::vector<std::string>& said) {
    EXPECT_EQ(said.size(), expected.size()) << ::testing::PrintToString(said);
    for (const std::string& e : expected) {
      const auto n = std::count_if(said.begin(), said.end(), [&](const std::string& w) { return w.rfind(e, 0) == 0; });
      EXPECT_EQ(n, 1) << e << "\n" << ::testing::PrintToString(said);
    }
  };

  TRun run = Run({"scan", "--json", "--jobs", "2", "--threshold", "100", "--data", data.string(), "--ca-file",
                  junkCA.string(), Files.string()});
  EXPECT_EQ(run.Status, 2);  // a verdict without its knowledge is not a clean one
  std::vector<std::string> said;
  for (const std::string& line : Lines(run.Err)) {
    ASSERT_EQ(line.rfind("quillmark: warning: ", 0), 0u) << line;
    said.push_back(line.substr(20));
  }
  matches(said);
  auto records = Records(run);
  ASSERT_EQ(records.size(), 2u);
  for (const auto& [file, r] : records) {
    ExpectRecordShape(r);
    std::vector<std::string> carried;
    for (const TJson& w : r["warnings"].Arr()) carried.push_back(w.Str());
    EXPECT_EQ(carried, said) << file;
  }
  EXPECT_TRUE(records.at(pe)["analyzed"].Bool());  // the scan went on without them

  // The same files with their knowledge in order: nothing to say.
  fs::remove(data / "hsysfiles.mdict");
  for (const char* name : {"hbwlists.mdict", "hsysfiles.mdict"})
    fs::copy_file(fs::path(QUILLMARK_BUILT_DATA_DIR) / name, data / name);
  fs::remove(data / "trust" / "pipe.pem");
  fs::remove(data / "trust" / "empty.pem");
  run = Run({"scan", "--json", "--threshold", "100", "--data", data.string(), Files.string()});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
}

TEST_F(CliTest, FoldersDeeperThanPathMaxAreWalkedToTheBottom) {
  // 1200 levels: a path of about 6000 bytes, and more folders than a process
  // may have descriptors open by default. A file beside the chain, met after
  // the walk comes back up, must be found as well.
  constexpr int kLevels = 1200;
  const std::string bottom = MakeDeepChain(Files / "a", "deep", kLevels, "bottom.exe", TinyPE());
  ASSERT_FALSE(bottom.empty());
  ASSERT_GT(bottom.size(), static_cast<std::size_t>(PATH_MAX));
  const std::string after = (Files / "a" / "z" / "after.txt").string();
  WriteFile(after, "text\n");

  TRun run = Run({"scan", "--json", "--threshold", "100", Files.string()});
  auto records = Records(run);
  ASSERT_EQ(records.size(), 2u) << run.Err;
  ASSERT_TRUE(records.count(bottom)) << run.Err;
  EXPECT_EQ(records.at(after)["error"].Str(), "not a PE image");
  const TJson& deep = records.at(bottom);
  ExpectRecordShape(deep);
  EXPECT_TRUE(deep["analyzed"].Bool()) << (deep["error"].IsString() ? deep["error"].Str() : "");
  EXPECT_EQ(run.Status, 0) << run.Err;
}
TEST_F(CliTest, TinyPEIsRecognisedAsAnImage) {
  const std::string pe = (Files / "tiny.exe").string();
  WriteFile(pe, TinyPE());
  TRun run = Run({"scan", "--json", pe});
  ASSERT_TRUE(run.Status == 0 || run.Status == 1) << run.Err;
  auto records = Records(run);
  ASSERT_EQ(records.size(), 1u);
  const TJson& r = records.at(pe);
  ExpectRecordShape(r);
  if (!r["analyzed"].Bool()) {
    EXPECT_NE(r["error"].Str(), "not a PE image");
  } else {
    EXPECT_TRUE(r["threat"].IsObject());
  }

  // The text line carries the same verdict.
  run = Run({"scan", pe});
  ASSERT_EQ(Lines(run.Out).size(), 1u);
  EXPECT_EQ(run.Out.rfind(pe + ": ", 0), 0u);
  EXPECT_EQ(run.Out.find("not a PE image"), std::string::npos);
  if (r["analyzed"].Bool()) {
    EXPECT_NE(run.Out.find('%'), std::string::npos);
  }
}

TEST_F(CliTest, ExitStatusFollowsTheThreshold) {
  const std::string pe = (Files / "tiny.exe").string();
  WriteFile(pe, TinyPE());
  for (const char* threshold : {"0", "50", "100"}) {
    TRun run = Run({"scan", "--json", "--threshold", threshold, pe});
    auto records = Records(run);
    ASSERT_EQ(records.size(), 1u);
    const TJson& r = records.at(pe);
    const bool flagged = r["analyzed"].Bool() && r["percent"].Num() >= std::stod(threshold);
    EXPECT_EQ(run.Status, flagged ? 1 : 0) << "threshold " << threshold;
  }
}

TEST_F(CliTest, FoldersAreWalkedOnceEachWithLinksFollowedButNotLooped) {
  WriteFile(Files / "top.txt", "1");
  WriteFile(Files / "a" / "one.exe", TinyPE());
  WriteFile(Files / "a" / "b" / "c" / "deep.txt", "2");
  WriteFile(Root / "outside" / "target.dat", "3");
  fs::create_symlink(Root / "outside" / "target.dat", Files / "a" / "link-to-file.dat");
  fs::create_symlink(Files, Files / "a" / "b" / "loop");            // back to the top
  fs::create_symlink(Files / "a" / "b", Files / "a" / "b" / "c" / "up");  // back to an ancestor
  fs::create_symlink(Root / "gone", Files / "dangling");
  ASSERT_EQ(::mkfifo((Files / "a" / "pipe").c_str(), 0600), 0);  // must not block the scan

  TRun run = Run({"scan", "--json", "--threshold", "100", Files.string()});
  EXPECT_EQ(run.Status, 0) << run.Err;  // the dangling link is skipped without a word
  auto records = Records(run);
  const std::set<std::string> expected = {
      (Files / "top.txt").string(),
      (Files / "a" / "one.exe").string(),
      (Files / "a" / "link-to-file.dat").string(),
      (Files / "a" / "pipe").string(),
      (Files / "a" / "b" / "c" / "deep.txt").string(),
  };
  std::set<std::string> seen;
  for (const auto& [file, record] : records) {
    seen.insert(file);
    ExpectRecordShape(record);
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Lines(run.Out).size(), expected.size());
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(records.at((Files / "a" / "pipe").string())["error"].Str(), "not a regular file");

  // The same folder named twice, directly and through a link, is walked once.
  run = Run({"scan", Files.string(), (Files / "a" / "b" / "loop").string()});
  EXPECT_EQ(Lines(run.Out).size(), expected.size());
}

TEST_F(CliTest, FileNamesAreEscapedIntoValidJsonAndKeptOnOneLine) {
  struct TCase {
    std::string Name;
    std::string Decoded;  // what the "file" value must read back as, after the folder
  };
  const std::vector<TCase> cases = {
      {"quote\"name.txt", "quote\"name.txt"},
      {"back\\slash.txt", "back\\slash.txt"},
      {"new\nline.txt", "new\nline.txt"},
      {"tab\tand\rcr.txt", "tab\tand\rcr.txt"},
      {"ctl\x01\x1f\x7f.txt", "ctl\x01\x1f\x7f.txt"},
      {"umlaut-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x98\x80.txt", "umlaut-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x98\x80.txt"},
      {"latin1-\xFC.txt", "latin1-\xEF\xBF\xBD.txt"},
      {"cut-\xE2\x82.txt", "cut-\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {"overlong-\xC0\xAF.txt", "overlong-\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {"surrogate-\xED\xA0\x80.txt", "surrogate-\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {"escape-\\x0A.txt", "escape-\\x0A.txt"},
  };
  for (const TCase& c : cases) WriteFile(Files / c.Name, "text\n");

  TRun run = Run({"scan", "--json", Files.string()});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(Lines(run.Out).size(), cases.size());
  auto records = Records(run);
  for (const TCase& c : cases) {
    const std::string decoded = (Files / c.Decoded).string();
    ASSERT_TRUE(records.count(decoded)) << "no record for " << ::testing::PrintToString(decoded);
    const TJson& r = records.at(decoded);
    EXPECT_EQ(r["error"].Str(), "not a PE image");
    // A name that is not UTF-8 can still be found again: its bytes.
    if (c.Name == c.Decoded) {
      EXPECT_TRUE(r["fileBytes"].IsNull()) << c.Name;
    } else {
      ASSERT_TRUE(r["fileBytes"].IsString()) << c.Name;
      EXPECT_EQ(DecodeBase64(r["fileBytes"].Str()), (Files / c.Name).string());
    }
  }

  // The text form keeps one line per file as well, and no two names look
  // alike: a backslash in a name is doubled, so a line feed (\x0A) and the
  // four characters "\x0A" stay apart.
  run = Run({"scan", Files.string()});
  const auto lines = Lines(run.Out);
  EXPECT_EQ(lines.size(), cases.size());
  const std::string folder = Files.string() + "/";
  const std::set<std::string> shown(lines.begin(), lines.end());
  for (const char* expected : {"new\\x0Aline.txt", "escape-\\\\x0A.txt", "back\\\\slash.txt", "latin1-\\xFC.txt"})
    EXPECT_TRUE(shown.count(folder + expected + ": not analysed (not a PE image)")) << expected << "\n" << run.Out;
}

TEST_F(CliTest, ParallelWorkersReportEveryFileOnceInWholeLines) {
  constexpr int kFiles = 60;
  std::set<std::string> expected;
  for (int i = 0; i < kFiles; ++i) {
    char folder[16], name[16];
    std::snprintf(folder, sizeof folder, "d%d", i % 7);
    std::snprintf(name, sizeof name, "f%d.%s", i, i % 2 ? "exe" : "txt");
    const fs::path p = Files / folder / name;
    WriteFile(p, i % 2 ? TinyPE() : std::string("text ") + name);
    expected.insert(p.string());
  }
  for (const char* jobs : {"1", "4", "16"}) {
    TRun run = Run({"scan", "--json", "--jobs", jobs, Files.string()});
    EXPECT_TRUE(run.Status == 0 || run.Status == 1) << run.Err;
    // stderr is not a terminal: no progress bar, and nothing else to say.
    EXPECT_EQ(run.Err, "") << "jobs " << jobs;
    EXPECT_EQ(Lines(run.Out).size(), static_cast<std::size_t>(kFiles)) << "jobs " << jobs;
    auto records = Records(run);
    std::set<std::string> seen;
    for (const auto& [file, record] : records) {
      seen.insert(file);
      ExpectRecordShape(record);
    }
    EXPECT_EQ(seen, expected) << "jobs " << jobs;
  }
}

TEST_F(CliTest, EmptyFolderIsNotAnError) {
  TRun run = Run({"scan", Files.string()});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, "");
  EXPECT_NE(run.Err.find("no files found"), std::string::npos);
}

// --- command-line conventions ---------------------------------------------------

std::string Joined(const std::vector<std::string>& args) {
  std::string shown;
  for (const auto& a : args) shown += a + " ";
  return shown;
}

TEST_F(CliTest, OptionsTakeTheirValuesInEveryStandardForm) {
  // A text file (never flagged) and a tiny image flagged at threshold 0:
  // with --quiet only the image has a line, so each form shows its effect.
  const std::string text = (Files / "notes.txt").string();
  WriteFile(text, "text\n");
  const std::string pe = (Files / "tiny.exe").string();
  WriteFile(pe, TinyPE());
  const std::string dashed = (Files / "-dash.txt").string();
  WriteFile(dashed, "text\n");
  const std::string list0 = (Root / "list0").string();
  WriteFile(list0, text + std::string(1, '\0') + pe + std::string(1, '\0'));
  const std::string textLine = text + ": not analysed (not a PE image)";

  struct TCase {
    std::vector<std::string> Args;
    std::vector<std::string> Lines;  // on stdout, sorted; "PE" for the image's line
    int Status;
  };
  const std::vector<TCase> cases = {
      {{"-j1", "--threshold=0", text, pe}, {textLine, "PE"}, 1},
      {{"-j", "1", "--threshold", "0", text, pe}, {textLine, "PE"}, 1},
      {{"--jobs=1", "--threshold=0", text, pe}, {textLine, "PE"}, 1},
      {{"-qj1", "--threshold=0", text, pe}, {"PE"}, 1},
      {{"-j2", "-q", "--threshold=0", text, pe}, {"PE"}, 1},
      {{"--quiet", "--threshold=0", text}, {}, 0},
      {{"-q0j2", "--threshold=0", "--files-from", list0}, {"PE"}, 1},
      {{"-0", "--files-from=" + list0, "--threshold", "100.0"}, {textLine, "PE"}, 0},
      {{"--threshold=100", "--", dashed}, {dashed + ": not analysed (not a PE image)"}, 0},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"scan"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TRun run = Run(args);
    EXPECT_EQ(run.Err, "") << Joined(c.Args);
    std::vector<std::string> lines = Lines(run.Out);
    for (std::string& line : lines)
      if (line.rfind(pe + ": ", 0) == 0 && line.find("not analysed") == std::string::npos) line = "PE";
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, c.Lines) << Joined(c.Args) << "\n" << run.Out;
    EXPECT_EQ(run.Status, c.Status) << Joined(c.Args);
  }
}

TEST_F(CliTest, BadCommandLinesAreNamedInTheMessage) {
  const std::string f = (Files / "notes.txt").string();
  WriteFile(f, "text\n");
  struct TCase {
    std::vector<std::string> Args;
    std::string Message;  // after "quillmark: "
  };
  const std::vector<TCase> cases = {
      {{"scan", "-z", f}, "unknown option '-z'"},
      {{"scan", "-qz", f}, "unknown option '-z'"},
      {{"scan", "--frobnicate", f}, "unknown option '--frobnicate'"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"scan", f, "-j"}, "option '--jobs' needs a value"},
      {{"scan", "-jx", f}, "option '--jobs' needs a number from 1 to 1024, not 'x'"},
      {{"scan", "--jobs=", f}, "option '--jobs' needs a value"},
      {{"scan", "--data=", f}, "option '--data' needs a value"},
      {{"scan", "--quiet=yes", f}, "option '--quiet' takes no value"},
      {{"scan", "-0", f}, "option '--null' needs '--files-from'"},
      {{"scan", "--files-from"}, "option '--files-from' needs a value"},
      {{"scan", "-o", f}, "nothing to scan: give one or more files or folders"},
      {{"scan", "--exclude", "", f}, "option '--exclude' needs a pattern"},
      {{"scan", "--rule", "frob=1", f}, "unknown rule 'frob'"},
  };
  for (const TCase& c : cases) {
    TRun run = Run(c.Args);
    EXPECT_EQ(run.Status, 2) << Joined(c.Args);
    EXPECT_EQ(run.Out, "") << Joined(c.Args);
    EXPECT_EQ(run.Err, "quillmark: " + c.Message + "\nTry 'quillmark --help' for more information.\n") << Joined(c.Args);
  }
  // The file named by -o above was not touched.
  EXPECT_EQ(ReadAll(f), "text\n");
}

TEST_F(CliTest, FilesFromReadsListsFromFilesAndStdin) {
  const std::string a = (Files / "a.txt").string();
  const std::string spaced = (Files / "with space.txt").string();
  const std::string newline = (Files / "new\nline.txt").string();
  for (const std::string& f : {a, spaced, newline}) WriteFile(f, "text\n");
  const std::string folder = (Files / "sub").string();
  WriteFile(Files / "sub" / "inner.txt", "text\n");
  const std::string missing = (Files / "missing.txt").string();

  const std::string lines = a + "\n\n" + spaced + "\n" + folder + "\n";
  const std::string nul = a + '\0' + newline + '\0' + '\0' + folder + '\0';
  const std::set<std::string> fromLines = {a, spaced, folder + "/inner.txt"};
  const std::set<std::string> fromNul = {a, newline, folder + "/inner.txt"};
  WriteFile(Root / "list.txt", lines);
  WriteFile(Root / "list.nul", nul);

  struct TCase {
    std::vector<std::string> Args;
    std::string Stdin;  // a file for stdin, or empty
    std::set<std::string> Files;
  };
  const std::vector<TCase> cases = {
      {{"--files-from", (Root / "list.txt").string()}, "", fromLines},
      {{"-0", "--files-from", (Root / "list.nul").string()}, "", fromNul},
      {{"--files-from", "-"}, (Root / "list.txt").string(), fromLines},
      {{"--null", "--files-from=-"}, (Root / "list.nul").string(), fromNul},
      // Paths on the command line come too.
      {{"--files-from", "-", (Files / "a.txt").string()}, "/dev/null", {a}},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"scan", "--json"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TRunSpec spec;
    spec.Stdin = c.Stdin;
    TRun run = Run(args, spec);
    EXPECT_EQ(run.Status, 0) << Joined(c.Args) << run.Err;
    std::set<std::string> seen;
    for (const auto& [file, record] : Records(run)) seen.insert(file);
    EXPECT_EQ(seen, c.Files) << Joined(c.Args);
  }

  // A listed path that is missing is reported like one on the command line;
  // a list that cannot be read stops the scan before it starts.
  WriteFile(Root / "with-missing.txt", a + "\n" + missing + "\n");
  TRun run = Run({"scan", "--files-from", (Root / "with-missing.txt").string()});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Out, a + ": not analysed (not a PE image)\n");
  EXPECT_EQ(run.Err, "quillmark: cannot read '" + missing + "': No such file or directory\n");
  run = Run({"scan", "--files-from", (Root / "no-list").string(), a});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "quillmark: cannot read '" + (Root / "no-list").string() + "': No such file or directory\n");
}

TEST_F(CliTest, ExcludesSkipWhatTheWalkMeetsButNeverANamedPath) {
  for (const char* name : {"keep.txt", "skip.log", ".git/objects/blob.txt", "build/out.txt", "sub/build.txt",
                           "sub/build/deeper.txt", "sub/notes.log"})
    WriteFile(Files / name, "text\n");
  auto files = [this](std::initializer_list<const char*> names) {
    std::set<std::string> set;
    for (const char* name : names) set.insert((Files / name).string());
    return set;
  };
  struct TCase {
    std::vector<std::string> Args;
    std::set<std::string> Files;
  };
  const std::vector<TCase> cases = {
      {{Files.string()},
       files({"keep.txt", "skip.log", ".git/objects/blob.txt", "build/out.txt", "sub/build.txt", "sub/build/deeper.txt",
              "sub/notes.log"})},
      {{"--exclude", "*.log", Files.string()},
       files({"keep.txt", ".git/objects/blob.txt", "build/out.txt", "sub/build.txt", "sub/build/deeper.txt"})},
      // A folder pattern leaves files of that name alone, at every depth.
      {{"--exclude-dir", ".git", "--exclude-dir=build", Files.string()},
       files({"keep.txt", "skip.log", "sub/build.txt", "sub/notes.log"})},
      {{"--exclude", "*.txt", "--exclude", "s*", "--exclude-dir", ".*", Files.string()}, files({"sub/notes.log"})},
      // A file pattern does not skip folders, and the reverse.
      {{"--exclude", "sub", "--exclude-dir", "keep.txt", Files.string()},
       files({"keep.txt", "skip.log", ".git/objects/blob.txt", "build/out.txt", "sub/build.txt", "sub/build/deeper.txt",
              "sub/notes.log"})},
      // Named paths are always scanned.
      {{"--exclude", "*.log", "--exclude-dir", "build", (Files / "skip.log").string(), (Files / "build").string()},
       files({"skip.log", "build/out.txt"})},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"scan", "--json"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TRun run = Run(args);
    EXPECT_EQ(run.Status, 0) << Joined(c.Args) << run.Err;
    std::set<std::string> seen;
    for (const auto& [file, record] : Records(run)) seen.insert(file);
    EXPECT_EQ(seen, c.Files) << Joined(c.Args);
  }
}

TEST_F(CliTest, QuietPrintsOnlyFlaggedFilesAndTheErrors) {
  const std::string pe = (Files / "tiny.exe").string();
  WriteFile(pe, TinyPE());
  WriteFile(Files / "notes.txt", "text\n");
  const std::string missing = (Root / "missing.exe").string();

  // At threshold 0 the image is flagged; at 100.0 nothing is.
  for (const bool json : {false, true}) {
    std::vector<std::string> args{"scan", "--quiet", "--threshold", "0", Files.string(), missing};
    if (json) args.insert(args.begin() + 1, "--json");
    TRun run = Run(args);
    EXPECT_EQ(run.Status, 2);  // the missing path
    const auto lines = Lines(run.Out);
    ASSERT_EQ(lines.size(), 1u) << run.Out;
    if (json) {
      const TJson r = ParseJson(lines[0]);
      EXPECT_EQ(r["file"].Str(), pe);
      EXPECT_TRUE(r["analyzed"].Bool());
    } else {
      EXPECT_EQ(lines[0].rfind(pe + ": ", 0), 0u) << lines[0];
    }
    EXPECT_EQ(run.Err, "quillmark: cannot read '" + missing + "': No such file or directory\n");
    EXPECT_EQ(run.Summary, "");  // --quiet implies --no-summary
  }
  TRun run = Run({"scan", "-q", Files.string()});
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(run.Summary, "");
}

TEST_F(CliTest, OutputFileGetsTheRecordsAndItsWriteErrorsExitTwo) {
  const std::string text = (Files / "notes.txt").string();
  WriteFile(text, "text\n");
  const std::string out = (Files / "results.jsonl").string();
  WriteFile(out, "old content that must go\n");

  // The records go to the file, which is itself not scanned although it
  // lies in the folder.
  TRun run = Run({"scan", "--json", "-o", out, Files.string()});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "");
  EXPECT_NE(run.Summary, "");
  const auto lines = Lines(ReadAll(out));
  ASSERT_EQ(lines.size(), 1u) << ReadAll(out);
  EXPECT_EQ(ParseJson(lines[0])["file"].Str(), text);

  for (const std::vector<std::string>& args : {std::vector<std::string>{"scan", "-o" + out, text},
                                                std::vector<std::string>{"scan", "--output=" + out, text}}) {
    run = Run(args);
    EXPECT_EQ(run.Status, 0) << Joined(args);
    EXPECT_EQ(ReadAll(out), text + ": not analysed (not a PE image)\n") << Joined(args);
  }

  struct TCase {
    std::string Output;
    std::string Reason;
  };
  const std::vector<TCase> failures = {
      {"/dev/full", "No space left on device"},
      {(Root / "no-such-folder" / "out.txt").string(), "No such file or directory"},
      {Files.string(), "Is a directory"},
  };
  for (const TCase& c : failures)
    for (const char* format : {"--json", "--no-progress"}) {
      run = Run({"scan", format, "-o", c.Output, text});
      EXPECT_EQ(run.Status, 2) << c.Output;
      EXPECT_EQ(run.Out, "") << c.Output;
      EXPECT_EQ(run.Err, "quillmark: cannot write '" + c.Output + "': " + c.Reason + "\n") << c.Output;
    }
}

// A folder on another file system than the temporary folder, to link to:
// /dev/shm where it is one (it is a tmpfs on Linux).
std::optional<fs::path> FolderOnAnotherFileSystem(const fs::path& here, const std::string& name) {
  struct stat local, shm;
  if (::stat(here.c_str(), &local) != 0 || ::stat("/dev/shm", &shm) != 0 || local.st_dev == shm.st_dev) return {};
  fs::path folder = fs::path("/dev/shm") / name;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return {};
  return folder;
}

TEST_F(CliTest, FolderLinksIntoOtherFileSystemsAreFollowedOnlyWhenAsked) {
  WriteFile(Files / "here.txt", "text\n");
  WriteFile(Root / "same-fs" / "beside.txt", "text\n");
  fs::create_symlink(Root / "same-fs", Files / "same");
  fs::create_symlink("/proc", Files / "proc");
  fs::create_symlink("/sys", Files / "sys");
  fs::create_symlink("/dev", Files / "dev");
  const std::string here = (Files / "here.txt").string(), beside = (Files / "same" / "beside.txt").string();

  // The kernel's folders are never walked through a link by default: only
  // what lies on the walk's own file system is scanned, in well under the
  // time a walk of /proc would take.
  TRun run = Run({"scan", "--json", Files.string()});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  std::set<std::string> seen;
  for (const auto& [file, record] : Records(run)) seen.insert(file);
  EXPECT_EQ(seen, (std::set<std::string>{here, beside}));

  // A small folder on another file system shows what --follow-symlinks and
  // --one-file-system change.
  for (const char* link : {"proc", "sys", "dev"}) fs::remove(Files / link);
  const auto other = FolderOnAnotherFileSystem(Root, "quillmark-cli-" + Root.filename().string());
  if (!other) GTEST_SKIP() << "/dev/shm is not another file system here";
  WriteFile(*other / "far.txt", "text\n");
  fs::create_symlink(*other, Files / "other");
  const std::string far = (Files / "other" / "far.txt").string();
  struct TCase {
    std::vector<std::string> Args;
    std::set<std::string> Files;
  };
  const std::vector<TCase> cases = {
      {{}, {here, beside}},
      {{"--follow-symlinks"}, {here, beside, far}},
      {{"--follow-symlinks", "--one-file-system"}, {here, beside}},
      {{"--one-file-system"}, {here, beside}},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"scan", "--json"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    args.push_back(Files.string());
    run = Run(args);
    seen.clear();
    for (const auto& [file, record] : Records(run)) seen.insert(file);
    EXPECT_EQ(seen, c.Files) << Joined(c.Args);
  }
  // Named on the command line, the link is followed whatever the options.
  run = Run({"scan", "--json", "--one-file-system", (Files / "other").string()});
  seen.clear();
  for (const auto& [file, record] : Records(run)) seen.insert(file);
  EXPECT_EQ(seen, std::set<std::string>{far});
  fs::remove_all(*other);
}

TEST_F(CliTest, SummaryCountsWhatBecameOfEveryFile) {
  WriteFile(Files / "tiny.exe", TinyPE());
  WriteFile(Files / "notes.txt", "text\n");
  const std::string missing = (Root / "missing.exe").string();
  const std::regex summary(
      R"(quillmark: summary: (\d+) files seen, (\d+) analysed, (\d+) flagged, (\d+) errors, \d+\.\d\d seconds\n)");
  struct TCase {
    std::vector<std::string> Args;
    std::string Counts;  // seen analysed flagged errors, or empty: no summary
  };
  const std::vector<TCase> cases = {
      {{"--threshold", "0", Files.string()}, "2 1 1 0"},
      {{"--threshold", "100", Files.string(), missing}, "3 1 0 1"},
      {{"--json", "-j2", "--threshold", "0", Files.string(), missing}, "3 1 1 1"},
      {{"--no-summary", Files.string()}, ""},
      {{"-q", Files.string()}, ""},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"scan"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TRun run = Run(args);
    std::smatch m;
    if (c.Counts.empty()) {
      EXPECT_EQ(run.Summary, "") << Joined(c.Args);
      EXPECT_EQ(run.Err.find("summary"), std::string::npos) << Joined(c.Args);
      continue;
    }
    ASSERT_TRUE(std::regex_match(run.Summary, m, summary)) << Joined(c.Args) << "\n" << run.Err << run.Summary;
    EXPECT_EQ(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str(), c.Counts) << Joined(c.Args);
  }
}

TEST_F(CliTest, ListRulesGivesEveryRuleWithANameTheScanAccepts) {
  TRun run = Run({"--list-rules"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(Run({"scan", "--list-rules"}).Out, run.Out);
  const auto lines = Lines(run.Out);
  ASSERT_GE(lines.size(), 10u) << run.Out;
  std::vector<std::string> args{"scan", "--json"};
  std::set<std::string> identifiers;
  std::set<long> priorities;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::string identifier, name, extra;
    long priority = 0;
    ASSERT_TRUE(in >> identifier >> name >> priority) << line;
    EXPECT_FALSE(in >> extra) << line;
    EXPECT_EQ(identifier.rfind("mhRule", 0), 0u) << line;
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz-"), std::string::npos) << line;
    identifiers.insert(identifier);
    priorities.insert(priority);
    args.insert(args.end(), {"--rule", name});
  }
  EXPECT_EQ(identifiers.size(), lines.size());
  EXPECT_EQ(priorities.size(), lines.size()) << "default priorities order the rules";
  EXPECT_TRUE(identifiers.count("mhRuleEntropy"));
  EXPECT_TRUE(identifiers.count("mhRuleSignedFile"));

  // Every short name is one --rule accepts.
  const std::string text = (Files / "notes.txt").string();
  WriteFile(text, "text\n");
  args.push_back(text);
  run = Run(args);
  EXPECT_EQ(run.Status, 0) << run.Err;
}

// Runs the program with stderr on a new terminal and TERM as given (unset
// when nullopt); answers what the terminal received.
std::string StderrOnTerminal(const std::vector<std::string>& args, const std::optional<std::string>& term) {
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return {};
  }
  std::vector<std::string> argStrings{QUILLMARK_CLI_PATH};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "TERM=", 5) != 0) envStrings.emplace_back(*e);
  if (term) envStrings.push_back("TERM=" + *term);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(null, STDOUT_FILENO) < 0 ||
        ::dup2(slave, STDERR_FILENO) < 0)
      ::_exit(126);
    ::close(master);
    ::execve(QUILLMARK_CLI_PATH, argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(slave);
  std::string received;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    else if (n < 0 && errno == EINTR) continue;
    else break;  // EIO once the program closed its side
  }
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << received;
  return received;
}

TEST_F(CliTest, ProgressEscapesGoOnlyToACapableTerminal) {
  for (int i = 0; i < 30; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%d.txt", i);
    WriteFile(Files / name, "text\n");
  }
  struct TCase {
    std::optional<std::string> Term;
    std::vector<std::string> Extra;
    bool Escapes;
  };
  const std::vector<TCase> cases = {
      {"xterm", {}, true},
      {"dumb", {}, false},
      {std::nullopt, {}, false},
      {"", {}, false},
      {"xterm", {"--no-progress"}, false},
      {"xterm", {"--quiet"}, false},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"scan", "-j1"};
    args.insert(args.end(), c.Extra.begin(), c.Extra.end());
    args.push_back(Files.string());
    const std::string seen = StderrOnTerminal(args, c.Term);
    EXPECT_EQ(seen.find('\033') != std::string::npos, c.Escapes)
        << "TERM=" << c.Term.value_or("(unset)") << " " << Joined(c.Extra) << "\n" << ::testing::PrintToString(seen);
  }
}

}  // namespace
