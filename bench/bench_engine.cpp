// Cost of the engine around the rules: validating a target and running the
// selected rules on a small PE file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/malware_heuristic.h"
#include "runtime/target_system.h"
#include "support/file_utils.h"

using namespace quillmark;

namespace {

std::string SmallPEFile() {
  static const std::string path = [] {
    std::string b(64 + 248 + 512, '\0');
    b[0] = 'M', b[1] = 'Z', b[2] = static_cast<char>(b.size() % 512), b[4] = 2, b[24] = 0x40, b[60] = 64;
    b[64] = 'P', b[65] = 'E';
    std::string p = (std::filesystem::temp_directory_path() / ("qm-bench-" + std::to_string(getpid()) + ".exe")).string();
    std::ofstream(p, std::ios::binary) << b;
    return p;
  }();
  return path;
}

void BM_IsPEFile(benchmark::State& state) {
  auto host = runtime::LiveHost();
  const std::string file = SmallPEFile();
  for (auto _ : state) benchmark::DoNotOptimize(FileUtils::IsPEFile(*host, file));
}
BENCHMARK(BM_IsPEFile);

void BM_AnalyzeSmallPE(benchmark::State& state) {
  ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic());
  const std::string file = SmallPEFile();
  for (auto _ : state) benchmark::DoNotOptimize(engine->AnalyzeFile(file));
}
BENCHMARK(BM_AnalyzeSmallPE);

}  // namespace
