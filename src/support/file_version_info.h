// The version resource of a PE file (RT_VERSION: VS_VERSIONINFO with its
// VS_FIXEDFILEINFO, StringFileInfo and VarFileInfo), read from the file's bytes
// through the shared PE reader.
//
// Lengths in the blocks are not trusted: every block is cut at its parent's
// end and at the end of the data, string values are read up to their NUL
// inside their block whatever wValueLength says, and a block whose header or
// key does not fit ends the list it is in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/target_system.h"
#include "support/pe_image.h"

namespace quillmark {

// VS_FIXEDFILEINFO's signature (VS_FFI_SIGNATURE) and size, and the name
// identifier of the version resource (VS_VERSION_INFO); the SDK's names are
// macros of other types, so ours are named apart.
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedFileInfoSize = 52;
constexpr std::uint16_t kVersionInfoId = 1;

struct TFixedFileInfo {
  std::uint32_t Signature = 0;
  std::uint32_t StrucVersion = 0;
  std::uint32_t FileVersionMS = 0;
  std::uint32_t FileVersionLS = 0;
  std::uint32_t ProductVersionMS = 0;
  std::uint32_t ProductVersionLS = 0;
  std::uint32_t FileFlagsMask = 0;
  std::uint32_t FileFlags = 0;
  std::uint32_t FileOS = 0;
  std::uint32_t FileType = 0;
  std::uint32_t FileSubtype = 0;
  std::uint32_t FileDateMS = 0;
  std::uint32_t FileDateLS = 0;
};

// One StringTable of the StringFileInfo block.
struct TVersionStringTable {
  std::string Key;  // as the file spells it, "040904B0"
  // Parsed from the key (language in the first four hex digits, code page in
  // the last four); KeyValid is false when the key is not eight hex digits.
  bool KeyValid = false;
  std::uint16_t Language = 0;
  std::uint16_t CodePage = 0;
  // Key and value pairs in file order, UTF-8.
  std::vector<std::pair<std::string, std::string>> Values;

  // The value of the first string with this key (ASCII case-insensitive).
  const std::string* Find(std::string_view key) const;
};

class TFileVersionInfo {
 public:
  // No version information.
  TFileVersionInfo() = default;
  // Reads the version resource of a file opened through the target. A file
  // that cannot be opened or read, is not a PE image, or has no readable
  // version resource gives GetIsAviable() false.
  TFileVersionInfo(runtime::ITargetSystem& target, const std::string& fileName);
  // Reads the version resource of an image.
  explicit TFileVersionInfo(const TPEImage& image);
  // Parses the bytes of a version resource itself.
  static TFileVersionInfo FromResourceData(std::span<const std::uint8_t> data);

  // A version resource is present and starts with a VS_VERSION_INFO block.
  bool GetIsAviable() const { return FAvailable; }
  // Some string table holds the key (ASCII case-insensitive).
  bool IsValueExist(std::string_view key) const { return TableOf(key) != nullptr; }
  // The key's value from the table TableOf chooses; empty when no table has it.
  std::string GetValue(std::string_view key) const;
  // The table a key is read from: among the tables that hold the key, the
  // first that is language-neutral or English, else the first of all.
  const TVersionStringTable* TableOf(std::string_view key) const;

  const std::vector<TVersionStringTable>& Tables() const { return FTables; }
  const std::optional<TFixedFileInfo>& FixedFileInfo() const { return FFixed; }
  // The VarFileInfo "Translation" pairs (language, code page).
  const std::vector<std::pair<std::uint16_t, std::uint16_t>>& Translations() const { return FTranslations; }
  // Language of the resource entry that was read.
  std::uint16_t ResourceLanguage() const { return FResourceLanguage; }

 private:
  void ReadImage(const TPEImage& image);
  void Parse(std::span<const std::uint8_t> data);

  bool FAvailable = false;
  std::uint16_t FResourceLanguage = 0;
  std::optional<TFixedFileInfo> FFixed;
  std::vector<TVersionStringTable> FTables;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> FTranslations;
};

}  // namespace quillmark
