#include "options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace quillmark::cli {

namespace {

bool ParseUnsigned(const std::string& s, unsigned& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool ParseInt32(const std::string& s, std::int32_t& out) {
  if (s.empty()) return false;
  const char* first = s.data();
  if (*first == '+') ++first;
  auto [end, ec] = std::from_chars(first, s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool ParsePercent(const std::string& s, long double& out) {
  if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
  char* end = nullptr;
  out = std::strtold(s.c_str(), &end);
  return end == s.c_str() + s.size() && std::isfinite(out) && out >= 0 && out <= 100;
}

// Options that take a value, as "--name VALUE" or "--name=VALUE".
bool TakesValue(const std::string& name) {
  return name == "--data" || name == "--ca-file" || name == "--jobs" || name == "-j" || name == "--threshold" ||
         name == "--rule" || name == "--no-rule" || name == "--max-filesize";
}

}  // namespace

std::optional<std::uint64_t> ParseSize(const std::string& text) {
  std::string digits = text;
  unsigned shift = 0;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'k': case 'K': shift = 10; break;
      case 'm': case 'M': shift = 20; break;
      case 'g': case 'G': shift = 30; break;
      default: break;
    }
    if (shift) digits.pop_back();
  }
  std::uint64_t n = 0;
  if (digits.empty()) return std::nullopt;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size() || n == 0) return std::nullopt;
  if (n > (UINT64_MAX >> shift)) return std::nullopt;
  return n << shift;
}

std::optional<TMalwareRuleType> ParseRuleName(const std::string& name) {
  std::string compact;
  for (char c : name)
    if (c != '-' && c != '_') compact += c;
  if (compact.empty()) return std::nullopt;
  TMalwareRuleType t;
  if (RuleTypeFromIdentifier(compact, t) || RuleTypeFromIdentifier("mhRule" + compact, t)) return t;
  return std::nullopt;
}

TParseResult ParseCommandLine(const std::vector<std::string>& args) {
  TParseResult r;
  TOptions& o = r.Options;
  auto fail = [&r](std::string msg) {
    r.Ok = false;
    r.Error = std::move(msg);
    return r;
  };

  std::size_t i = 0;
  if (args.empty()) return fail("no command given");
  const std::string& first = args[0];
  if (first == "--help" || first == "-h" || first == "help") {
    o.Command = TCommand::cmdHelp;
    r.Ok = true;
    return r;
  }
  if (first == "--version" || first == "-V" || first == "version") {
    o.Command = TCommand::cmdVersion;
    r.Ok = true;
    return r;
  }
  if (first != "scan") {
    if (!first.empty() && first[0] == '-') return fail("unknown option '" + first + "'");
    return fail("unknown command '" + first + "'");
  }
  ++i;

  bool optionsEnded = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      o.Paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg, value;
    bool hasValue = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    if (TakesValue(name)) {
      if (!hasValue) {
        if (i + 1 >= args.size()) return fail("option '" + name + "' needs a value");
        value = args[++i];
      }
    } else if (hasValue) {
      return fail("option '" + name + "' takes no value");
    }

    if (name == "--help" || name == "-h") {
      o.Command = TCommand::cmdHelp;
      r.Ok = true;
      return r;
    } else if (name == "--json") {
      o.Json = true;
    } else if (name == "--no-progress") {
      o.Progress = false;
    } else if (name == "--data") {
      if (value.empty()) return fail("option '--data' needs a folder");
      o.DataFolder = value;
    } else if (name == "--ca-file") {
      if (value.empty()) return fail("option '--ca-file' needs a certificate file");
      o.CAFiles.push_back(value);
    } else if (name == "--jobs" || name == "-j") {
      unsigned n = 0;
      if (!ParseUnsigned(value, n) || n == 0 || n > 1024)
        return fail("option '--jobs' needs a number from 1 to 1024, not '" + value + "'");
      o.Jobs = n;
    } else if (name == "--threshold") {
      if (!ParsePercent(value, o.Threshold))
        return fail("option '--threshold' needs a percentage from 0 to 100, not '" + value + "'");
    } else if (name == "--max-filesize") {
      auto size = ParseSize(value);
      if (!size) return fail("option '--max-filesize' needs a size such as 512K, 100M or 4G, not '" + value + "'");
      o.MaxFileSize = *size;
    } else if (name == "--rule") {
      std::string ruleName = value;
      std::optional<std::int32_t> priority;
      if (auto eq = value.find('='); eq != std::string::npos) {
        ruleName = value.substr(0, eq);
        std::int32_t p = 0;
        if (!ParseInt32(value.substr(eq + 1), p))
          return fail("bad priority in '--rule " + value + "': expected an integer");
        priority = p;
      }
      auto type = ParseRuleName(ruleName);
      if (!type) return fail("unknown rule '" + ruleName + "'");
      o.Rules.push_back({*type, priority});
    } else if (name == "--no-rule") {
      auto type = ParseRuleName(value);
      if (!type) return fail("unknown rule '" + value + "'");
      o.ExcludedRules.push_back(*type);
    } else {
      return fail("unknown option '" + name + "'");
    }
  }

  for (const TRuleChoice& c : o.Rules)
    if (std::find(o.ExcludedRules.begin(), o.ExcludedRules.end(), c.Type) != o.ExcludedRules.end())
      return fail(std::string("rule '") + RuleTypeIdentifier(c.Type) + "' is both chosen and excluded");
  if (o.Paths.empty()) return fail("nothing to scan: give one or more files or folders");
  r.Ok = true;
  return r;
}

const char* UsageText() {
  return R"(Usage: quillmark scan [OPTIONS] PATH...
       quillmark --help | --version

Scores how much each Windows executable under PATH looks like malware
(0-100 %) and shows the evidence. Folders are scanned recursively.

Options:
  --json                 one JSON object per file and line (JSON Lines)
  --data DIR             folder of the knowledge files (default: Data/ next
                         to this program)
  --ca-file FILE         trust the certificates in FILE (PEM or DER) as roots
                         of code signatures, beside the system's CA bundle
                         and DIR/trust/; may be given more than once
  -j, --jobs N           scan with N engines in parallel (default: one per core)
  --threshold T          exit with status 1 when a file scores T % or more
                         (default 50)
  --rule NAME[=PRIO]     run this rule, optionally with priority PRIO (higher
                         runs first); when given, only the named rules run
  --no-rule NAME         do not run this rule
  --max-filesize SIZE    read no more than SIZE bytes of a file (suffixes K, M,
                         G; default 4G); a larger file is still analysed, from
                         its first SIZE bytes, with a note
  --no-progress          no progress bar on the terminal
  -h, --help             this text
  -V, --version          the version

Rule names are identifiers such as mhRuleEntropy, in any case, with or
without the "mhRule" prefix (entropy, double-extension, signed_file).

Files that cannot be read get a message on stderr (and, with --json, a
record with "error"); the scan goes on. Pipes, sockets and devices are never
opened: they are listed as not analysed (not a regular file).

Exit status:
  0  everything was read and nothing scored at or above the threshold
  1  everything was read and something scored at or above the threshold
  2  something could not be read, analysed or written (a path, a folder, a
     file, the output, a knowledge or certificate file), or a usage error
)";
}

}  // namespace quillmark::cli
