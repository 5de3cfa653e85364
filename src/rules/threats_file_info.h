// Evidence records of the file rules: a suspicious name, a suspicious
// location, missing version information and a missing resource.
#pragma once

#include <memory>
#include <string>

#include "quillmark/rule_results.h"
#include "rules/threat_custom.h"
#include "runtime/target_system.h"

namespace quillmark {

// A suspicious file name ("ThreatFileName.Dangerous.Base").
class ThreatFileName : public TThreatGrouped {
 public:
  const char* ClassName() const override { return "ThreatFileName"; }
  // Normal 5, suspicious 10, dangerous 40, critical 90.
  Extended GetDefaultDangerPercent() const override;
};

// Missing version information ("ThreatFileVersionInfo.Suspicious.Base").
class ThreatFileVersionInfo : public TThreatGrouped {
 public:
  const char* ClassName() const override { return "ThreatFileVersionInfo"; }
  // Normal 10, suspicious 30, dangerous 50, critical 90.
  Extended GetDefaultDangerPercent() const override;
};

enum class ThreatFileResourceGroup : std::uint8_t { tfrIcon = 0 };

template <>
struct TEnumIdentifiers<ThreatFileResourceGroup> {
  static std::string_view Identifier(ThreatFileResourceGroup v);
};

// A missing resource ("ThreatFileResource.Icon.Base").
class ThreatFileResource : public TThreatGroupedOf<ThreatFileResourceGroup> {
 public:
  const char* ClassName() const override { return "ThreatFileResource"; }
  // Icon 10.
  Extended GetDefaultDangerPercent() const override;
};

// A suspicious location, named by the folder and the file's extension
// ("ThreatFilePath.{FolderTemp\.exe}", "ThreatFilePath.{%SystemRoot%\.dll}").
class ThreatFilePath : public TThreat {
 public:
  const char* ClassName() const override { return "ThreatFilePath"; }
  // 5.
  Extended GetDefaultDangerPercent() const override;
  // "{" + the location + "}".
  std::string GetBaseName() const override { return "{" + FName + "}"; }
  const std::string& Location() const { return FName; }

  // The folder category without its "spr" prefix, "\", and the extension of
  // AFileName (from its last dot; none when it has no dot): "FolderTemp\.exe".
  static std::unique_ptr<ThreatFilePath> Create(TSuspiciousPathResultFolder AFolder, runtime::ITargetSystem& ATarget,
                                                const std::string& AFileName, Extended ADangerPercent);
  // The folder of AFullFileName in environment-variable form, a trailing
  // delimiter, and the file's extension: "%SystemRoot%\System32\.dll".
  static std::unique_ptr<ThreatFilePath> Create(runtime::ITargetSystem& ATarget, const std::string& AFullFileName,
                                                Extended ADangerPercent);

 private:
  std::string FName;
};

}  // namespace quillmark
