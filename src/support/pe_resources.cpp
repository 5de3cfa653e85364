#include "support/pe_resources.h"

#include <algorithm>
#include <limits>

#include "support/le_reader.h"

namespace quillmark {

namespace {

using le::LoadU16;
using le::LoadU32;

}  // namespace

bool TResourceName::Matches(const TResourceName& other) const {
  if (IsString != other.IsString) return false;
  return IsString ? SameTextAscii(Name, other.Name) : Id == other.Id;
}

std::string TResourceName::ToString() const {
  if (IsString) return Name;
  std::string s(1, '#');
  s += std::to_string(Id);
  return s;
}

// --- TPEResources -------------------------------------------------------------

TPEResources::TPEResources(const TPEImage& image) : FImage(image) {
  if (!image.IsValid()) return;
  auto dir = image.DataDirectory(pe::DIRECTORY_ENTRY_RESOURCE);
  if (!dir || dir->VirtualAddress == 0 || dir->Size == 0) return;
  // The range runs to the end of the section's file bytes rather than to the
  // directory's declared size: linkers do not all agree on what that size
  // covers, and the section's bytes are what a loader would see. Only the
  // parts a walk touches are ever read.
  auto range = image.RvaRange(dir->VirtualAddress, std::numeric_limits<std::uint32_t>::max());
  if (!range || range->second < pe::SIZEOF_RESOURCE_DIRECTORY || image.Slice(range->first, pe::SIZEOF_RESOURCE_DIRECTORY).empty()) {
    FAnomalies |= raOutOfRange;
    return;
  }
  FRangeOffset = range->first;
  FRangeSize = range->second;
  FPresent = true;
}

std::span<const std::uint8_t> TPEResources::RangeBytes(std::uint64_t offset, std::uint64_t size) const {
  if (offset > FRangeSize || FRangeSize - offset < size) return {};
  return FImage.Slice(FRangeOffset + offset, size);
}

std::optional<std::uint16_t> TPEResources::ReadU16(std::uint64_t offset) const {
  return le::ReadU16(RangeBytes(offset, 2), 0);
}

std::optional<std::uint32_t> TPEResources::ReadU32(std::uint64_t offset) const {
  return le::ReadU32(RangeBytes(offset, 4), 0);
}

std::optional<TPEResources::TDirectory> TPEResources::ReadDirectory(std::uint32_t offset) const {
  if (!FPresent) return std::nullopt;
  const std::uint64_t start = offset;
  auto d = RangeBytes(start, pe::SIZEOF_RESOURCE_DIRECTORY);
  if (d.empty()) return std::nullopt;
  std::uint64_t count = std::uint64_t{LoadU16(d.data() + 12)} + LoadU16(d.data() + 14);
  const std::uint64_t room =
      (FRangeSize - start - pe::SIZEOF_RESOURCE_DIRECTORY) / pe::SIZEOF_RESOURCE_DIRECTORY_ENTRY;
  if (count > room) {
    FAnomalies |= raEntriesTruncated;
    count = room;
  }
  return TDirectory{start + pe::SIZEOF_RESOURCE_DIRECTORY, count};
}

TPEResources::TRawEntry TPEResources::EntryAt(const TDirectory& directory, std::uint64_t index) const {
  // Inside the range by ReadDirectory's count; an entry that cannot be read
  // (bytes beyond the memory budget) reads as one that leads nowhere.
  auto e = RangeBytes(directory.First + index * pe::SIZEOF_RESOURCE_DIRECTORY_ENTRY,
                      pe::SIZEOF_RESOURCE_DIRECTORY_ENTRY);
  if (e.empty()) return {pe::RESOURCE_NAME_IS_STRING | 0x7FFFFFFFu, 0x7FFFFFFFu};
  return {LoadU32(e.data()), LoadU32(e.data() + 4)};
}

std::optional<TResourceName> TPEResources::ReadName(std::uint32_t nameField) const {
  if (!(nameField & pe::RESOURCE_NAME_IS_STRING)) return TResourceName::FromId(static_cast<std::uint16_t>(nameField));
  const std::uint64_t at = nameField & ~pe::RESOURCE_NAME_IS_STRING;
  auto length = ReadU16(at);
  if (!length) return std::nullopt;
  const std::uint64_t bytes = std::uint64_t{*length} * 2;
  if (FRangeSize - at - 2 < bytes) return std::nullopt;
  const std::size_t kept = std::min<std::size_t>(*length, kMaxResourceNameLength) * 2;
  if (kept == 0) return TResourceName::FromString({});
  auto text = RangeBytes(at + 2, kept);
  if (text.empty()) return std::nullopt;
  return TResourceName::FromString(Utf16LEToUtf8(text));
}

bool TPEResources::NameMatches(std::uint32_t nameField, const TResourceName& wanted) const {
  const bool isString = (nameField & pe::RESOURCE_NAME_IS_STRING) != 0;
  if (isString != wanted.IsString) return false;
  if (!isString) return static_cast<std::uint16_t>(nameField) == wanted.Id;
  auto name = ReadName(nameField);
  return name && SameTextAscii(name->Name, wanted.Name);
}

bool TPEResources::Walk(std::uint32_t offset, int depth, TResourceEntry& path, const TResourceFilter& filter,
                        TWalkState& state, const std::function<bool(const TResourceEntry&)>& visitor) const {
  if (depth > 3) {
    FAnomalies |= raTooDeep;
    return true;
  }
  if (!state.Visited.insert(offset).second) {
    FAnomalies |= raLoop;
    return true;
  }
  auto directory = ReadDirectory(offset);
  if (!directory) {
    FAnomalies |= raOutOfRange;
    return true;
  }
  for (std::uint64_t i = 0; i < directory->Count; ++i) {
    const TRawEntry e = EntryAt(*directory, i);
    if (state.EntriesLeft == 0) {
      FAnomalies |= raTooManyEntries;
      return false;
    }
    --state.EntriesLeft;
    switch (depth) {
      case 1:
        if (filter.Type && !NameMatches(e.NameField, *filter.Type)) continue;
        if (auto n = ReadName(e.NameField)) {
          path.Type = std::move(*n);
        } else {
          FAnomalies |= raOutOfRange;
          continue;
        }
        break;
      case 2:
        if (filter.Name && !NameMatches(e.NameField, *filter.Name)) continue;
        if (auto n = ReadName(e.NameField)) {
          path.Name = std::move(*n);
        } else {
          FAnomalies |= raOutOfRange;
          continue;
        }
        break;
      default:
        // Languages are identifiers; a string here is not a language.
        if (e.NameField & pe::RESOURCE_NAME_IS_STRING) continue;
        path.Language = static_cast<std::uint16_t>(e.NameField);
        if (filter.Language && *filter.Language != path.Language) continue;
        break;
    }

    if (e.OffsetField & pe::RESOURCE_DATA_IS_DIRECTORY) {
      if (depth == 3) {
        FAnomalies |= raTooDeep;
        continue;
      }
      if (!Walk(e.OffsetField & ~pe::RESOURCE_DATA_IS_DIRECTORY, depth + 1, path, filter, state, visitor))
        return false;
      continue;
    }
    if (depth != 3) {
      FAnomalies |= raMisplacedData;
      continue;
    }
    auto de = RangeBytes(e.OffsetField, pe::SIZEOF_RESOURCE_DATA_ENTRY);
    if (de.empty()) {
      FAnomalies |= raOutOfRange;
      continue;
    }
    path.DataRva = LoadU32(de.data());
    path.DataSize = LoadU32(de.data() + 4);
    path.CodePage = LoadU32(de.data() + 8);
    if (!visitor(path)) return false;
  }
  return true;
}

void TPEResources::ForEach(const TResourceFilter& filter,
                           const std::function<bool(const TResourceEntry&)>& visitor) const {
  if (!FPresent) return;
  // A well-formed tree holds each entry in one directory, so it has fewer
  // entries than the range has 8-byte slots.
  TWalkState state;
  state.EntriesLeft = FRangeSize / pe::SIZEOF_RESOURCE_DIRECTORY_ENTRY;
  TResourceEntry path;
  Walk(0, 1, path, filter, state, visitor);
}

std::vector<TResourceEntry> TPEResources::Entries(const TResourceFilter& filter) const {
  std::vector<TResourceEntry> out;
  ForEach(filter, [&](const TResourceEntry& e) {
    out.push_back(e);
    return true;
  });
  return out;
}

std::optional<TResourceEntry> TPEResources::Find(const TResourceName& type, const std::optional<TResourceName>& name,
                                                 std::optional<std::uint16_t> language) const {
  std::optional<TResourceEntry> found;
  ForEach({type, name, language}, [&](const TResourceEntry& e) {
    found = e;
    return false;
  });
  return found;
}

std::span<const std::uint8_t> TPEResources::Data(const TResourceEntry& entry) const {
  if (entry.DataSize == 0) return {};
  auto bytes = FImage.RvaData(entry.DataRva, entry.DataSize);
  if (bytes.size() < entry.DataSize) FAnomalies |= raDataTruncated;
  return bytes;
}

void TPEResources::ForEachType(const std::function<bool(const TResourceName&)>& visitor) const {
  auto root = ReadDirectory(0);
  if (!root) return;
  for (std::uint64_t i = 0; i < root->Count; ++i) {
    auto n = ReadName(EntryAt(*root, i).NameField);
    if (!n) {
      FAnomalies |= raOutOfRange;
      continue;
    }
    if (!visitor(*n)) return;
  }
}

std::vector<TResourceName> TPEResources::Types() const {
  std::vector<TResourceName> out;
  ForEachType([&](const TResourceName& n) {
    out.push_back(n);
    return true;
  });
  return out;
}

std::size_t TPEResources::TypeCount() const {
  auto root = ReadDirectory(0);
  return root ? static_cast<std::size_t>(root->Count) : 0;
}

bool TPEResources::HasType(std::uint16_t type) const {
  auto root = ReadDirectory(0);
  if (!root) return false;
  for (std::uint64_t i = 0; i < root->Count; ++i) {
    const TRawEntry e = EntryAt(*root, i);
    if (!(e.NameField & pe::RESOURCE_NAME_IS_STRING) && static_cast<std::uint16_t>(e.NameField) == type) return true;
  }
  return false;
}

}  // namespace quillmark
