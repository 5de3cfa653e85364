#include "support/pe_resources.h"

#include <algorithm>
#include <limits>

namespace quillmark {

namespace {

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

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
  auto dir = image.DataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
  if (!dir || dir->VirtualAddress == 0 || dir->Size == 0) return;
  // The range runs to the end of the section's file bytes rather than to the
  // directory's declared size: linkers do not all agree on what that size
  // covers, and the section's bytes are what a loader would see.
  FRange = image.RvaData(dir->VirtualAddress, std::numeric_limits<std::uint32_t>::max());
  if (FRange.size() < IMAGE_SIZEOF_RESOURCE_DIRECTORY) {
    FAnomalies |= raOutOfRange;
    FRange = {};
    return;
  }
  FPresent = true;
}

std::optional<std::uint16_t> TPEResources::ReadU16(std::uint64_t offset) const {
  if (offset > FRange.size() || FRange.size() - offset < 2) return std::nullopt;
  return U16(FRange.data() + offset);
}

std::optional<std::uint32_t> TPEResources::ReadU32(std::uint64_t offset) const {
  if (offset > FRange.size() || FRange.size() - offset < 4) return std::nullopt;
  return U32(FRange.data() + offset);
}

std::optional<std::vector<TPEResources::TRawEntry>> TPEResources::ReadDirectory(std::uint32_t offset) const {
  if (!FPresent) return std::nullopt;
  const std::uint64_t start = offset;
  if (start > FRange.size() || FRange.size() - start < IMAGE_SIZEOF_RESOURCE_DIRECTORY) return std::nullopt;
  const std::uint8_t* d = FRange.data() + start;
  std::uint64_t count = std::uint64_t{U16(d + 12)} + U16(d + 14);
  const std::uint64_t room =
      (FRange.size() - start - IMAGE_SIZEOF_RESOURCE_DIRECTORY) / IMAGE_SIZEOF_RESOURCE_DIRECTORY_ENTRY;
  if (count > room) {
    FAnomalies |= raEntriesTruncated;
    count = room;
  }
  std::vector<TRawEntry> entries;
  entries.reserve(static_cast<std::size_t>(count));
  const std::uint8_t* e = d + IMAGE_SIZEOF_RESOURCE_DIRECTORY;
  for (std::uint64_t i = 0; i < count; ++i, e += IMAGE_SIZEOF_RESOURCE_DIRECTORY_ENTRY)
    entries.push_back({U32(e), U32(e + 4)});
  return entries;
}

std::optional<TResourceName> TPEResources::ReadName(std::uint32_t nameField) const {
  if (!(nameField & IMAGE_RESOURCE_NAME_IS_STRING)) return TResourceName::FromId(static_cast<std::uint16_t>(nameField));
  const std::uint64_t at = nameField & ~IMAGE_RESOURCE_NAME_IS_STRING;
  auto length = ReadU16(at);
  if (!length) return std::nullopt;
  const std::uint64_t bytes = std::uint64_t{*length} * 2;
  if (FRange.size() - at - 2 < bytes) return std::nullopt;
  const std::size_t kept = std::min<std::size_t>(*length, kMaxResourceNameLength) * 2;
  return TResourceName::FromString(Utf16LEToUtf8(FRange.subspan(static_cast<std::size_t>(at) + 2, kept)));
}

bool TPEResources::NameMatches(std::uint32_t nameField, const TResourceName& wanted) const {
  const bool isString = (nameField & IMAGE_RESOURCE_NAME_IS_STRING) != 0;
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
  auto entries = ReadDirectory(offset);
  if (!entries) {
    FAnomalies |= raOutOfRange;
    return true;
  }
  for (const TRawEntry& e : *entries) {
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
        if (e.NameField & IMAGE_RESOURCE_NAME_IS_STRING) continue;
        path.Language = static_cast<std::uint16_t>(e.NameField);
        if (filter.Language && *filter.Language != path.Language) continue;
        break;
    }

    if (e.OffsetField & IMAGE_RESOURCE_DATA_IS_DIRECTORY) {
      if (depth == 3) {
        FAnomalies |= raTooDeep;
        continue;
      }
      if (!Walk(e.OffsetField & ~IMAGE_RESOURCE_DATA_IS_DIRECTORY, depth + 1, path, filter, state, visitor))
        return false;
      continue;
    }
    if (depth != 3) {
      FAnomalies |= raMisplacedData;
      continue;
    }
    const std::uint64_t at = e.OffsetField;
    if (at > FRange.size() || FRange.size() - at < IMAGE_SIZEOF_RESOURCE_DATA_ENTRY) {
      FAnomalies |= raOutOfRange;
      continue;
    }
    const std::uint8_t* de = FRange.data() + at;
    path.DataRva = U32(de);
    path.DataSize = U32(de + 4);
    path.CodePage = U32(de + 8);
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
  state.EntriesLeft = FRange.size() / IMAGE_SIZEOF_RESOURCE_DIRECTORY_ENTRY;
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

std::vector<TResourceName> TPEResources::Types() const {
  std::vector<TResourceName> out;
  auto root = ReadDirectory(0);
  if (!root) return out;
  out.reserve(root->size());
  for (const TRawEntry& e : *root) {
    if (auto n = ReadName(e.NameField))
      out.push_back(std::move(*n));
    else
      FAnomalies |= raOutOfRange;
  }
  return out;
}

std::size_t TPEResources::TypeCount() const {
  auto root = ReadDirectory(0);
  return root ? root->size() : 0;
}

bool TPEResources::HasType(std::uint16_t type) const {
  auto root = ReadDirectory(0);
  if (!root) return false;
  return std::any_of(root->begin(), root->end(), [&](const TRawEntry& e) {
    return !(e.NameField & IMAGE_RESOURCE_NAME_IS_STRING) && static_cast<std::uint16_t>(e.NameField) == type;
  });
}

}  // namespace quillmark
