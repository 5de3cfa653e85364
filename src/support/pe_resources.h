// The resource tree of a PE image (type, name, language, data), read from the
// image's bytes through the bounds-checked PE reader. Nothing is loaded or
// mapped for execution: a hostile file is only ever read.
//
// Every directory, entry, name string and data entry must lie inside the
// resource range (the resource directory's RVA up to the end of the bytes its
// section holds in the file); resource data may lie anywhere the image has
// file bytes for its RVA. The walk enters each directory at most once and goes
// no deeper than the three levels of the format, so looping or self-referring
// directories end it rather than loop.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "support/pe_image.h"
#include "support/text_utils.h"

namespace quillmark {

// Predefined resource types. The SDK's RT_ names for them are pointers
// (MAKEINTRESOURCE) under <windows.h>, so ours carry the rt prefix instead.
enum TResourceType : std::uint16_t {
  rtCursor = 1,
  rtBitmap = 2,
  rtIcon = 3,
  rtMenu = 4,
  rtDialog = 5,
  rtString = 6,
  rtRcData = 10,
  rtGroupCursor = 12,
  rtGroupIcon = 14,
  rtVersion = 16,
  rtManifest = 24,
};

namespace pe {
// Sizes of the on-disk records.
constexpr std::size_t SIZEOF_RESOURCE_DIRECTORY = 16;
constexpr std::size_t SIZEOF_RESOURCE_DIRECTORY_ENTRY = 8;
constexpr std::size_t SIZEOF_RESOURCE_DATA_ENTRY = 16;
// High bit of an entry's name field (the name is a string) and of its offset
// field (the offset leads to a subdirectory).
constexpr std::uint32_t RESOURCE_NAME_IS_STRING = 0x80000000u;
constexpr std::uint32_t RESOURCE_DATA_IS_DIRECTORY = 0x80000000u;
}  // namespace pe

// Primary language identifiers (LANG_NEUTRAL and LANG_ENGLISH in the SDK),
// in the low ten bits of a language identifier.
constexpr std::uint16_t kLangNeutral = 0x00;
constexpr std::uint16_t kLangEnglish = 0x09;
constexpr std::uint16_t PrimaryLangId(std::uint16_t langId) { return langId & 0x3FF; }


// Longest resource name string read, in UTF-16 code units; longer names are
// cut (names are short in practice, and a hostile directory could otherwise
// make every entry point at one huge string).
constexpr std::size_t kMaxResourceNameLength = 512;

// A resource type or name: a 16-bit identifier or a string.
struct TResourceName {
  bool IsString = false;
  std::uint16_t Id = 0;
  std::string Name;  // UTF-8, when IsString

  static TResourceName FromId(std::uint16_t id) { return {false, id, {}}; }
  static TResourceName FromString(std::string name) { return {true, 0, std::move(name)}; }
  // Identifiers match by value, strings without regard to ASCII letter case.
  bool Matches(const TResourceName& other) const;
  // "#16" for an identifier, the string itself otherwise.
  std::string ToString() const;
};

// One resource: where it sits in the tree and its data entry.
struct TResourceEntry {
  TResourceName Type;
  TResourceName Name;
  std::uint16_t Language = 0;
  std::uint32_t DataRva = 0;
  std::uint32_t DataSize = 0;
  std::uint32_t CodePage = 0;
};

// Irregularities met while walking; none of them stops the reader from
// answering with what it could read.
enum TResourceAnomaly : std::uint32_t {
  raNone = 0,
  raOutOfRange = 1u << 0,       // a directory, entry, name or data entry outside the resource range
  raLoop = 1u << 1,             // a directory reached a second time
  raTooDeep = 1u << 2,          // a subdirectory below the language level
  raMisplacedData = 1u << 3,    // a data entry above the language level
  raEntriesTruncated = 1u << 4, // a directory declaring more entries than the range holds
  raDataTruncated = 1u << 5,    // resource data with fewer bytes in the file than its size
  raTooManyEntries = 1u << 6,   // a walk read more entries than the range can hold once each
};

// Which resources a walk visits: an empty level matches everything.
struct TResourceFilter {
  std::optional<TResourceName> Type;
  std::optional<TResourceName> Name;
  std::optional<std::uint16_t> Language;
};

class TPEResources {
 public:
  // The image (and the bytes behind it) must outlive this object.
  explicit TPEResources(const TPEImage& image);

