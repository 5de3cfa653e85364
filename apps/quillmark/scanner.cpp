#include "scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "engine/settings.h"
#include "quillmark/exports.h"
#include "runtime/target_system.h"
#include "support/file_utils.h"
#include "text_encoding.h"

namespace quillmark::cli {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// Names in a folder, sorted; false with errno set when it cannot be listed.
bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return false;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    errno = 0;
  }
  const int err = errno;
  ::closedir(d);
  std::sort(names.begin(), names.end());
  errno = err;
  return err == 0;
}

}  // namespace

std::vector<std::string> CollectFiles(const std::vector<std::string>& paths,
                                      const std::function<void(const TCollectError&)>& onError) {
  std::vector<std::string> files;
  std::set<std::pair<dev_t, ino_t>> visited;

  for (const std::string& top : paths) {
    struct stat st;
    if (::stat(top.c_str(), &st) != 0) {
      onError({top, ErrnoText(errno), true});
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      // Named explicitly: whatever it is, ScanFile says what became of it.
      files.push_back(top);
      continue;
    }
    if (!visited.insert({st.st_dev, st.st_ino}).second) continue;

    // Depth first, in name order: a stack of folders still to list.
    std::vector<std::string> pending{top};
    while (!pending.empty()) {
      std::string folder = std::move(pending.back());
      pending.pop_back();
      std::vector<std::string> names;
      if (!ListFolder(folder, names)) {
        onError({folder, ErrnoText(errno), false});
        if (names.empty()) continue;
      }
      std::vector<std::string> subfolders;
      for (const std::string& name : names) {
        std::string path = JoinPath(folder, name);
        if (::stat(path.c_str(), &st) != 0) {
          onError({path, ErrnoText(errno), true});
          continue;
        }
        if (S_ISREG(st.st_mode)) {
          files.push_back(std::move(path));
        } else if (S_ISDIR(st.st_mode)) {
          if (visited.insert({st.st_dev, st.st_ino}).second) subfolders.push_back(std::move(path));
        }
      }
      // Files of a folder come before its subfolders, which keep name order.
      for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) pending.push_back(std::move(*it));
    }
  }
  return files;
}

ComPtr<IMalwareHeuristic> CreateEngine(const TOptions& options) {
  void* obj = nullptr;
  if (DllGetInstance(IMalwareHeuristic::IID, &obj) != S_OK || !obj) return {};
  auto engine = ComPtr<IMalwareHeuristic>::Attach(static_cast<IMalwareHeuristic*>(obj));

  if (options.DataFolder) {
    std::error_code ec;
    std::string folder = std::filesystem::absolute(*options.DataFolder, ec).string();
    if (ec) folder = *options.DataFolder;
    if (auto* settings = LinkedObject<TMalwareHeuristicSettings>(engine->GetSettings())) settings->SetDataFolder(folder);
  }
  if (!options.CAFiles.empty()) {
    auto* settings = LinkedObject<TMalwareHeuristicSettings>(engine->GetSettings());
    for (const std::string& file : options.CAFiles) {
      std::error_code ec;
      std::string path = std::filesystem::absolute(file, ec).string();
      if (settings) settings->AddCAFile(ec ? file : path);
    }
  }

  for (TMalwareRuleType type : engine->GetRegisteredRules()) {
    ComPtr<IMalwareRule> rule;
    try {
      rule = engine->GetRule(type);
    } catch (const std::exception&) {
      continue;  // not available in this build
    }
    if (!rule) continue;
    auto chosen = std::find_if(options.Rules.begin(), options.Rules.end(),
                               [type](const TRuleChoice& c) { return c.Type == type; });
    if (!options.Rules.empty()) rule->SetSelected(chosen != options.Rules.end());
    if (chosen != options.Rules.end() && chosen->Priority) rule->SetPriority(*chosen->Priority);
    if (std::find(options.ExcludedRules.begin(), options.ExcludedRules.end(), type) != options.ExcludedRules.end())
      rule->SetSelected(false);
  }
  return engine;
}

