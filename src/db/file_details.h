// Catalogue of Windows system files: for a file name, the folders where a
// file of that name legitimately lives on the target's Windows version.
#pragma once

#include <string>
#include <vector>

#include "db/malware_common_classes.h"

namespace quillmark {

struct TFilePathInfo {
  bool Recursive = false;  // the folder's subfolders count too
  std::string Path;        // the folder, without a trailing delimiter
};

struct TFilePathInfoCheckParams {
  // Expand environment variables of the stored folders on the target.
  bool DecodeEnvVariables = true;
};
// Null means the defaults.
using PFilePathInfoCheckParams = const TFilePathInfoCheckParams*;

class TMalwareDataBaseFileDetails : public TCustomSqlLiteDataBase {
 public:
  // The folder under which a 32-bit process on 64-bit Windows reaches the
  // real System32.
  static constexpr const char* kSysnativeFolder = "%systemroot%\\Sysnative";

  const char* ClassName() const override { return "TMalwareDataBaseFileDetails"; }
  // Registers "CheckOSVersion", "CryptEncodeString" and "CryptDecodeString".
  void RegisterFunctions() override;

  // Appends the legitimate locations of a file name (the name part of
  // AFileName, trimmed and compared without regard to letter case) that
  // apply to the target's Windows version, each folder once, to APaths.
  // Folders are put in environment-variable form and, unless AParams says
  // otherwise, expanded on the target. A location under System32 also brings
  // the Sysnative alias when the examining process runs under WOW64 on
  // Windows Vista or later. True when a location was appended; false without
  // a connection, and false with APaths as it was when the query fails (the
  // failure is recorded, see TakeQueryProblems).
  bool GetFileLocations(const std::string& AFileName, std::vector<TFilePathInfo>& APaths,
                        PFilePathInfoCheckParams AParams);

 protected:
  std::vector<TRequiredStatement> RequiredStatements() const override;
};

}  // namespace quillmark
