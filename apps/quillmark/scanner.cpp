#include "scanner.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

#include "quillmark/host_services.h"
#include "output.h"
#include "quillmark/exports.h"
#include "quillmark/host_api.h"

namespace quillmark::cli {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

// The rules of the engine that this build has, in registration order.
std::vector<ComPtr<IMalwareRule>> AvailableRules(IMalwareHeuristic& engine) {
  std::vector<ComPtr<IMalwareRule>> rules;
  for (TMalwareRuleType type : engine.GetRegisteredRules()) {
    ComPtr<IMalwareRule> rule;
    try {
      rule = engine.GetRule(type);
    } catch (const std::exception&) {
      continue;  // not available in this build
    }
    if (rule) rules.push_back(std::move(rule));
  }
  return rules;
}

}  // namespace

ComPtr<IMalwareHeuristic> CreateEngine(const TOptions& options) {
  void* obj = nullptr;
  if (DllGetInstance(IMalwareHeuristic::IID, &obj) != S_OK || !obj) return {};
  auto engine = ComPtr<IMalwareHeuristic>::Attach(static_cast<IMalwareHeuristic*>(obj));

  if (auto settings = engine->GetSettings().As<IMalwareHeuristicSettingsEx>()) {
    settings->SetMaxFileSize(options.MaxFileSize);
    // Absolute, so that what the engine reads does not depend on where it runs.
    auto absolute = [](const std::string& path) {
      std::error_code ec;
      std::string full = std::filesystem::absolute(path, ec).string();
      return ec ? path : full;
    };
    if (options.DataFolder) settings->SetDataFolder(absolute(*options.DataFolder));
    for (const std::string& file : options.CAFiles) settings->AddCAFile(absolute(file));
  }

  for (const ComPtr<IMalwareRule>& rule : AvailableRules(*engine)) {
    const TMalwareRuleType type = rule->GetRuleType();
    auto chosen = std::find_if(options.Rules.begin(), options.Rules.end(),
                               [type](const TRuleChoice& c) { return c.Type == type; });
    if (!options.Rules.empty()) rule->SetSelected(chosen != options.Rules.end());
    if (chosen != options.Rules.end() && chosen->Priority) rule->SetPriority(*chosen->Priority);
    if (std::find(options.ExcludedRules.begin(), options.ExcludedRules.end(), type) != options.ExcludedRules.end())
      rule->SetSelected(false);
  }
  return engine;
}

TFileReport ScanItem(IMalwareHeuristic& engine, const TWalkItem& item) {
  TFileReport report;
  report.File = item.Path;
  switch (item.Kind) {
    case TWalkItem::TKind::wkError:
      report.Readable = false;
      report.Error = item.Reason;
      return report;
    case TWalkItem::TKind::wkSpecial:
      report.Error = "not a regular file";
      return report;
    case TWalkItem::TKind::wkFile:
      break;
  }

  // The engine opens the file, once, and its report says how that went:
  // the program itself never opens a target. Rules judge the file by where
  // it lives, so they get the full path.
  engine.AnalyzeFile(item.FullPath);
  if (auto reporter = ComPtr<IMalwareHeuristic>(&engine).As<IMalwareHeuristicReport>())
    return reporter->GetLastReport(item.Path);
  report.AnalysisFailed = true;
  report.Error = "analysis failed: the engine gives no report";
  return report;
}

int ListRules() {
  ComPtr<IMalwareHeuristic> engine = CreateEngine(TOptions{});
  if (!engine) {
    Message({"the heuristic engine could not be created"});
    return 2;
  }
  std::string text;
  for (const ComPtr<IMalwareRule>& rule : AvailableRules(*engine)) {
    const TMalwareRuleType type = rule->GetRuleType();
    char line[128];
    std::snprintf(line, sizeof line, "%-28s %-24s %d\n", RuleTypeIdentifier(type), RuleShortName(type).c_str(),
                  static_cast<int>(rule->GetPriority()));
    text += line;
  }
  if (const int err = WriteOutput(text)) {
    ReportOutputError(err);
    return 2;
  }
  return 0;
}

namespace {

constexpr std::size_t kProgressMinFiles = 20;

// The paths of a --files-from list ("-": standard input), one per line or,
// with nul, NUL-separated; empty entries are skipped. False, said on stderr,
// when the list cannot be read.
bool ReadPathList(const std::string& source, bool nul, std::vector<std::string>& paths) {
  const bool fromStdin = source == "-";
  std::string error;
  const std::optional<std::string> read =
      fromStdin ? runtime::ReadStandardInput(error) : runtime::ReadHostFile(source, error);
  if (!read) {
    if (fromStdin)
      Message({"cannot read the list of paths from standard input: ", error});
    else
      Message({"cannot read '", PrintableName(source), "': ", error});
    return false;
  }
  const std::string& text = *read;
  const char separator = nul ? '\0' : '\n';
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) paths.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Problems of the whole scan that leave knowledge unused: knowledge files
// that cannot be used, certificate files that add no trust anchor. Every
// engine checks its files (which also sets a bad one aside for its
// analyses); each problem is said once, at the start, and carried in every
// JSON record.
std::vector<std::string> KnowledgeWarnings(const std::vector<ComPtr<IMalwareHeuristic>>& engines) {
  std::vector<std::string> warnings;
  for (const ComPtr<IMalwareHeuristic>& engine : engines) {
    auto reporter = engine.As<IMalwareHeuristicReport>();
    if (!reporter) continue;
    for (std::string& text : reporter->CheckKnowledgeWarnings())
      if (std::find(warnings.begin(), warnings.end(), text) == warnings.end()) warnings.push_back(std::move(text));
  }
  return warnings;
}

}  // namespace

