// The resource-tree reader over the PE reader: enumeration, lookup and data,
// and its behaviour on hostile directories.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/file_version_info.h"
#include "support/pe_image.h"
#include "support/pe_resources.h"
#include "support/pe_writer.h"
#include "support/resource_writer.h"

using namespace quillmark;
using namespace quillmark::test;

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Text(std::string_view s) { return TBytes(s.begin(), s.end()); }

std::vector<std::string> TypeNames(const TPEResources& r) {
  std::vector<std::string> out;
  for (const TResourceName& t : r.Types()) out.push_back(t.ToString());
  return out;
}

std::string DataText(const TPEResources& r, const std::optional<TResourceEntry>& e) {
  if (!e) return "<none>";
  auto d = r.Data(*e);
  return std::string(d.begin(), d.end());
}

TResourceBuilder Mixed() {
  TResourceBuilder r;
  r.Add(rtVersion, 1, 0x0409, TVersionInfoBuilder().AddStringTable("040904B0", {{"CompanyName", "Acme"}}).Build());
  r.Add(TResourceName::FromString("MYDATA"), TResourceName::FromString("Config"), 0, Text("config bytes"));
  AddIcon(r, 1, 101, 0x0409);
  r.Add(TResourceName::FromId(rtRcData), TResourceName::FromString("beta"), 0x0409, Text("english"));
  r.Add(TResourceName::FromId(rtRcData), TResourceName::FromString("beta"), 0x0407, Text("deutsch"));
  r.Add(rtRcData, 7, 0, Text("seven"));
  return r;
}

}  // namespace

