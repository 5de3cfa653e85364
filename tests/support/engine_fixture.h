// Shared pieces of the engine tests: a real temporary folder with a minimal
// PE file and a non-PE file, and a reader of the library's debug log.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "quillmark/malware_heuristic.h"
#include "support/scripted_rule.h"

namespace quillmark {
class TMalwareHeuristic;
class TMalwareRuleResult;
namespace runtime {
class ITargetSystem;
}
}  // namespace quillmark

namespace quillmark::test {

// Smallest file that passes the PE test: DOS header, e_lfanew 64, "PE\0\0"
// and zeroed NT headers.
std::string MinimalPEBytes();
// Writes MinimalPEBytes() to path, making its folders; answers the path.
std::string PutPE(const std::string& path);

// An engine on the target (the engine's own default when null) with only the
// given rules selected.
ComPtr<TMalwareHeuristic> EngineWith(std::vector<TMalwareRuleType> only,
                                     std::shared_ptr<runtime::ITargetSystem> target = nullptr);

// The library object behind a rule result the engine handed out.
TMalwareRuleResult& ObjectOf(const ComPtr<IMalwareRuleResult>& result);

class TEngineFiles {
 public:
  TEngineFiles();
  ~TEngineFiles();
  const std::filesystem::path& Folder() const { return FFolder; }
  std::string PEFile() const { return (FFolder / "sample.exe").string(); }
  std::string TextFile() const { return (FFolder / "notes.txt").string(); }
  std::string Missing() const { return (FFolder / "missing.exe").string(); }

 private:
  std::filesystem::path FFolder;
};

// Number of lines of the library's debug log that contain every given text.
int CountLogEntries(const std::string& AText, const std::string& AOwner = {});

}  // namespace quillmark::test
