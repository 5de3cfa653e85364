// Builds resource sections (.rsrc) and version resources for PE fixtures.
//
//   TResourceBuilder r;
//   r.Add(RT_VERSION, 1, 0x0409, TVersionInfoBuilder().AddStringTable("040904B0", {{"CompanyName", "Acme"}}).Build());
//   AddIcon(r, 1, 0x0409);
//   TResourceLayout layout;
//   TPEBytes pe = BuildPEWithResources(r, TPEKind::pe32, &layout);
//   pe.SetU32(pe.SectionRawOffset(1) + layout.RootEntryOffset(0) + 4, 0x80000000);  // first type loops to the root
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/pe_resources.h"
#include "support/pe_writer.h"

namespace quillmark::test {

// UTF-16LE bytes of a UTF-8 string, without a terminator.
std::vector<std::uint8_t> Utf16LE(std::string_view utf8);

// Where the builder put each structure, as offsets from the section start.
// Types, names and languages are indexed in the order the section holds them
// (named before numbered, each sorted), which is also the walk's order.
struct TResourceLayout {
  std::size_t Size = 0;
  std::uint32_t SectionRva = 0;
  // Offset of each type's name directory, of each (type, name)'s language
  // directory, and of each resource's data entry and data, per item in the
  // order they were added.
  std::vector<std::size_t> NameDirectories;
  std::vector<std::vector<std::size_t>> LanguageDirectories;
  std::vector<std::size_t> DataEntries;
  std::vector<std::size_t> Data;

  // Offset of entry i of the directory at dirOffset.
  static std::size_t EntryOffset(std::size_t dirOffset, std::size_t i) { return dirOffset + 16 + 8 * i; }
  std::size_t RootEntryOffset(std::size_t i) const { return EntryOffset(0, i); }
};

class TResourceBuilder {
 public:
  struct TItem {
    TResourceName Type;
    TResourceName Name;
    std::uint16_t Language = 0;
    std::vector<std::uint8_t> Data;
    std::uint32_t CodePage = 0;
  };

  TResourceBuilder& Add(TResourceName type, TResourceName name, std::uint16_t language, std::vector<std::uint8_t> data);
  TResourceBuilder& Add(std::uint16_t type, std::uint16_t name, std::uint16_t language, std::vector<std::uint8_t> data) {
    return Add(TResourceName::FromId(type), TResourceName::FromId(name), language, std::move(data));
  }
  // Extra bytes put before each resource's data (1 makes every data RVA odd).
  TResourceBuilder& SetDataMisalignment(std::uint32_t bytes) {
    FMisalign = bytes;
    return *this;
  }
  const std::vector<TItem>& Items() const { return FItems; }

  // The section's bytes for a section placed at sectionRva.
  std::vector<std::uint8_t> Build(std::uint32_t sectionRva, TResourceLayout* layout = nullptr) const;

 private:
  std::vector<TItem> FItems;
  std::uint32_t FMisalign = 0;
};

// A PE image with a small code section and the resources as its second
// section (".rsrc"), the resource directory entry pointing at it.
TPEBytes BuildPEWithResources(const TResourceBuilder& resources, TPEKind kind = TPEKind::pe32,
                              TResourceLayout* layout = nullptr);

// A version resource: VS_VERSION_INFO with a VS_FIXEDFILEINFO, a
// StringFileInfo with the given tables, and a VarFileInfo when translations
// are given. String values are written with wValueLength in characters,
// terminator included; an empty value has wValueLength 0 and no characters.
class TVersionInfoBuilder {
 public:
  TVersionInfoBuilder& SetFileVersion(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d);
  TVersionInfoBuilder& OmitFixedInfo() {
    FFixed = false;
    return *this;
  }
  TVersionInfoBuilder& SetRootKey(std::string key) {
    FRootKey = std::move(key);
    return *this;
  }
  TVersionInfoBuilder& AddStringTable(std::string key, std::vector<std::pair<std::string, std::string>> values);
  TVersionInfoBuilder& AddTranslation(std::uint16_t language, std::uint16_t codePage);
  std::vector<std::uint8_t> Build() const;

 private:
  bool FFixed = true;
  std::string FRootKey = "VS_VERSION_INFO";
  std::uint32_t FFileVersionMS = 0x00010000;
  std::uint32_t FFileVersionLS = 0;
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> FTables;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> FTranslations;
};

// Offset of the version block whose key is `key` (the first one), or npos.
std::size_t FindVersionBlock(const std::vector<std::uint8_t>& data, std::string_view key, std::size_t from = 0);

// A 16x16 icon image (RT_ICON data) and a group icon directory naming icon
// identifiers (RT_GROUP_ICON data).
std::vector<std::uint8_t> IconImage();
std::vector<std::uint8_t> GroupIcon(const std::vector<std::uint16_t>& iconIds);
// Adds RT_ICON `iconId` and an RT_GROUP_ICON named `groupId` that lists it.
TResourceBuilder& AddIcon(TResourceBuilder& r, std::uint16_t iconId, std::uint16_t groupId, std::uint16_t language);

// A minimal application manifest (RT_MANIFEST data).
std::vector<std::uint8_t> Manifest();

}  // namespace quillmark::test
