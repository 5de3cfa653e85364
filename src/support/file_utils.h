// Path and file-name helpers shared by the rules: long-path prefixes, NT
// device paths, environment-variable forms, special folders and the PE test.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/target_system.h"

namespace quillmark {

enum class TFileNameType { fnt32KFileName, fntNetwork, fntCustom };

class FileUtils {
 public:
  // The extensions of executable images, in this order.
  static constexpr std::array<std::string_view, 15> ExecutableExtensions = {
      ".acm", ".ax", ".cpl", ".dll", ".drv", ".efi", ".exe", ".mui",
      ".ocx", ".scr", ".sys", ".tsp", ".bpl", ".com", ".sfx"};

  // Minimum age in milliseconds of a device map before it is rebuilt.
  static constexpr std::uint64_t kDeviceMapRefreshInterval = 600001;

  struct TDosDeviceToWinPathItem {
    std::string FDosDriveName;  // NT device path of a volume, with a trailing "\"
    std::string FDiskName;      // its drive root, such as "C:\"
  };

  // NT device names of a target's drives, rebuilt from the target at most
  // every ten minutes. Thread-safe.
  class TDosDeviceMap {
   public:
    // Replaces a leading device path of a known volume by its drive root.
    std::string Translate(runtime::ITargetSystem& target, const std::string& path);
    std::vector<TDosDeviceToWinPathItem> Items();

   private:
    void RefreshIfDue(runtime::ITargetSystem& target);

    std::mutex FLock;
    std::vector<TDosDeviceToWinPathItem> FItems;
    std::uint64_t FLastRebuild = 0;
    bool FBuilt = false;
  };

  FileUtils() = delete;

  // True when the loader would take the file as a PE image: "MZ", e_lfanew
  // inside the file, the "PE\0\0" signature and a file header there, and the
  // optional header's magic (TPEImage decides). Any failure to open or read
  // the file answers false.
  static bool IsPEFile(runtime::ITargetSystem& target, const std::string& fileName);

  static std::string Add32KPrefix(const runtime::ITargetSystem& target, const std::string& fileName) {
    return target.LongPathForm(fileName);
  }
  static std::string Remove32KPrefix(const std::string& fileName);
  static TFileNameType FileNameType(std::string_view fileName);

  // Trims, rewrites the system-relative prefixes of driver and service paths
  // into environment-variable form, then expands the variables. A path of a
  // target without Windows path syntax comes back as it is.
  static std::string PrepareFileName(runtime::ITargetSystem& target, const std::string& path);

  // Turns an NT device path into a drive path; a result without a drive is
  // prepared with PrepareFileName. Uses the map kept for this target object.
  static std::string CheckDosFileName(runtime::ITargetSystem& target, const std::string& fileName);
  // The same with a map the caller keeps beside its target.
  static std::string CheckDosFileName(runtime::ITargetSystem& target, const std::string& fileName,
                                      TDosDeviceMap& map);
  // Forgets the map kept for a target object (call before destroying a target
  // that went through CheckDosFileName, so that a later object at the same
  // address starts with a fresh map).
  static void ReleaseDosDeviceMap(const runtime::ITargetSystem& target);

  // Puts environment-variable names back in front of a path (the longest
  // matching variable value wins). Unchanged when nothing matches, on a target
  // without Windows path syntax, or when the result would not fit in 260
  // characters.
  static std::string UnExpandEnvStrings(runtime::ITargetSystem& target, const std::string& path);

  // A shell folder of the target by CSIDL; empty when it has none.
  static std::string GetSpecialFolder(runtime::ITargetSystem& target, int csidl);
};

}  // namespace quillmark
