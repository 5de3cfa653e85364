// A host built against an installed Quillmark, through its CMake package or
// its pkg-config file. Prints the library's version; given a file and a
// knowledge folder, analyses the file and prints its overall percentage as
// the CLI's text output does ("0.0%").
#include <cstdio>
#include <string>

#include "quillmark/quillmark.h"

using namespace quillmark;

int main(int argc, char** argv) {
  DLLVERSIONINFO2 version{};
  version.info1.cbSize = sizeof version;
  if (DllGetVersion(&version) != S_OK) {
    std::fprintf(stderr, "DllGetVersion failed\n");
    return 1;
  }
  std::printf("quillmark %u.%u.%u\n", unsigned(version.info1.dwMajorVersion),
              unsigned(version.info1.dwMinorVersion), unsigned(version.info1.dwBuildNumber));
  if (argc < 3) return 0;

  void* object = nullptr;
  if (DllGetInstance(IMalwareHeuristic::IID, &object) != S_OK || !object) {
    std::fprintf(stderr, "DllGetInstance failed\n");
    return 1;
  }
  auto engine = ComPtr<IMalwareHeuristic>::Attach(static_cast<IMalwareHeuristic*>(object));
  const std::string data = std::string(argv[2]) + "/";
  auto settings = engine->GetSettings();
  settings->SetDictionaryBlackWhiteListsFileName(data + "hbwlists.mdict");
  settings->SetDictionaryFileDetailsFileName(data + "hsysfiles.mdict");
  settings->SetDictionaryHarmonyNameSchemeFileName(data + "hwscheme.mdict");
  settings->SetDictionaryThreatsInfoFileName(data + "hmthinfo.mdict");
  if (!engine->AnalyzeFile(argv[1])) {
    std::fprintf(stderr, "%s: not analysed\n", argv[1]);
    return 1;
  }
  std::printf("%s: %.1Lf%%\n", argv[1], engine->GetResult()->GetPercentageMatch());
  engine->Close();
  return 0;
}
