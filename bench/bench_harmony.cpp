// Per-name cost of the knowledge lookups of the name rules, on the shipped
// knowledge files of the build (Data/ beside the build's programs):
//  - the harmony score of a file name (one single-row lookup per letter pair
//    and triple, over statements prepared once per connection);
//  - the legitimate folders of a system-file name.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "db/file_details.h"
#include "db/harmony_strings.h"
#include "runtime/target_system.h"

using namespace quillmark;

namespace {

// QUILLMARK_DATA_DIR, else the build's Data folder next to bench/.
std::string DataFile(const char* name) {
  const char* dir = std::getenv("QUILLMARK_DATA_DIR");
  return (dir ? std::string(dir) + "/" : runtime::HostExecutableFolder() + "../Data/") + name;
}

const std::vector<std::string> kNames = {"setup",        "notepad",  "xkqzvtpw", "libreoffice-calc",
                                         "a1b2c3d4e5f6", "report",   "svchost",  "{0123abcd-4567-89ef-0123-456789abcdef}",
                                         "install_x64",  "qzxjvkwf"};

void BM_HarmonyStringInfo(benchmark::State& state) {
  auto db = TCustomSqlLiteDataBase::Create<TMalwareHarmonyStrings>();
  db->Open(DataFile("hwscheme.mdict"));
  if (!db->HasConnection()) {
    state.SkipWithError("no Data/hwscheme.mdict (build the quillmark_data target)");
    return;
  }
  std::size_t i = 0, characters = 0;
  for (auto _ : state) {
    const std::string& name = kNames[i++ % kNames.size()];
    TStringHarmonyInfo info;
    benchmark::DoNotOptimize(db->GetStringInfo(name, &info));
    characters += name.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["chars/name"] = static_cast<double>(characters) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HarmonyStringInfo);

void BM_FileLocations(benchmark::State& state) {
  auto db = TCustomSqlLiteDataBase::Create<TMalwareDataBaseFileDetails>();
  db->Open(DataFile("hsysfiles.mdict"));
  if (!db->HasConnection()) {
    state.SkipWithError("no Data/hsysfiles.mdict (build the quillmark_data target)");
    return;
  }
  const std::vector<std::string> names = {"kernel32.dll", "svchost.exe", "setup.exe", "lsass.exe", "report.pdf.exe"};
  std::size_t i = 0;
  for (auto _ : state) {
    std::vector<TFilePathInfo> paths;
    benchmark::DoNotOptimize(db->GetFileLocations(names[i++ % names.size()], paths, nullptr));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FileLocations);

}  // namespace