TFileReport ScanFile(IMalwareHeuristic& engine, const std::string& fileName) {
  TFileReport report;
  report.File = fileName;

  // The engine would take a missing file for an analysis failure and log it;
  // unreadable files are the caller's business, so they are sorted out here.
  struct stat st;
  if (::stat(fileName.c_str(), &st) != 0) {
    report.Readable = false;
    report.Error = ErrnoText(errno);
    return report;
  }
  if (!S_ISREG(st.st_mode)) {
    report.Readable = false;
    report.Error = S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file";
    return report;
  }
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    report.Readable = false;
    report.Error = ErrnoText(errno);
    return report;
  }
  ::close(fd);

  // Rules judge the file by where it lives, so they get the full path.
  std::error_code ec;
  std::string fullName = std::filesystem::absolute(fileName, ec).lexically_normal().string();
  if (ec || fullName.empty()) fullName = fileName;

  report.Analyzed = engine.AnalyzeFile(fullName);
  ComPtr<IMalwareHeuristicResult> result = engine.GetResult();
  if (result) {
    report.Percent = result->GetPercentageMatch();
    report.ThreatId = result->GetMalwareID();
    for (const auto& [type, ruleResult] : result->GetRules()) {
      if (!ruleResult) continue;
      TRuleReport rule;
      rule.Rule = RuleTypeIdentifier(type);
      rule.Percent = ruleResult->GetPercentageMatch();
      if (const auto* object = LinkedObject<const TMalwareRuleResult>(ruleResult)) {
        for (const auto& threat : object->Threats())
          if (threat) rule.Threats.emplace_back(threat->Name(), threat->DangerPercent());
        object->GetDetails(rule.Details);
      }
      report.Rules.push_back(std::move(rule));
    }
  }

  if (report.Analyzed) {
    TMalwareThreatInfo info;
    try {
      if (engine.GetMalwareThreatInfo(report.ThreatId, &info)) {
        report.ThreatName = info.Name;
        report.ThreatSeverity = info.Severity;
      }
    } catch (const std::exception&) {
      // No threat-name database: the identifier is all there is.
    }
  } else if (!FileUtils::IsPEFile(*runtime::LiveHost(), fullName)) {
    report.Error = "not a PE image";
  } else if (report.Rules.empty()) {
    report.Error = "no rule applied";
  } else {
    report.Error = "analysis failed (see the debug log)";
  }
  return report;
}

namespace {

// Serialises everything the workers print: result lines on stdout, messages
// on stderr and the progress bar on stderr. The bar is wiped before a line
// that lands on the same terminal, so that lines stay whole, and redrawn at
// most ten times a second otherwise.
class TOutput {
 public:
  TOutput(bool json, long double threshold, bool progress, std::size_t total)
      : FJson(json),
        FThreshold(threshold),
        FProgress(progress),
        FStdoutIsTerminal(::isatty(STDOUT_FILENO) == 1),
        FTotal(total) {}

  void Report(const TFileReport& r) {
    std::lock_guard<std::mutex> guard(FLock);
    const bool printLine = FJson || r.Readable;
    if (!r.Readable || (printLine && FStdoutIsTerminal)) ClearProgress();
    if (!r.Readable) {
      std::fprintf(stderr, "quillmark: cannot read '%s': %s\n", PrintableText(r.File).c_str(), r.Error.c_str());
      std::fflush(stderr);
    }
    if (printLine) {
      std::string line = FJson ? FormatJson(r) : FormatText(r, FThreshold);
      line += '\n';
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
    }
    ++FDone;
    const auto now = std::chrono::steady_clock::now();
    if (!FDrawn || now - FLastDraw >= std::chrono::milliseconds(100)) {
      DrawProgress();
      FLastDraw = now;
    }
  }

  void Finish() {
    std::lock_guard<std::mutex> guard(FLock);
    ClearProgress();
  }

