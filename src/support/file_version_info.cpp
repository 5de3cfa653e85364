#include "support/file_version_info.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "support/analyzed_file.h"
#include "support/le_reader.h"
#include "support/pe_resources.h"

namespace quillmark {

namespace {

using le::LoadU16;
using le::LoadU32;

constexpr std::size_t kBlockHeaderSize = 6;  // wLength, wValueLength, wType

std::size_t Align4(std::size_t v) { return (v + 3) & ~std::size_t{3}; }

// One block of the version resource: header, key, value and children, with
// every position already cut at the block's end.
struct TBlock {
  std::size_t Start = 0;
  std::size_t End = 0;          // Start + wLength, cut at the parent's end
  std::size_t DeclaredEnd = 0;  // Start + wLength as declared
  std::uint16_t ValueLength = 0;
  std::uint16_t Type = 0;
  std::string Key;
  std::size_t ValueStart = 0;  // after the key and its padding
};

// Reads the block at `at`, which must lie before `limit`. Fails when the
// header does not fit, wLength cannot even hold the header, or the key has no
// NUL before the block's end.
bool ReadBlock(std::span<const std::uint8_t> data, std::size_t at, std::size_t limit, TBlock& out) {
  if (at >= limit || limit - at < kBlockHeaderSize) return false;
  const std::uint8_t* h = data.data() + at;
  const std::uint16_t length = LoadU16(h);
  if (length < kBlockHeaderSize) return false;
  out.Start = at;
  out.DeclaredEnd = at + length;
  out.End = std::min(out.DeclaredEnd, limit);
  out.ValueLength = LoadU16(h + 2);
  out.Type = LoadU16(h + 4);

  std::size_t p = at + kBlockHeaderSize;
  const std::size_t keyStart = p;
  while (true) {
    if (out.End - p < 2) return false;
    if (LoadU16(data.data() + p) == 0) break;
    p += 2;
  }
  out.Key = Utf16LEToUtf8(data.subspan(keyStart, p - keyStart));
  out.ValueStart = std::min(Align4(p + 2), out.End);
  return true;
}

// Start of the first child, after a value of the given byte size.
std::size_t ChildrenStart(const TBlock& b, std::size_t valueBytes) {
  return std::min(Align4(b.ValueStart + valueBytes), b.End);
}

// Calls visit for each child block between from and the parent's end, in
// order; the next child starts at the 32-bit boundary after the declared end
// of the one before.
template <class F>
void ForEachChild(std::span<const std::uint8_t> data, std::size_t from, std::size_t end, F&& visit) {
  std::size_t at = from;
  while (at < end) {
    TBlock child;
    if (!ReadBlock(data, at, end, child)) return;
    visit(child);
    at = Align4(child.DeclaredEnd);
  }
}

// UTF-16 text from `at` up to its NUL or the end.
std::string TextUpTo(std::span<const std::uint8_t> data, std::size_t at, std::size_t end) {
  std::size_t p = at;
  while (end - p >= 2 && LoadU16(data.data() + p) != 0) p += 2;
  return Utf16LEToUtf8(data.subspan(at, p - at));
}

bool ParseHex16(std::string_view s, std::uint16_t& out) {
  if (s.size() != 4) return false;
  std::uint16_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = static_cast<std::uint16_t>(v * 16 + d);
  }
  out = v;
  return true;
}

bool IsNeutralOrEnglish(const TVersionStringTable& t) {
  if (!t.KeyValid) return false;
  const std::uint16_t primary = PrimaryLangId(t.Language);
  return primary == kLangNeutral || primary == kLangEnglish;
}

}  // namespace

const std::string* TVersionStringTable::Find(std::string_view key) const {
  for (const auto& [k, v] : Values)
    if (SameTextAscii(k, key)) return &v;
  return nullptr;
}

// --- TFileVersionInfo ---------------------------------------------------------

TFileVersionInfo::TFileVersionInfo(runtime::ITargetSystem& target, const std::string& fileName) {
  try {
    auto file = TAnalyzedFile::Open(target, fileName);
    ReadImage(file->Image());
  } catch (const std::exception&) {
    // An unreadable file has no version information.
    *this = TFileVersionInfo();
  }
}

TFileVersionInfo::TFileVersionInfo(const TPEImage& image) { ReadImage(image); }

TFileVersionInfo TFileVersionInfo::FromResourceData(std::span<const std::uint8_t> data) {
  TFileVersionInfo info;
  info.Parse(data);
  return info;
}

