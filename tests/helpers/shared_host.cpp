// A host built against the public headers and the shared library alone (no
// internal headers, no static library): it links only what the library
// exports, and reaches everything through interfaces.
//
//   shared_host                         the engine's GUID and the version
//   shared_host scan [--data DIR] [--threshold T] FILE...
//                                       one JSON record a file, as
//                                       "quillmark scan --json" prints it
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "quillmark/quillmark.h"

using namespace quillmark;

namespace {

ComPtr<IMalwareHeuristic> NewEngine() {
  void* obj = nullptr;
  if (DllGetInstance(IMalwareHeuristic::IID, &obj) != S_OK || !obj) return {};
  return ComPtr<IMalwareHeuristic>::Attach(static_cast<IMalwareHeuristic*>(obj));
}

int Scan(int argc, char** argv) {
  ComPtr<IMalwareHeuristic> engine = NewEngine();
  if (!engine) return 3;
  long double threshold = 50;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--data" && i + 1 < argc) {
      auto settings = engine->GetSettings().As<IMalwareHeuristicSettingsEx>();
      if (!settings) return 4;
      settings->SetDataFolder(std::filesystem::absolute(argv[++i]).string());
    } else if (arg == "--threshold" && i + 1 < argc) {
      threshold = std::strtold(argv[++i], nullptr);
    } else {
      files.push_back(arg);
    }
  }
  auto report = engine.As<IMalwareHeuristicReport>();
  if (!report) return 5;
  const std::vector<std::string> warnings = report->CheckKnowledgeWarnings();
  for (const std::string& file : files) {
    engine->AnalyzeFile(std::filesystem::absolute(file).string());
    std::printf("%s\n", report->GetLastReportJson(file, threshold, warnings).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "scan") return Scan(argc, argv);
  std::printf("%s %s\n", GuidToString(IMalwareHeuristic::IID).c_str(), QuillmarkVersion());
  return 0;
}