 private:
  void ClearProgress() {
    if (FDrawn) std::fputs("\r\033[K", stderr);
    FDrawn = false;
  }

  void DrawProgress() {
    if (!FProgress || FDone >= FTotal) return;
    constexpr std::size_t kWidth = 30;
    const std::size_t filled = FDone * kWidth / FTotal;
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '.');
    std::fprintf(stderr, "\r[%s] %zu/%zu files\033[K", bar.c_str(), FDone, FTotal);
    std::fflush(stderr);
    FDrawn = true;
  }

  std::mutex FLock;
  const bool FJson;
  const long double FThreshold;
  const bool FProgress;
  const bool FStdoutIsTerminal;
  const std::size_t FTotal;
  std::size_t FDone = 0;
  bool FDrawn = false;
  std::chrono::steady_clock::time_point FLastDraw;
};

constexpr std::size_t kProgressMinFiles = 20;

}  // namespace

int RunScan(const TOptions& options) {
  if (options.DataFolder) {
    struct stat st;
    if (::stat(options.DataFolder->c_str(), &st) != 0) {
      std::fprintf(stderr, "quillmark: cannot read '%s': %s\n", PrintableText(*options.DataFolder).c_str(),
                   ErrnoText(errno).c_str());
      return 2;
    }
    if (!S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "quillmark: '%s' given to --data is not a folder\n",
                   PrintableText(*options.DataFolder).c_str());
      return 2;
    }
  }

  for (const std::string& file : options.CAFiles) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) {
      std::fprintf(stderr, "quillmark: cannot read '%s': %s\n", PrintableText(file).c_str(), ErrnoText(errno).c_str());
      return 2;
    }
    if (!S_ISREG(st.st_mode) || ::access(file.c_str(), R_OK) != 0) {
      std::fprintf(stderr, "quillmark: '%s' given to --ca-file is not a readable file\n", PrintableText(file).c_str());
      return 2;
    }
  }

  std::size_t unreadable = 0;
  std::vector<TFileReport> missing;
  std::vector<std::string> files = CollectFiles(options.Paths, [&](const TCollectError& e) {
    ++unreadable;
    if (e.AsFile) {
      TFileReport r;
      r.File = e.Path;
      r.Readable = false;
      r.Error = e.Reason;
      missing.push_back(std::move(r));
    } else {
      std::fprintf(stderr, "quillmark: cannot read '%s': %s\n", PrintableText(e.Path).c_str(), e.Reason.c_str());
    }
  });

  const bool progress = options.Progress && files.size() > kProgressMinFiles && ::isatty(STDERR_FILENO);
  TOutput out(options.Json, options.Threshold, progress, files.size() + missing.size());
  for (const TFileReport& r : missing) out.Report(r);

  unsigned jobs = options.Jobs ? options.Jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(files.size(), 1)));

  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> read{0}, failed{0}, flagged{0};
  std::atomic<bool> engineFailed{false};
  auto worker = [&] {
    ComPtr<IMalwareHeuristic> engine = CreateEngine(options);
    if (!engine) {
      engineFailed = true;
      return;
    }
    for (std::size_t i = next++; i < files.size(); i = next++) {
      TFileReport r = ScanFile(*engine, files[i]);
      if (r.Readable) ++read;
      else ++failed;
      if (r.Analyzed && r.Percent >= options.Threshold) ++flagged;
      out.Report(r);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned j = 1; j < jobs; ++j) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  out.Finish();

  if (engineFailed && next.load() < files.size()) {
    std::fprintf(stderr, "quillmark: the heuristic engine could not be created\n");
    return 2;
  }
  unreadable += failed;
  if (files.empty() && unreadable == 0) std::fprintf(stderr, "quillmark: no files found\n");
  if (read == 0 && unreadable > 0) return 2;
  return flagged > 0 ? 1 : 0;
}

}  // namespace quillmark::cli
