// Whole analysis of a small PE file with the file rules that need no
// knowledge base selected: dangerous name, suspicious path, double and fake
// extension, entropy.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "engine/malware_heuristic.h"

using namespace quillmark;

namespace {

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }

// A PE32 image of 1.5 KiB: headers, a code section and a data section.
std::vector<std::uint8_t> SmallPE32() {
  std::vector<std::uint8_t> b(0x600, 0);
  b[0] = 'M', b[1] = 'Z';
  Put16(b, 2, 0x80);  // e_cblp
  Put16(b, 4, 1);     // e_cp
  Put16(b, 24, 0x40); // e_lfarlc
  Put32(b, 60, 0x80); // e_lfanew
  const std::size_t nt = 0x80, opt = nt + 24, sections = opt + 224;
  b[nt] = 'P', b[nt + 1] = 'E';
  Put16(b, nt + 4, 0x14C);  // i386
  Put16(b, nt + 6, 2);      // sections
  Put16(b, nt + 20, 224);   // optional header size
  Put16(b, nt + 22, 0x0102);
  Put16(b, opt, 0x10B);
  Put32(b, opt + 28, 0x400000);  // image base
  Put32(b, opt + 32, 0x1000);    // section alignment
  Put32(b, opt + 36, 0x200);     // file alignment
  Put32(b, opt + 56, 0x3000);    // size of image
  Put32(b, opt + 60, 0x200);     // size of headers
  Put16(b, opt + 68, 2);         // GUI
  Put32(b, opt + 92, 16);
  const char* names[2] = {".text", ".data"};
  for (std::uint32_t i = 0; i < 2; ++i) {
    std::size_t s = sections + 40 * i;
    std::memcpy(&b[s], names[i], std::strlen(names[i]));
    Put32(b, s + 8, 0x200);
    Put32(b, s + 12, 0x1000 * (i + 1));
    Put32(b, s + 16, 0x200);
    Put32(b, s + 20, 0x200 * (i + 1));
    Put32(b, s + 36, i == 0 ? 0x60000020u : 0xC0000040u);
  }
  std::uint32_t x = 12345;
  for (std::size_t i = 0x200; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  return b;
}

class TSampleFile {
 public:
  TSampleFile() {
    FFolder = std::filesystem::temp_directory_path() / ("qm-bench-rules-" + std::to_string(getpid()));
    std::filesystem::create_directories(FFolder);
    FPath = (FFolder / "invoice.pdf.exe").string();
    auto bytes = SmallPE32();
    std::ofstream(FPath, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
  }
  ~TSampleFile() {
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
  }
  const std::string& Path() const { return FPath; }

 private:
  std::filesystem::path FFolder;
  std::string FPath;
};

void BM_AnalyzeSmallPEWithFileRules(benchmark::State& state) {
  TSampleFile file;
  ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic());
  const TMalwareRuleType selected[] = {TMalwareRuleType::mhRuleDangerousFileName, TMalwareRuleType::mhRuleSuspiciousPath,
                                       TMalwareRuleType::mhRuleDoubleExtension, TMalwareRuleType::mhRuleFakeExtension,
                                       TMalwareRuleType::mhRuleEntropy};
  int count = 0;
  for (TMalwareRuleType t : engine->GetRegisteredRules()) {
    bool on = std::find(std::begin(selected), std::end(selected), t) != std::end(selected);
    engine->GetRule(t)->SetSelected(on);
    count += on;
  }
  state.counters["rules"] = count;
  if (!engine->AnalyzeFile(file.Path())) state.SkipWithError("analysis failed");
  for (auto _ : state) benchmark::DoNotOptimize(engine->AnalyzeFile(file.Path()));
}
BENCHMARK(BM_AnalyzeSmallPEWithFileRules)->Unit(benchmark::kMicrosecond);

}  // namespace
