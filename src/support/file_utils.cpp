#include "support/file_utils.h"

#include <map>
#include <memory>

#include "runtime/path_prepare.h"
#include "support/analyzed_file.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {




struct TPrefixRewrite {
  std::string_view Prefix;
  std::string_view Replacement;
};

constexpr TPrefixRewrite kPrefixRewrites[] = {
    {"\\SystemRoot\\", "%SystemRoot%\\"},
    {"System32\\", "%SystemRoot%\\System32\\"},
    {"\\??\\", ""},
    {"SysWOW64\\", "%SystemRoot%\\SysWOW64\\"},
};

// Variables put back by UnExpandEnvStrings; on equal lengths the earlier wins.
constexpr std::string_view kUnExpandVariables[] = {
    "ALLUSERSPROFILE", "APPDATA",     "LOCALAPPDATA", "ProgramData",        "ProgramFiles",
    "ProgramFiles(x86)", "CommonProgramFiles", "CommonProgramFiles(x86)", "TEMP", "USERPROFILE",
    "SystemRoot",      "SystemDrive",
};

constexpr std::size_t kMaxPath = 260;

// Device maps of targets that use the unit's own map.
std::mutex gDeviceMapsLock;
std::map<const runtime::ITargetSystem*, std::unique_ptr<FileUtils::TDosDeviceMap>> gDeviceMaps;

FileUtils::TDosDeviceMap& DeviceMapOf(const runtime::ITargetSystem& target) {
  std::lock_guard guard(gDeviceMapsLock);
  auto& slot = gDeviceMaps[&target];
  if (!slot) slot = std::make_unique<FileUtils::TDosDeviceMap>();
  return *slot;
}

}  // namespace

// --- device map -----------------------------------------------------------------

void FileUtils::TDosDeviceMap::RefreshIfDue(runtime::ITargetSystem& target) {
  const std::uint64_t now = target.GetTickCount64();
  if (FBuilt && now >= FLastRebuild && now - FLastRebuild < kDeviceMapRefreshInterval) return;
  FItems.clear();
  for (auto& [device, root] : target.DosDevices()) {
    if (device.empty()) continue;
    std::string name = device;
    if (name.back() != '\\') name += '\\';
    FItems.push_back({std::move(name), root});
  }
  FLastRebuild = target.GetTickCount64();
  FBuilt = true;
}

std::string FileUtils::TDosDeviceMap::Translate(runtime::ITargetSystem& target, const std::string& path) {
  std::lock_guard guard(FLock);
  RefreshIfDue(target);
  for (const auto& item : FItems)
    if (StartsWithTextAscii(path, item.FDosDriveName)) return item.FDiskName + path.substr(item.FDosDriveName.size());
  return path;
}

std::vector<FileUtils::TDosDeviceToWinPathItem> FileUtils::TDosDeviceMap::Items() {
  std::lock_guard guard(FLock);
  return FItems;
}

// --- FileUtils --------------------------------------------------------------------

bool FileUtils::IsPEFile(runtime::ITargetSystem& target, const std::string& fileName) {
  try {
    return TAnalyzedFile::Open(target, fileName)->IsPEImage();
  } catch (...) {
    return false;
  }
}

TFileNameType FileUtils::FileNameType(std::string_view fileName) {
  if (fileName.starts_with("\\\\?\\")) return TFileNameType::fnt32KFileName;
  if (fileName.starts_with("\\\\")) return TFileNameType::fntNetwork;
  return TFileNameType::fntCustom;
}

std::string FileUtils::Remove32KPrefix(const std::string& fileName) {
  if (FileNameType(fileName) == TFileNameType::fnt32KFileName) return fileName.substr(4);
  return fileName;
}

std::string FileUtils::PrepareFileName(runtime::ITargetSystem& target, const std::string& path) {
  // Driver and service paths are a Windows notion: on a POSIX target every
  // character, blanks and backslashes included, belongs to the name.
  if (target.PathSyntax() != runtime::TPathSyntax::psWindows) return path;
  std::string result(TrimBlanks(path));
  for (const auto& row : kPrefixRewrites)
    if (StartsWithTextAscii(result, row.Prefix))
      result = std::string(row.Replacement) + result.substr(row.Prefix.size());
  return runtime::PreparePathName(target, result);
}

std::string FileUtils::CheckDosFileName(runtime::ITargetSystem& target, const std::string& fileName,
                                        TDosDeviceMap& map) {
  if (fileName.size() < 2 || target.PathSyntax() != runtime::TPathSyntax::psWindows) return fileName;
  std::string result = map.Translate(target, fileName);
  std::string drive = result.substr(0, target.DrivePrefixLength(result));
  if (drive.find(':') == std::string::npos) return PrepareFileName(target, result);
  return result;
}

std::string FileUtils::CheckDosFileName(runtime::ITargetSystem& target, const std::string& fileName) {
  if (fileName.size() < 2) return fileName;
  return CheckDosFileName(target, fileName, DeviceMapOf(target));
}

void FileUtils::ReleaseDosDeviceMap(const runtime::ITargetSystem& target) {
  std::lock_guard guard(gDeviceMapsLock);
  gDeviceMaps.erase(&target);
}

std::string FileUtils::UnExpandEnvStrings(runtime::ITargetSystem& target, const std::string& path) {
  if (target.PathSyntax() != runtime::TPathSyntax::psWindows) return path;
  std::string_view bestName;
  std::size_t bestLength = 0;
  for (std::string_view name : kUnExpandVariables) {
    std::string value = runtime::LookupEnvironmentVariable(target, std::string(name));
    while (!value.empty() && target.IsPathDelimiter(value.back())) value.pop_back();
    if (value.empty() || value.size() <= bestLength || !StartsWithTextAscii(path, value)) continue;
    // The value must end at a folder boundary of the path.
    if (path.size() != value.size() && !target.IsPathDelimiter(path[value.size()])) continue;
    bestName = name;
    bestLength = value.size();
  }
  if (bestName.empty()) return path;
  std::string result;
  result.reserve(bestName.size() + 2 + path.size() - bestLength);
  result.append(1, '%').append(bestName).append(1, '%').append(path, bestLength, std::string::npos);
  if (Utf16Length(result) >= kMaxPath) return path;
  return result;
}

std::string FileUtils::GetSpecialFolder(runtime::ITargetSystem& target, int csidl) {
  try {
    return target.GetSpecialFolder(csidl);
  } catch (...) {
    return {};
  }
}

}  // namespace quillmark