TEST(Utf16LEToUtf8, ConvertsCodeUnits) {
  struct Case {
    const char* name;
    TBytes in;
    std::string out;
  };
  const Case cases[] = {
      {"ascii", Utf16LE("Acme Corp."), "Acme Corp."},
      {"cyrillic", Utf16LE("ООО Ромашка"), "ООО Ромашка"},
      {"cjk", Utf16LE("株式会社"), "株式会社"},
      {"surrogate pair", Utf16LE("a\xF0\x9F\x98\x80z"), "a\xF0\x9F\x98\x80z"},
      {"lone high surrogate", {0x00, 0xD8, 0x41, 0x00}, "\xEF\xBF\xBD" "A"},
      {"lone low surrogate at the end", {0x41, 0x00, 0x00, 0xDC}, "A\xEF\xBF\xBD"},
      {"odd trailing byte ignored", {0x41, 0x00, 0x42}, "A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf16LEToUtf8(c.in), c.out);
  }
}

TEST(PEResources, EnumeratesAndFindsResources) {
  for (TPEKind kind : {TPEKind::pe32, TPEKind::pe32Plus}) {
    SCOPED_TRACE(kind == TPEKind::pe32 ? "PE32" : "PE32+");
    TPEBytes pe = BuildPEWithResources(Mixed(), kind);
    TPEImage image(pe.Bytes());
    ASSERT_TRUE(image.IsValid());
    TPEResources r(image);
    ASSERT_TRUE(r.IsPresent());

    EXPECT_EQ(TypeNames(r), (std::vector<std::string>{"MYDATA", "#3", "#10", "#14", "#16"}));
    EXPECT_EQ(r.TypeCount(), 5u);
    EXPECT_TRUE(r.HasType(rtIcon));
    EXPECT_TRUE(r.HasType(rtGroupIcon));
    EXPECT_FALSE(r.HasType(rtManifest));

    // Lookup by type, name and language; strings without regard to case.
    EXPECT_EQ(DataText(r, r.Find(TResourceName::FromId(rtRcData), TResourceName::FromString("BETA"), 0x0409)),
              "english");
    EXPECT_EQ(DataText(r, r.Find(TResourceName::FromId(rtRcData), TResourceName::FromString("beta"), 0x0407)),
              "deutsch");
    EXPECT_EQ(DataText(r, r.Find(TResourceName::FromId(rtRcData), TResourceName::FromString("beta"))), "deutsch");
    EXPECT_EQ(DataText(r, r.Find(TResourceName::FromId(rtRcData), TResourceName::FromId(7))), "seven");
    EXPECT_EQ(DataText(r, r.Find(TResourceName::FromString("mydata"))), "config bytes");
    EXPECT_FALSE(r.Find(TResourceName::FromId(rtRcData), TResourceName::FromString("beta"), 0x040C));
    EXPECT_FALSE(r.Find(TResourceName::FromId(rtRcData), TResourceName::FromId(8)));
    EXPECT_FALSE(r.Find(TResourceName::FromString("#10")));

    auto group = r.Find(TResourceName::FromId(rtGroupIcon));
    ASSERT_TRUE(group);
    EXPECT_EQ(group->Name.Id, 101);
    EXPECT_EQ(group->Language, 0x0409);
    auto bytes = r.Data(*group);
    EXPECT_EQ(TBytes(bytes.begin(), bytes.end()), GroupIcon({1}));

    // Every resource once, in directory order; a visitor can stop the walk.
    std::vector<std::string> order;
    for (const TResourceEntry& e : r.Entries())
      order.push_back(e.Type.ToString() + "/" + e.Name.ToString() + "/" + std::to_string(e.Language));
    EXPECT_EQ(order, (std::vector<std::string>{"MYDATA/Config/0", "#3/#1/1033", "#10/beta/1031", "#10/beta/1033",
                                               "#10/#7/0", "#14/#101/1033", "#16/#1/1033"}));
    int visits = 0;
    r.ForEach({}, [&](const TResourceEntry&) { return ++visits < 2; });
    EXPECT_EQ(visits, 2);
    EXPECT_EQ(r.Anomalies(), raNone);
  }
}

TEST(PEResources, ImagesWithoutReadableResources) {
  struct Case {
    const char* name;
    std::function<TPEBytes()> make;
  };
  const Case cases[] = {
      {"no resource directory", [] { return TPEBuilder().AddSection(".text", Bytes("\xC3")).Build(); }},
      {"directory with size 0",
       [] {
         TPEBytes pe = BuildPEWithResources(Mixed());
         return pe.SetDataDirectory(pe::DIRECTORY_ENTRY_RESOURCE, pe.SectionRva(1), 0);
       }},
      {"directory RVA without file bytes",
       [] {
         TPEBytes pe = BuildPEWithResources(Mixed());
         return pe.SetDataDirectory(pe::DIRECTORY_ENTRY_RESOURCE, 0x00F00000, 0x100);
       }},
      {"root header cut by the section's end",
       [] {
         TPEBytes pe = BuildPEWithResources(Mixed());
         return pe.SetSectionVirtualSize(1, 8);
       }},
      {"file ends before the resource section",
       [] {
         TPEBytes pe = BuildPEWithResources(Mixed());
         return pe.Truncate(pe.SectionRawOffset(1) + 10);
       }},
      {"fewer directory entries than the resource entry",
       [] {
         TPEBytes pe = BuildPEWithResources(Mixed());
         return pe.SetNumberOfRvaAndSizes(2);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPEBytes pe = c.make();
    TPEImage image(pe.Bytes());
    ASSERT_TRUE(image.IsValid());
    TPEResources r(image);
    EXPECT_FALSE(r.IsPresent());
    EXPECT_EQ(r.TypeCount(), 0u);
    EXPECT_TRUE(r.Types().empty());
    EXPECT_TRUE(r.Entries().empty());
    EXPECT_FALSE(r.Find(TResourceName::FromId(rtVersion)));
    EXPECT_FALSE(TFileVersionInfo(image).GetIsAviable());
  }
}

// Hostile changes to a section holding, in order, types #3 (icon), #14 (group
// icon), #16 (version) and #24 (manifest). The walk must end, stay inside the
// section and still answer with what it can read.
TEST(PEResources, HostileDirectoriesNeverEscapeOrLoop) {
  TResourceBuilder base;
  AddIcon(base, 1, 1, 0x0409);
  base.Add(rtVersion, 1, 0x0409, TVersionInfoBuilder().AddStringTable("040904B0", {{"CompanyName", "Acme"}}).Build());
  base.Add(rtManifest, 1, 0x0409, Manifest());
  TResourceLayout l;
  const TPEBytes clean = BuildPEWithResources(base, TPEKind::pe32, &l);
  const std::size_t rsrc = clean.SectionRawOffset(1);
  // Item order as added: 0 icon, 1 group icon, 2 version, 3 manifest; types in
  // directory order: 0 #3, 1 #14, 2 #16, 3 #24.
  const std::size_t typeCount = 4;

  struct Case {
    const char* name;
    std::function<void(TPEBytes&)> corrupt;
    TResourceAnomaly anomaly;
    std::size_t types;    // TypeCount after the change
    std::size_t entries;  // resources the full walk still reaches
    bool iconType;        // HasType(rtIcon)
  };
  const Case cases[] = {
      {"type entry leads back to the root",
       [&](TPEBytes& pe) { pe.SetU32(rsrc + l.RootEntryOffset(0) + 4, 0x80000000u); }, raLoop, typeCount, 3, true},
      {"every type leads back to the root",
       [&](TPEBytes& pe) {
         for (std::size_t i = 0; i < typeCount; ++i) pe.SetU32(rsrc + l.RootEntryOffset(i) + 4, 0x80000000u);
       },
       raLoop, typeCount, 0, true},
      {"name directory leads back to its own type directory",
       [&](TPEBytes& pe) {
         pe.SetU32(rsrc + TResourceLayout::EntryOffset(l.NameDirectories[2], 0) + 4,
                   0x80000000u | static_cast<std::uint32_t>(l.NameDirectories[2]));
       },
       raLoop, typeCount, 3, true},
      {"two types share one name directory",
       [&](TPEBytes& pe) {
         pe.SetU32(rsrc + l.RootEntryOffset(3) + 4, 0x80000000u | static_cast<std::uint32_t>(l.NameDirectories[2]));
       },
       raLoop, typeCount, 3, true},
      {"language entry claims a subdirectory",
       [&](TPEBytes& pe) {
         pe.SetU32(rsrc + TResourceLayout::EntryOffset(l.LanguageDirectories[0][0], 0) + 4, 0x80000000u);
       },
       raTooDeep, typeCount, 3, true},
      {"subdirectory far outside the section",
       [&](TPEBytes& pe) { pe.SetU32(rsrc + l.RootEntryOffset(1) + 4, 0xFFFFFFF0u); }, raOutOfRange, typeCount, 3,
       true},
      {"subdirectory just past the section's end",
       [&](TPEBytes& pe) {
         pe.SetU32(rsrc + l.RootEntryOffset(1) + 4, 0x80000000u | static_cast<std::uint32_t>(l.Size - 8));
       },
       raOutOfRange, typeCount, 3, true},
      {"data entry outside the section",
       [&](TPEBytes& pe) {
         pe.SetU32(rsrc + TResourceLayout::EntryOffset(l.LanguageDirectories[3][0], 0) + 4, 0x7FFFFFF8u);
       },
       raOutOfRange, typeCount, 3, true},
      {"data entry where a directory belongs",
       [&](TPEBytes& pe) { pe.SetU32(rsrc + l.RootEntryOffset(0) + 4, static_cast<std::uint32_t>(l.DataEntries[0])); },
       raMisplacedData, typeCount, 3, true},
      {"named type whose string lies outside",
       [&](TPEBytes& pe) { pe.SetU32(rsrc + l.RootEntryOffset(0), 0x80000000u | 0x7FFFFF00u); }, raOutOfRange,
       typeCount, 3, false},
      {"named type whose length runs past the end",
       [&](TPEBytes& pe) {
         pe.SetU32(rsrc + l.RootEntryOffset(0), 0x80000000u | static_cast<std::uint32_t>(l.Size - 4));
         pe.SetU16(rsrc + l.Size - 4, 0xFFFF);
       },
       raOutOfRange, typeCount, 3, false},
      {"root declares 65535 named and 65535 numbered entries",
       [&](TPEBytes& pe) { pe.SetU16(rsrc + 12, 0xFFFF).SetU16(rsrc + 14, 0xFFFF); }, raEntriesTruncated,
       (l.Size - 16) / 8, 4, true},
      {"name directory declares 65535 entries",
       [&](TPEBytes& pe) { pe.SetU16(rsrc + l.NameDirectories[3] + 14, 0xFFFF); }, raEntriesTruncated, typeCount, 4,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPEBytes pe = clean;
    c.corrupt(pe);
    TPEImage image(pe.Bytes());
    TPEResources r(image);
    ASSERT_TRUE(r.IsPresent());
    EXPECT_EQ(r.TypeCount(), c.types);
    EXPECT_EQ(r.HasType(rtIcon), c.iconType);
    const auto entries = r.Entries();
    EXPECT_GE(entries.size(), c.entries);
    EXPECT_LE(entries.size(), l.Size / 8);
    for (const TResourceEntry& e : entries) (void)r.Data(e);
    EXPECT_TRUE(r.HasAnomaly(c.anomaly)) << "anomalies " << r.Anomalies();
    (void)TFileVersionInfo(image).GetValue("CompanyName");
  }
}

TEST(PEResources, DataOutsideTheFileIsEmptyOrCut) {
  TResourceBuilder base;
  base.Add(rtRcData, 1, 0, Text("payload bytes"));
  TResourceLayout l;
  TPEBytes pe = BuildPEWithResources(base, TPEKind::pe32, &l);
  const std::size_t entry = pe.SectionRawOffset(1) + l.DataEntries[0];

  TPEBytes far = pe;
  far.SetU32(entry, 0xFFFFF000u);
  TPEImage farImage(far.Bytes());
  TPEResources farRes(farImage);
  auto e = farRes.Find(TResourceName::FromId(rtRcData));
  ASSERT_TRUE(e);
  EXPECT_TRUE(farRes.Data(*e).empty());

  TPEBytes big = pe;
  big.SetU32(entry + 4, 0x7FFFFFFFu);
  TPEImage bigImage(big.Bytes());
  TPEResources bigRes(bigImage);
  e = bigRes.Find(TResourceName::FromId(rtRcData));
  ASSERT_TRUE(e);
  auto data = bigRes.Data(*e);
  ASSERT_GE(data.size(), 13u);
  EXPECT_LE(data.size(), l.Size);
  EXPECT_EQ(std::string(data.begin(), data.begin() + 13), "payload bytes");
  EXPECT_TRUE(bigRes.HasAnomaly(raDataTruncated));
}

// Every directory points 65535 times at the next one: a walk that entered
// shared directories again would visit 65535^2 resources.
TEST(PEResources, SharedDirectoriesAreWalkedOnce) {
  const std::size_t n = 0xFFFF;
  const std::size_t dirSize = 16 + 8 * n;
  const std::size_t names = dirSize, languages = 2 * dirSize, dataEntry = 3 * dirSize;
  TBytes section(dataEntry + 16 + 8, 0);
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) section[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  auto directory = [&](std::size_t at, std::uint32_t target, bool toData) {
    section[at + 14] = 0xFF;
    section[at + 15] = 0xFF;
    for (std::size_t i = 0; i < n; ++i) {
      put32(at + 16 + 8 * i, static_cast<std::uint32_t>(i % 40 + 1));
      put32(at + 16 + 8 * i + 4, toData ? target : (0x80000000u | target));
    }
  };
  directory(0, static_cast<std::uint32_t>(names), false);
  directory(names, static_cast<std::uint32_t>(languages), false);
  directory(languages, static_cast<std::uint32_t>(dataEntry), true);
  TPEBuilder b;
  b.AddSection(".text", Bytes("\xC3"));
  const std::uint32_t rva = b.SectionRva(1);
  put32(dataEntry, rva + static_cast<std::uint32_t>(dataEntry) + 16);
  put32(dataEntry + 4, 8);
  b.AddSection(".rsrc", section, kReadOnlyDataSection);
  b.SetDataDirectory(pe::DIRECTORY_ENTRY_RESOURCE, rva, static_cast<std::uint32_t>(section.size()));
  TPEBytes pe = b.Build();

  TPEImage image(pe.Bytes());
  TPEResources r(image);
  EXPECT_EQ(r.TypeCount(), n);
  EXPECT_TRUE(r.HasType(rtIcon));
  std::size_t visits = 0;
  r.ForEach({}, [&](const TResourceEntry&) {
    ++visits;
    return true;
  });
  EXPECT_EQ(visits, n);
  EXPECT_TRUE(r.HasAnomaly(raLoop));
  EXPECT_FALSE(TFileVersionInfo(image).GetIsAviable());
}

// Every 8-byte slot both is an entry leading to the next slot and, read as a
// directory header, declares 32768 or more entries: directories overlap, so a
// walk that only avoided entering a directory twice would read every slot once
// per directory, (1 MiB / 8)^2 times.
TEST(PEResources, OverlappingDirectoriesAreBounded) {
  const std::size_t size = 1 << 20;
  TBytes section(size, 0);
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    const std::uint32_t next = 0x80000000u | static_cast<std::uint32_t>((at + 8) % size);
    for (int i = 0; i < 4; ++i) {
      section[at + i] = static_cast<std::uint8_t>(rtIcon >> (8 * i));
      section[at + 4 + i] = static_cast<std::uint8_t>(next >> (8 * i));
    }
  }
  TPEBuilder b;
  b.AddSection(".text", Bytes("\xC3"));
  const std::uint32_t rva = b.SectionRva(1);
  b.AddSection(".rsrc", section, kReadOnlyDataSection);
  b.SetDataDirectory(pe::DIRECTORY_ENTRY_RESOURCE, rva, static_cast<std::uint32_t>(size));
  TPEBytes pe = b.Build();

  TPEImage image(pe.Bytes());
  TPEResources r(image);
  EXPECT_TRUE(r.HasType(rtIcon));
  EXPECT_TRUE(r.Entries().empty());
  EXPECT_TRUE(r.HasAnomaly(raTooManyEntries));
  EXPECT_TRUE(r.HasAnomaly(raTooDeep));
  EXPECT_FALSE(TFileVersionInfo(image).GetIsAviable());
}

// Random damage to a realistic section: whatever the bytes say, the reader
// answers without touching memory outside the image (run under the sanitizers).
TEST(PEResources, RandomDamageNeverEscapes) {
  TResourceBuilder base = Mixed();
  base.Add(rtManifest, 1, 0x0409, Manifest());
  TResourceLayout l;
  const TPEBytes clean = BuildPEWithResources(base, TPEKind::pe32, &l);
  const std::size_t rsrc = clean.SectionRawOffset(1);
  std::mt19937 gen(20240611);
  int noticed = 0;
  for (int round = 0; round < 3000; ++round) {
    TPEBytes pe = clean;
    const int changes = 1 + static_cast<int>(gen() % 6);
    for (int k = 0; k < changes; ++k) {
      const std::size_t at = rsrc + gen() % l.Size;
      switch (gen() % 4) {
        case 0: pe.SetU8(at, static_cast<std::uint8_t>(gen())); break;
        case 1: pe.SetU16(at & ~std::size_t{1}, static_cast<std::uint16_t>(gen())); break;
        case 2: pe.SetU32(at & ~std::size_t{3}, static_cast<std::uint32_t>(gen() % (l.Size + 64)) | (gen() % 2 ? 0x80000000u : 0)); break;
        default: pe.SetU32(at & ~std::size_t{3}, static_cast<std::uint32_t>(gen())); break;
      }
    }
    if (round % 10 == 0) pe.Truncate(rsrc + gen() % l.Size);
    const std::vector<std::uint8_t>& bytes = pe.Bytes();
    auto inside = [&](std::span<const std::uint8_t> s) {
      return s.empty() || (s.data() >= bytes.data() && s.data() + s.size() <= bytes.data() + bytes.size());
    };
    TPEImage image(bytes);
    TPEResources r(image);
    const auto types = r.Types();
    EXPECT_LE(types.size(), r.TypeCount());
    for (const TResourceName& t : types) EXPECT_LE(t.Name.size(), 3 * kMaxResourceNameLength);
    // Each entry is read once at most: never more entries than the range has slots.
    const auto entries = r.Entries();
    if (auto dir = image.DataDirectory(pe::DIRECTORY_ENTRY_RESOURCE)) {
      auto range = image.RvaRange(dir->VirtualAddress, 0xFFFFFFFFu);
      EXPECT_LE(entries.size(), range ? range->second / pe::SIZEOF_RESOURCE_DIRECTORY_ENTRY : 0);
    }
    for (const TResourceEntry& e : entries) {
      auto data = r.Data(e);
      EXPECT_TRUE(inside(data));
      EXPECT_LE(data.size(), e.DataSize);
    }
    TFileVersionInfo info(image);
    EXPECT_LE(info.GetValue("CompanyName").size(), 3 * bytes.size());
    if (r.Anomalies() != raNone) ++noticed;
  }
  // The damage is seen, not just survived.
  EXPECT_GT(noticed, 300);
}