void TFileVersionInfo::ReadImage(const TPEImage& image) {
  TPEResources resources(image);
  if (!resources.IsPresent()) return;

  // The VS_VERSION_INFO entry in a language-neutral or English version when
  // there are several, as a loader's language fallback would pick it; any
  // version entry when none carries that name.
  std::optional<TResourceEntry> chosen;
  int chosenRank = -1;
  resources.ForEach({TResourceName::FromId(rtVersion), std::nullopt, std::nullopt}, [&](const TResourceEntry& e) {
    int rank = 0;
    if (!e.Name.IsString && e.Name.Id == kVersionInfoId) rank += 2;
    const std::uint16_t primary = PrimaryLangId(e.Language);
    if (primary == kLangNeutral || primary == kLangEnglish) rank += 1;
    if (rank > chosenRank) {
      chosen = e;
      chosenRank = rank;
    }
    return chosenRank < 3;
  });
  if (!chosen) return;
  FResourceLanguage = chosen->Language;
  Parse(resources.Data(*chosen));
}

void TFileVersionInfo::Parse(std::span<const std::uint8_t> data) {
  TBlock root;
  if (!ReadBlock(data, 0, data.size(), root)) return;
  if (!SameTextAscii(root.Key, "VS_VERSION_INFO")) return;
  FAvailable = true;

  // The fixed part is known by its signature; wValueLength only decides where
  // the children start when there is none.
  std::size_t valueBytes = root.ValueLength;
  if (root.End - root.ValueStart >= kFixedFileInfoSize && LoadU32(data.data() + root.ValueStart) == kFixedFileInfoSignature) {
    const std::uint8_t* f = data.data() + root.ValueStart;
    TFixedFileInfo fi;
    std::uint32_t* fields[] = {&fi.Signature,     &fi.StrucVersion,    &fi.FileVersionMS, &fi.FileVersionLS,
                               &fi.ProductVersionMS, &fi.ProductVersionLS, &fi.FileFlagsMask, &fi.FileFlags,
                               &fi.FileOS,        &fi.FileType,        &fi.FileSubtype,   &fi.FileDateMS,
                               &fi.FileDateLS};
    for (std::size_t i = 0; i < std::size(fields); ++i) *fields[i] = LoadU32(f + 4 * i);
    FFixed = fi;
    valueBytes = kFixedFileInfoSize;
  }

  ForEachChild(data, ChildrenStart(root, valueBytes), root.End, [&](const TBlock& info) {
    if (SameTextAscii(info.Key, "StringFileInfo")) {
      ForEachChild(data, ChildrenStart(info, 0), info.End, [&](const TBlock& table) {
        TVersionStringTable t;
        t.Key = table.Key;
        t.KeyValid = t.Key.size() == 8 && ParseHex16(std::string_view(t.Key).substr(0, 4), t.Language) &&
                     ParseHex16(std::string_view(t.Key).substr(4, 4), t.CodePage);
        ForEachChild(data, ChildrenStart(table, 0), table.End, [&](const TBlock& str) {
          // The value runs from after the key to its NUL, inside the block.
          t.Values.emplace_back(str.Key, TextUpTo(data, str.ValueStart, str.End));
        });
        FTables.push_back(std::move(t));
      });
    } else if (SameTextAscii(info.Key, "VarFileInfo")) {
      ForEachChild(data, ChildrenStart(info, 0), info.End, [&](const TBlock& var) {
        if (!SameTextAscii(var.Key, "Translation")) return;
        const std::size_t end = std::min<std::size_t>(var.ValueStart + var.ValueLength, var.End);
        for (std::size_t p = var.ValueStart; p < end && end - p >= 4; p += 4)
          FTranslations.emplace_back(LoadU16(data.data() + p), LoadU16(data.data() + p + 2));
      });
    }
  });
}

const TVersionStringTable* TFileVersionInfo::TableOf(std::string_view key) const {
  const TVersionStringTable* first = nullptr;
  for (const TVersionStringTable& t : FTables) {
    if (!t.Find(key)) continue;
    if (IsNeutralOrEnglish(t)) return &t;
    if (!first) first = &t;
  }
  return first;
}

std::string TFileVersionInfo::GetValue(std::string_view key) const {
  const TVersionStringTable* t = TableOf(key);
  return t ? *t->Find(key) : std::string();
}

}  // namespace quillmark
