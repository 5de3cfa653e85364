#include "support/engine_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>

#include "engine/malware_heuristic.h"
#include "rules/rule_custom.h"
#include "support/debug_log.h"
#include "support/temp_dir.h"

namespace quillmark::test {

namespace {
// ctest runs test processes side by side; each keeps its own debug log so
// that counting entries sees only its own.
const bool kOwnLogFolder = [] {
  const char* base = std::getenv("QUILLMARK_LOG_DIR");
  std::string folder = std::string(base && *base ? base : "/tmp/quillmark-test-logs") + "/" + std::to_string(getpid());
  setenv("QUILLMARK_LOG_DIR", folder.c_str(), 1);
  return true;
}();
}  // namespace

std::string MinimalPEBytes() {
  std::string b(64 + 248 + 64, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  b[2] = static_cast<char>(b.size() % 512);  // e_cblp
  b[4] = 1;                                  // e_cp
  b[24] = 0x40;                              // e_lfarlc
  b[60] = 64;                                // e_lfanew
  b[64] = 'P';
  b[65] = 'E';
  b[88] = 0x0B;                              // optional header magic: PE32
  b[89] = 0x01;
  return b;
}

std::string PutPE(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  const std::string pe = MinimalPEBytes();
  WriteBytes(path, std::span(reinterpret_cast<const std::uint8_t*>(pe.data()), pe.size()));
  return path;
}

ComPtr<TMalwareHeuristic> EngineWith(std::vector<TMalwareRuleType> only,
                                     std::shared_ptr<runtime::ITargetSystem> target) {
  ComPtr<TMalwareHeuristic> e(target ? new TMalwareHeuristic(std::move(target)) : new TMalwareHeuristic());
  for (TMalwareRuleType t : e->GetRegisteredRules())
    e->GetRule(t)->SetSelected(std::find(only.begin(), only.end(), t) != only.end());
  return e;
}

TMalwareRuleResult& ObjectOf(const ComPtr<IMalwareRuleResult>& result) {
  return *static_cast<TMalwareRuleResult*>(result.As<ILinkObjectInterface>()->GetObject());
}

TEngineFiles::TEngineFiles() {
  static std::atomic<int> counter{0};
  FFolder = std::filesystem::temp_directory_path() /
            ("qm-engine-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(FFolder);
  std::ofstream(PEFile(), std::ios::binary) << MinimalPEBytes();
  std::ofstream(TextFile(), std::ios::binary) << "just some text, not an executable image\n";
}

TEngineFiles::~TEngineFiles() {
  std::error_code ec;
  std::filesystem::remove_all(FFolder, ec);
}

int CountLogEntries(const std::string& AText, const std::string& AOwner) {
  std::ifstream in(DebugLog().FileName());
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(AText) != std::string::npos && (AOwner.empty() || line.find(AOwner) != std::string::npos)) ++n;
  return n;
}

}  // namespace quillmark::test
