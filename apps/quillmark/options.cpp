#include "options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>

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

// What the parser collects, as given; checked and converted afterwards, so
// that every bad value gets a message of our own.
struct TRaw {
  bool Help = false, Version = false, ListRules = false;
  bool Json = false, NoProgress = false, Quiet = false, NoSummary = false;
  bool Null = false, OneFileSystem = false, FollowSymlinks = false;
  std::string Data, Jobs, Threshold, MaxFileSize, Output, FilesFrom;
  std::vector<std::string> CAFiles, Rules, NoRules, Excludes, ExcludeDirs, Paths;
};

void AddFlag(CLI::App& app, const std::string& names, bool& target, const std::string& description) {
  app.add_flag(names, target, description)->disable_flag_override();
}

CLI::Option* AddValue(CLI::App& app, const std::string& names, std::string& target, const std::string& typeName,
                      const std::string& description) {
  return app.add_option(names, target, description)->type_name(typeName)->allow_extra_args(false);
}

CLI::Option* AddList(CLI::App& app, const std::string& names, std::vector<std::string>& target,
                     const std::string& typeName, const std::string& description) {
  return app.add_option(names, target, description)
      ->type_name(typeName)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// The parser of "quillmark scan ...". The order here is the order of the
// options in --help.
std::unique_ptr<CLI::App> ScanParser(TRaw& raw) {
  auto app = std::make_unique<CLI::App>("", "quillmark scan");
  app->set_help_flag();
  app->allow_extras(true);  // unknown options are said by us, see ParseCommandLine
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  AddFlag(*app, "--json", raw.Json, "one JSON object per file and line (JSON Lines)");
  AddValue(*app, "-o,--output", raw.Output, "FILE",
           "write the lines or records to FILE instead of standard output");
  AddFlag(*app, "-q,--quiet", raw.Quiet,
          "print only the files that score at or above the threshold; messages still go to standard error; "
          "implies --no-summary and --no-progress");
  AddValue(*app, "--data", raw.Data, "DIR",
           "folder of the knowledge files (default: Data/ beside the program, else ../share/quillmark/Data "
           "from the program's folder, else the share/quillmark/Data folder of the installation)");
  AddList(*app, "--ca-file", raw.CAFiles, "FILE",
          "trust the certificates in FILE (PEM or DER) as roots of code signatures, beside the system's CA "
          "bundle and DIR/trust/; may be given more than once");
  AddValue(*app, "-j,--jobs", raw.Jobs, "N", "scan with N engines in parallel (default: one per core)");
  AddValue(*app, "--threshold", raw.Threshold, "T",
           "a file that scores T % or more is flagged, and the exit status is 1 (default 50)");
  AddList(*app, "--rule", raw.Rules, "NAME[=PRIO]",
          "run this rule, optionally with priority PRIO (higher runs first); when given, only the named rules run");
  AddList(*app, "--no-rule", raw.NoRules, "NAME", "do not run this rule");
  AddFlag(*app, "--list-rules", raw.ListRules,
          "list the rules (identifier, short name, default priority) and exit");
  AddValue(*app, "--max-filesize", raw.MaxFileSize, "SIZE",
           "read no more than SIZE bytes of a file (suffixes K, M, G; default 4G); a larger file is still "
           "analysed, from its first SIZE bytes, with a note");
  AddValue(*app, "--files-from", raw.FilesFrom, "FILE",
           "scan the paths listed in FILE, one per line, besides any PATH; - reads the list from standard input");
  AddFlag(*app, "-0,--null", raw.Null, "the --files-from list is separated by NUL characters, not line ends");
  AddList(*app, "--exclude", raw.Excludes, "GLOB",
          "skip files whose base name matches GLOB while walking folders; may be given more than once");
  AddList(*app, "--exclude-dir", raw.ExcludeDirs, "GLOB",
          "do not enter folders whose base name matches GLOB while walking; may be given more than once");
  AddFlag(*app, "--one-file-system", raw.OneFileSystem,
          "do not enter folders on another file system than the PATH they were found under");
  AddFlag(*app, "--follow-symlinks", raw.FollowSymlinks,
          "follow links to folders on other file systems too (by default a link to a folder is followed only "
          "within the file system it lies on; links to files are always followed)");
  AddFlag(*app, "--no-summary", raw.NoSummary,
          "no closing line on standard error (files seen, analysed, flagged, errors, seconds)");
  AddFlag(*app, "--no-progress", raw.NoProgress, "no progress bar on the terminal");
  AddFlag(*app, "-h,--help", raw.Help, "this text");
  app->add_option("paths", raw.Paths, "files and folders to scan")->type_name("PATH");
  return app;
}

// The parser of what comes without a command: --help, --version, --list-rules.
std::unique_ptr<CLI::App> TopParser(TRaw& raw) {
  auto app = std::make_unique<CLI::App>("", "quillmark");
  app->set_help_flag();
  app->allow_extras(true);
  AddFlag(*app, "-h,--help", raw.Help, "this text");
  AddFlag(*app, "-V,--version", raw.Version, "the version");
  AddFlag(*app, "--list-rules", raw.ListRules, "list the rules (identifier, short name, default priority) and exit");
  return app;
}

std::string OptionLabel(const CLI::Option& option) {
  std::string label;
  for (const std::string& s : option.get_snames()) label += (label.empty() ? "-" : ", -") + s;
  for (const std::string& l : option.get_lnames()) label += (label.empty() ? "--" : ", --") + l;
  if (option.get_type_size() != 0 && !option.get_type_name().empty()) label += " " + option.get_type_name();
  return label;
}

// Words of text in lines no wider than width, each after indent.
std::string Wrap(const std::string& text, std::size_t indent, std::size_t width) {
  std::string out, line;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  return out + line + "\n";
}

std::string OptionList(const std::vector<const CLI::Option*>& options) {
  constexpr std::size_t kColumn = 25, kWidth = 79;
  std::string text;
  for (const CLI::Option* option : options) {
    if (option->get_snames().empty() && option->get_lnames().empty()) continue;  // PATH
    std::string label = "  " + OptionLabel(*option);
    label += label.size() + 1 < kColumn ? std::string(kColumn - label.size(), ' ') : "\n" + std::string(kColumn, ' ');
    text += label + Wrap(option->get_description(), kColumn, kWidth);
  }
  return text;
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

std::string RuleShortName(TMalwareRuleType type) {
  std::string id = RuleTypeIdentifier(type);
  if (id.rfind("mhRule", 0) == 0) id.erase(0, 6);
  std::string name;
  for (char c : id) {
    if (std::isupper(static_cast<unsigned char>(c)) && !name.empty()) name += '-';
    name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

TParseResult ParseCommandLine(const std::vector<std::string>& args) {
  TParseResult r;
  TOptions& o = r.Options;
  auto fail = [&r](std::string msg) {
    r.Ok = false;
    r.Error = std::move(msg);
    return r;
  };
  auto done = [&r](TCommand command) {
    r.Options.Command = command;
    r.Ok = true;
    return r;
  };

  if (args.empty()) return fail("no command given");
  const bool scan = args[0] == "scan";
  if (args.size() == 1 && args[0] == "help") return done(TCommand::cmdHelp);
  if (args.size() == 1 && args[0] == "version") return done(TCommand::cmdVersion);

  // "--name=" gives an empty value; the parser would take the next argument
  // instead.
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg.rfind("--", 0) == 0 && arg.size() > 3 && arg.find('=') == arg.size() - 1)
      return fail("option '" + arg.substr(0, arg.size() - 1) + "' needs a value");
  }

  TRaw raw;
  std::unique_ptr<CLI::App> app = scan ? ScanParser(raw) : TopParser(raw);
  // CLI11 takes the arguments last to first.
  std::vector<std::string> rest(args.rbegin(), args.rend() - (scan ? 1 : 0));
  try {
    app->parse(rest);
  } catch (const CLI::ArgumentMismatch& e) {
    // An option without its value, or a flag given one.
    const std::string what = e.what();
    for (const CLI::Option* option : app->get_options()) {
      if (option->get_lnames().empty()) continue;
      const std::string name = option->get_lnames()[0];
      if (what.rfind("--" + name + ":", 0) == 0) return fail("option '--" + name + "' needs a value");
      if (what.rfind(name + " was given", 0) == 0) return fail("option '--" + name + "' takes no value");
    }
    return fail(what);
  } catch (const CLI::ParseError& e) {
    return fail(e.what());
  }
  for (const std::string& extra : app->remaining()) {
    if (extra == "--") continue;  // the parser keeps the end of the options here
    if (!extra.empty() && extra[0] == '-') return fail("unknown option '" + extra + "'");
    return fail("unknown command '" + extra + "'");
  }

  if (raw.Help) return done(TCommand::cmdHelp);
  if (raw.Version) return done(TCommand::cmdVersion);
  if (raw.ListRules) return done(TCommand::cmdListRules);
  if (!scan) return fail("no command given");

  auto given = [&app](const char* name) { return app->get_option(name)->count() > 0; };
  o.Json = raw.Json;
  o.Quiet = raw.Quiet;
  o.Progress = !raw.NoProgress && !raw.Quiet;
  o.Summary = !raw.NoSummary && !raw.Quiet;
  o.OneFileSystem = raw.OneFileSystem;
  o.FollowSymlinks = raw.FollowSymlinks;
  o.Excludes = raw.Excludes;
  o.ExcludeDirs = raw.ExcludeDirs;
  o.Paths = raw.Paths;
  if (given("--data")) {
    if (raw.Data.empty()) return fail("option '--data' needs a folder");
    o.DataFolder = raw.Data;
  }
  for (const std::string& file : raw.CAFiles) {
    if (file.empty()) return fail("option '--ca-file' needs a certificate file");
    o.CAFiles.push_back(file);
  }
  if (given("--output")) {
    if (raw.Output.empty()) return fail("option '--output' needs a file name");
    o.OutputFile = raw.Output;
  }
  if (given("--files-from")) {
    if (raw.FilesFrom.empty()) return fail("option '--files-from' needs a file name, or - for standard input");
    o.FilesFrom = raw.FilesFrom;
  }
  if (raw.Null && !o.FilesFrom) return fail("option '--null' needs '--files-from'");
  o.NullSeparated = raw.Null;
  for (const auto* list : {&raw.Excludes, &raw.ExcludeDirs})
    for (const std::string& glob : *list)
      if (glob.empty()) return fail(list == &raw.Excludes ? "option '--exclude' needs a pattern" : "option '--exclude-dir' needs a pattern");
  if (given("--jobs")) {
    unsigned n = 0;
    if (!ParseUnsigned(raw.Jobs, n) || n == 0 || n > 1024)
      return fail("option '--jobs' needs a number from 1 to 1024, not '" + raw.Jobs + "'");
    o.Jobs = n;
  }
  if (given("--threshold") && !ParsePercent(raw.Threshold, o.Threshold))
    return fail("option '--threshold' needs a percentage from 0 to 100, not '" + raw.Threshold + "'");
  if (given("--max-filesize")) {
    auto size = ParseSize(raw.MaxFileSize);
    if (!size) return fail("option '--max-filesize' needs a size such as 512K, 100M or 4G, not '" + raw.MaxFileSize + "'");
    o.MaxFileSize = *size;
  }
  for (const std::string& value : raw.Rules) {
    std::string ruleName = value;
    std::optional<std::int32_t> priority;
    if (auto eq = value.find('='); eq != std::string::npos) {
      ruleName = value.substr(0, eq);
      std::int32_t p = 0;
      if (!ParseInt32(value.substr(eq + 1), p)) return fail("bad priority in '--rule " + value + "': expected an integer");
      priority = p;
    }
    auto type = ParseRuleName(ruleName);
    if (!type) return fail("unknown rule '" + ruleName + "'");
    o.Rules.push_back({*type, priority});
  }
  for (const std::string& value : raw.NoRules) {
    auto type = ParseRuleName(value);
    if (!type) return fail("unknown rule '" + value + "'");
    o.ExcludedRules.push_back(*type);
  }

  for (const TRuleChoice& c : o.Rules)
    if (std::find(o.ExcludedRules.begin(), o.ExcludedRules.end(), c.Type) != o.ExcludedRules.end())
      return fail(std::string("rule '") + RuleTypeIdentifier(c.Type) + "' is both chosen and excluded");
  if (o.Paths.empty() && !o.FilesFrom) return fail("nothing to scan: give one or more files or folders");
  return done(TCommand::cmdScan);
}

std::string UsageText() {
  TRaw raw;
  const std::unique_ptr<CLI::App> scan = ScanParser(raw), top = TopParser(raw);
  // The scan options, then those of the program alone.
  std::vector<const CLI::Option*> options;
  for (const CLI::Option* option : scan->get_options()) options.push_back(option);
  for (const CLI::Option* option : top->get_options())
    if (!scan->get_option_no_throw(option->get_name())) options.push_back(option);

  return "Usage: quillmark scan [OPTIONS] PATH...\n"
         "       quillmark scan [OPTIONS] --files-from FILE|- [PATH...]\n"
         "       quillmark --list-rules | --help | --version\n"
         "\n"
         "Scores how much each Windows executable under PATH looks like malware\n"
         "(0-100 %) and shows the evidence. Folders are scanned recursively.\n"
         "\n"
         "Options:\n" +
         OptionList(options) +
         R"(
Short options can be bundled (-q0j4) and take their value attached (-j4) or
as the next argument; long options take it as --jobs=4 or --jobs 4.

Rule names are identifiers such as mhRuleEntropy, in any case, with or
without the "mhRule" prefix (entropy, double-extension, signed_file).

Walking folders: links to files are followed; a link to a folder is followed
only when the folder lies on the same file system as the link (so never into
/proc, /sys or /dev), or with --follow-symlinks; a folder is never entered
twice. A link that leads nowhere is skipped without a word, unless it was
named as a PATH. --exclude and --exclude-dir apply to what the walk meets,
never to a PATH named on the command line or in the --files-from list.

Files that cannot be read get a message on stderr (and, with --json, a
record with "error"); the scan goes on. Pipes, sockets and devices are never
opened: they are listed as not analysed (not a regular file).

Exit status:
  0  everything was read and nothing scored at or above the threshold
  1  everything was read and something scored at or above the threshold
  2  something could not be read, analysed or written (a path, a folder, a
     file, the output, a knowledge or certificate file), or a usage error

See quillmark(1) for the knowledge files, the debug log and the environment.
)";
}

}  // namespace quillmark::cli
