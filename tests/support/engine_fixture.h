// Shared pieces of the engine tests: a real temporary folder with a minimal
// PE file and a non-PE file, and a reader of the library's debug log.
#pragma once

#include <filesystem>
#include <string>

#include "support/scripted_rule.h"

namespace quillmark::test {

// Smallest file that passes the PE test: DOS header, e_lfanew 64, "PE\0\0"
// and zeroed NT headers.
std::string MinimalPEBytes();

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
