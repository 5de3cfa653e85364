// Throughput of the byte-histogram entropy: a 64 MiB buffer of random bytes
// and one of a single repeated byte (the case a single counter table stalls
// on), without a progress callback, and the same data read from a file; and
// the cost of measuring the second section of a small PE file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "runtime/target_system.h"
#include "support/entropy_utils.h"

using namespace quillmark;

namespace {

constexpr std::size_t kBufferSize = 64u << 20;

const std::vector<std::uint8_t>& RandomBytes() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(kBufferSize);
    std::mt19937_64 gen(42);
    for (std::size_t i = 0; i < b.size(); i += 8) {
      std::uint64_t v = gen();
      for (std::size_t k = 0; k < 8; ++k) b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return b;
  }();
  return bytes;
}

const std::vector<std::uint8_t>& RepeatedBytes() {
  static const std::vector<std::uint8_t> bytes(kBufferSize, 0xAB);
  return bytes;
}

void MeasureBuffer(benchmark::State& state, const std::vector<std::uint8_t>& bytes) {
  ComPtr<IEntropy> entropy = TEntropyUtils::GetEntropy();
  for (auto _ : state) {
    benchmark::DoNotOptimize(entropy->Calculate(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    benchmark::DoNotOptimize(entropy->GetEntropyValue());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}

void BM_EntropyBufferRandom64MiB(benchmark::State& state) { MeasureBuffer(state, RandomBytes()); }
BENCHMARK(BM_EntropyBufferRandom64MiB)->Unit(benchmark::kMillisecond);

void BM_EntropyBufferRepeated64MiB(benchmark::State& state) { MeasureBuffer(state, RepeatedBytes()); }
BENCHMARK(BM_EntropyBufferRepeated64MiB)->Unit(benchmark::kMillisecond);

// The whole file through the mapped stream (page size as the argument; 0
// reads with plain block reads).
void BM_EntropyFileRandom64MiB(benchmark::State& state) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("qm-bench-entropy-" + std::to_string(getpid()) + ".bin")).string();
  {
    const auto& bytes = RandomBytes();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }
  ComPtr<IEntropy> entropy = TEntropyUtils::GetEntropy();
  for (auto _ : state) benchmark::DoNotOptimize(entropy->CalculateFile(path, state.range(0)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kBufferSize));
  std::filesystem::remove(path);
}
BENCHMARK(BM_EntropyFileRandom64MiB)->Arg(0)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// A PE32 file with two 4 KiB sections, the second of random bytes: only the
// header fields the measurement reads are filled in.
struct TRemovedAtExit {
  std::string Path;
  ~TRemovedAtExit() { std::filesystem::remove(Path); }
};

std::string SmallPEFile() {
  static const TRemovedAtExit file{[] {
    std::vector<std::uint8_t> b(0x400 + 2 * 0x1000, 0);
    auto u16 = [&b](std::size_t at, std::uint16_t v) { b[at] = v & 0xFF, b[at + 1] = v >> 8; };
    auto u32 = [&](std::size_t at, std::uint32_t v) { u16(at, v & 0xFFFF), u16(at + 2, v >> 16); };
    u16(0, 0x5A4D);
    u32(0x3C, 0x80);
    u32(0x80, 0x00004550);
    const std::size_t optional = 0x80 + 24, table = optional + 224;
    u16(optional, 0x10B);
    u32(optional + 36, 0x200);
    for (std::size_t i = 0; i < 2; ++i) {
      u32(table + 40 * i + 8, 0x1000);
      u32(table + 40 * i + 16, 0x1000);
      u32(table + 40 * i + 20, static_cast<std::uint32_t>(0x400 + 0x1000 * i));
    }
    std::copy(RandomBytes().begin(), RandomBytes().begin() + 0x1000, b.begin() + 0x1400);
    std::string p =
        (std::filesystem::temp_directory_path() / ("qm-bench-entropy-" + std::to_string(getpid()) + ".exe")).string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return p;
  }()};
  return file.Path;
}

void BM_EntropySecondSectionSmallPE(benchmark::State& state) {
  ComPtr<IEntropy> entropy = TEntropyUtils::GetEntropy();
  const std::string file = SmallPEFile();
  for (auto _ : state) benchmark::DoNotOptimize(entropy->CalculateSecondSection(file));
  if (!entropy->CalculateSecondSection(file) || entropy->GetEntropyValue() <= 7) state.SkipWithError("not measured");
}
BENCHMARK(BM_EntropySecondSectionSmallPE);

}  // namespace
