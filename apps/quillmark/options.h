// Command line of the quillmark program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillmark/malware_heuristic.h"

namespace quillmark::cli {

enum class TCommand { cmdScan, cmdHelp, cmdVersion, cmdListRules };

struct TRuleChoice {
  TMalwareRuleType Type;
  std::optional<std::int32_t> Priority;
};

constexpr std::uint64_t kDefaultMaxFileSize = std::uint64_t{4} << 30;  // 4 GiB

struct TOptions {
  TCommand Command = TCommand::cmdScan;
  bool Json = false;
  bool Progress = true;
  // --quiet: only files at or above the threshold get a line or record.
  bool Quiet = false;
  // The closing line on stderr (--no-summary, and --quiet, turn it off).
  bool Summary = true;
  std::optional<std::string> DataFolder;
  // --ca-file: certificate files whose certificates are further trust
  // anchors of signature checks.
  std::vector<std::string> CAFiles;
  unsigned Jobs = 0;  // 0: one per core
  long double Threshold = 50.0L;
  // --max-filesize: the engine reads no more of a file than this.
  std::uint64_t MaxFileSize = kDefaultMaxFileSize;
  // --rule: when any is given, only these rules run.
  std::vector<TRuleChoice> Rules;
  // --no-rule: rules that do not run.
  std::vector<TMalwareRuleType> ExcludedRules;
  // -o: where the lines or records go instead of stdout.
  std::optional<std::string> OutputFile;
  // --files-from: a list of paths, "-" for stdin; NUL-separated with -0.
  std::optional<std::string> FilesFrom;
  bool NullSeparated = false;
  // --exclude, --exclude-dir: fnmatch patterns on the base names of files
  // and folders met in a walk.
  std::vector<std::string> Excludes;
  std::vector<std::string> ExcludeDirs;
  bool OneFileSystem = false;
  bool FollowSymlinks = false;
  std::vector<std::string> Paths;
};

struct TParseResult {
  bool Ok = false;
  std::string Error;  // why the command line is not usable
  TOptions Options;
};

TParseResult ParseCommandLine(const std::vector<std::string>& args);

// A rule named by its identifier ("mhRuleEntropy"), without the "mhRule"
// prefix ("entropy"), in any case, with '-' or '_' between words allowed.
std::optional<TMalwareRuleType> ParseRuleName(const std::string& name);

// The short name of a rule: its identifier without "mhRule", words joined
// by '-' in lower case ("mhRuleDoubleExtension": "double-extension").
std::string RuleShortName(TMalwareRuleType type);

// A size in bytes with an optional suffix K, M or G (powers of 1024, either
// case); nothing for zero, a malformed size or one that overflows.
std::optional<std::uint64_t> ParseSize(const std::string& text);

// The --help text; its option list is made from the parser's own table.
std::string UsageText();

}  // namespace quillmark::cli