  // The image has a resource directory whose root could be read.
  bool IsPresent() const { return FPresent; }
  // The types of the root directory, in the order of their entries (named
  // types first, as the format sorts them). Empty when none could be read.
  std::vector<TResourceName> Types() const;
  // Visits the root directory's types in order until the visitor answers
  // false, without holding them all.
  void ForEachType(const std::function<bool(const TResourceName&)>& visitor) const;
  // Number of entries of the root directory that lie in the range.
  std::size_t TypeCount() const;
  bool HasType(std::uint16_t type) const;

  // Visits the resources that match the filter, in directory order, until the
  // visitor answers false.
  void ForEach(const TResourceFilter& filter, const std::function<bool(const TResourceEntry&)>& visitor) const;
  std::vector<TResourceEntry> Entries(const TResourceFilter& filter = {}) const;
  // The first matching resource, or nullopt.
  std::optional<TResourceEntry> Find(const TResourceName& type, const std::optional<TResourceName>& name = std::nullopt,
                                     std::optional<std::uint16_t> language = std::nullopt) const;
  // The resource's bytes, cut at the end of what the file holds for them
  // (raDataTruncated is then set); empty when its RVA has no file bytes.
  std::span<const std::uint8_t> Data(const TResourceEntry& entry) const;

  // Anomalies seen by the walks so far.
  std::uint32_t Anomalies() const { return FAnomalies; }
  bool HasAnomaly(TResourceAnomaly a) const { return (FAnomalies & a) != 0; }

 private:
  struct TRawEntry {
    std::uint32_t NameField = 0;    // identifier, or string offset with the high bit
    std::uint32_t OffsetField = 0;  // data entry, or subdirectory with the high bit
  };
  // A directory's entries: where the first lies in the range and how many the
  // range holds. Entries are read one at a time, so a directory that claims
  // a huge number of them costs no memory.
  struct TDirectory {
    std::uint64_t First = 0;
    std::uint64_t Count = 0;
  };
  // The directory at offset, its count cut at the end of the range; nullopt
  // when its header lies outside.
  std::optional<TDirectory> ReadDirectory(std::uint32_t offset) const;
  TRawEntry EntryAt(const TDirectory& directory, std::uint64_t index) const;
  // The name an entry's name field stands for; a string outside the range
  // gives nullopt.
  std::optional<TResourceName> ReadName(std::uint32_t nameField) const;
  bool NameMatches(std::uint32_t nameField, const TResourceName& wanted) const;
  // Walks the directory at offset (depth 1 is the root) with the path so far;
  // answers false when the visitor asked to stop.
  struct TWalkState {
    std::unordered_set<std::uint32_t> Visited;
    std::uint64_t EntriesLeft = 0;
  };
  bool Walk(std::uint32_t offset, int depth, TResourceEntry& path, const TResourceFilter& filter, TWalkState& state,
            const std::function<bool(const TResourceEntry&)>& visitor) const;
  // Bytes of the range, bounds-checked against it.
  std::span<const std::uint8_t> RangeBytes(std::uint64_t offset, std::uint64_t size) const;
  std::optional<std::uint16_t> ReadU16(std::uint64_t offset) const;
  std::optional<std::uint32_t> ReadU32(std::uint64_t offset) const;

  const TPEImage& FImage;
  // The resource range: its file offset and length.
  std::uint64_t FRangeOffset = 0;
  std::uint64_t FRangeSize = 0;
  bool FPresent = false;
  mutable std::uint32_t FAnomalies = raNone;
};

}  // namespace quillmark
