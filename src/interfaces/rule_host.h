// What a rule sees of the engine that runs it: the system under examination,
// the running processes, the knowledge files, the settings a rule reads and
// whether the analysis was cancelled. The engine is the one implementation;
// rules include this header, never the engine's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quillmark/malware_heuristic.h"

namespace quillmark {

namespace runtime {
class ITargetSystem;
}
struct IProcessList;
class TMalwareDataBaseBlackWhiteLists;
class TMalwareDataBaseFileDetails;
class TMalwareHarmonyStrings;

class IRuleHost {
 public:
  // The system under examination.
  virtual runtime::ITargetSystem& Target() const = 0;
  virtual std::shared_ptr<runtime::ITargetSystem> TargetPtr() const = 0;
  // Whether the running analysis was cancelled.
  virtual bool Canceled() const = 0;
  // The running processes, cached for a short while across analyses.
  virtual ComPtr<IProcessList> ProcessList() = 0;

  // The knowledge files, each opened on first use.
  virtual TMalwareDataBaseBlackWhiteLists& BlackWhiteLists() = 0;
  virtual TMalwareDataBaseFileDetails& FileDetails() = 0;
  virtual TMalwareHarmonyStrings& HarmonyStrings() = 0;

  // Bytes of a target file read at most.
  virtual std::uint64_t MaxFileSize() = 0;
  // Where the trust anchors of signature checks come from besides the
  // system's: a folder of certificate files and single certificate files.
  virtual std::string TrustFolder() = 0;
  virtual std::vector<std::string> CAFiles() = 0;

 protected:
  ~IRuleHost() = default;
};

}  // namespace quillmark