int RunScan(const TOptions& options) {
  if (options.DataFolder) {
    std::string error;
    const auto info = runtime::HostPathInfo(*options.DataFolder, &error);
    if (!info) {
      Message({"cannot read '", PrintableName(*options.DataFolder), "': ", error});
      return 2;
    }
    if (info->Kind != runtime::THostPathKind::hpFolder) {
      Message({"'", PrintableName(*options.DataFolder), "' given to --data is not a folder"});
      return 2;
    }
  }
  for (const std::string& file : options.CAFiles) {
    std::string error;
    const auto info = runtime::HostPathInfo(file, &error);
    if (!info) {
      Message({"cannot read '", PrintableName(file), "': ", error});
      return 2;
    }
    if (info->Kind != runtime::THostPathKind::hpFile || !runtime::HostCanRead(file)) {
      Message({"'", PrintableName(file), "' given to --ca-file is not a readable file"});
      return 2;
    }
  }

  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> paths = options.Paths;
  if (options.FilesFrom && !ReadPathList(*options.FilesFrom, options.NullSeparated, paths)) return 2;

  TWalkOptions walk;
  walk.Excludes = options.Excludes;
  walk.ExcludeDirs = options.ExcludeDirs;
  walk.OneFileSystem = options.OneFileSystem;
  walk.FollowSymlinks = options.FollowSymlinks;
  if (options.OutputFile) {
    if (!UseOutputFile(*options.OutputFile)) return 2;
    // The output file itself is not scanned: it is being written.
    const auto info = runtime::HostPathInfo(*options.OutputFile);
    if (info && info->Kind == runtime::THostPathKind::hpFile) walk.SkipFiles.emplace_back(info->Device, info->Inode);
  }
  const std::vector<TWalkItem> items = WalkPaths(paths, walk);

  // One engine a worker, all made before the scan: knowledge problems are
  // then known, and said, before the first line.
  unsigned jobs = options.Jobs ? options.Jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(items.size(), 1)));
  std::vector<ComPtr<IMalwareHeuristic>> engines;
  for (unsigned j = 0; j < jobs; ++j) {
    ComPtr<IMalwareHeuristic> engine = CreateEngine(options);
    if (!engine) break;
    engines.push_back(std::move(engine));
  }
  if (engines.empty()) {
    Message({"the heuristic engine could not be created"});
    return 2;
  }
  const std::vector<std::string> warnings = KnowledgeWarnings(engines);
  for (const std::string& w : warnings) Message({"warning: ", w});

  const bool progress = options.Progress && items.size() > kProgressMinFiles && StderrIsCapableTerminal();
  TOutput out(options.Json, options.Quiet, options.Threshold, progress, items.size(), warnings);

  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> seen{0}, analysed{0}, failed{0}, flagged{0};
  std::atomic<bool> stop{false};
  auto worker = [&](IMalwareHeuristic& engine) {
    while (!stop) {
      const std::size_t i = next++;
      if (i >= items.size()) break;
      TFileReport r = ScanItem(engine, items[i]);
      ++seen;
      if (r.Analyzed) ++analysed;
      if (!r.Readable || r.AnalysisFailed || r.KnowledgeFailed) ++failed;
      if (r.Analyzed && r.Percent >= options.Threshold) ++flagged;
      if (!out.Report(r)) stop = true;  // the output is gone: nothing more to say
    }
  };
  std::vector<std::thread> pool;
  for (std::size_t j = 1; j < engines.size(); ++j) pool.emplace_back(worker, std::ref(*engines[j]));
  worker(*engines[0]);
  for (std::thread& t : pool) t.join();
  out.Finish();

  if (items.empty()) Message({"no files found"});
  if (options.Summary) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[160];
    std::snprintf(line, sizeof line, "summary: %zu files seen, %zu analysed, %zu flagged, %zu errors, %.2f seconds",
                  seen.load(), analysed.load(), flagged.load(), failed.load(), seconds);
    Message({line});
  }
  if (failed > 0 || !warnings.empty() || OutputFailed()) return 2;
  return flagged > 0 ? 1 : 0;
}

}  // namespace quillmark::cli
