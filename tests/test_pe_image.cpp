#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "runtime/target_system.h"
#include "support/analyzed_file.h"
#include "support/le_reader.h"
#include "support/pe_image.h"
#include "support/pe_writer.h"
#include "support/temp_dir.h"

namespace quillmark {
namespace {

using test::Bytes;
using test::TPEBuilder;
using test::TPEBytes;
using test::Filled;
using test::TPEKind;

// Three sections: code, initialised data, and data with a zero-filled tail.
TPEBuilder ThreeSections(TPEKind kind) {
  TPEBuilder b(kind);
  b.AddSection(".text", Filled(0x300, 1), test::kCodeSection)
      .AddSection(".rdata", Filled(0x80, 2), test::kReadOnlyDataSection)
      .AddSection(".data", Filled(0x100, 3), test::kDataSection, 0x3000);
  b.SetDataDirectory(pe::DIRECTORY_ENTRY_RESOURCE, b.SectionRva(1), 0x80)
      .SetDataDirectory(pe::DIRECTORY_ENTRY_SECURITY, 0x2000, 0x10)
      .SetSubsystem(pe::SUBSYSTEM_WINDOWS_CUI);
  return b;
}

// Every span the image hands out lies inside its bytes.
void ExpectSpansInside(const TPEImage& image, std::span<const std::uint8_t> data) {
  auto inside = [&](std::span<const std::uint8_t> s) {
    if (s.empty()) return true;
    return s.data() >= data.data() && s.data() + s.size() <= data.data() + data.size();
  };
  for (std::size_t i = 0; i < image.Sections().size() + 1; ++i) EXPECT_TRUE(inside(image.SectionRawData(i)));
  for (const auto& s : image.Sections()) {
    for (std::uint32_t rva : {s.VirtualAddress, s.VirtualAddress + 1, s.VirtualAddress + s.VirtualSize - 1}) {
      EXPECT_TRUE(inside(image.RvaData(rva, 0xFFFFFFFF)));
      if (auto off = image.RvaToOffset(rva)) {
        EXPECT_LT(*off, data.size());
      }
    }
  }
  for (unsigned d = 0; d < 16; ++d)
    if (auto dir = image.DataDirectory(d)) {
      EXPECT_TRUE(inside(image.RvaData(dir->VirtualAddress, dir->Size)));
    }
}

class PEImageKinds : public testing::TestWithParam<TPEKind> {};

TEST_P(PEImageKinds, ParsesHeadersDirectoriesAndSections) {
  const bool plus = GetParam() == TPEKind::pe32Plus;
  TPEBuilder builder = ThreeSections(GetParam());
  builder.SetImageBase(plus ? 0x180000000ull : 0x10000000);
  TPEBytes pe = builder.Build();
  TPEImage image(pe.Bytes().data(), pe.Size());

  ASSERT_TRUE(image.IsValid());
  EXPECT_EQ(image.Anomalies(), paNone);
  EXPECT_EQ(image.IsPE32Plus(), plus);
  const auto& oh = image.OptionalHeader();
  EXPECT_EQ(oh.Magic, plus ? 0x20B : 0x10B);
  EXPECT_EQ(oh.ImageBase, plus ? 0x180000000ull : 0x10000000u);
  EXPECT_EQ(oh.Subsystem, pe::SUBSYSTEM_WINDOWS_CUI);
  EXPECT_EQ(oh.FileAlignment, 0x200u);
  EXPECT_EQ(oh.SectionAlignment, 0x1000u);
  EXPECT_EQ(oh.SizeOfHeaders, 0x200u);
  EXPECT_EQ(oh.NumberOfRvaAndSizes, 16u);
  EXPECT_EQ(oh.AddressOfEntryPoint, 0x1000u);
  EXPECT_EQ(image.FileHeader().Machine, plus ? pe::FILE_MACHINE_AMD64 : pe::FILE_MACHINE_I386);
  EXPECT_EQ(image.NtHeadersOffset(), pe.NtHeadersOffset());
  EXPECT_EQ(image.CheckSumOffset(), pe.CheckSumOffset());
  EXPECT_EQ(image.SectionTableOffset(), pe.SectionHeaderOffset(0));

  ASSERT_EQ(image.DataDirectoryCount(), 16u);
  auto resource = image.DataDirectory(pe::DIRECTORY_ENTRY_RESOURCE);
  ASSERT_TRUE(resource);
  EXPECT_EQ(resource->VirtualAddress, 0x2000u);
  EXPECT_EQ(resource->Size, 0x80u);
  EXPECT_EQ(resource->EntryOffset, pe.DataDirectoryOffset(pe::DIRECTORY_ENTRY_RESOURCE));
  auto security = image.DataDirectory(pe::DIRECTORY_ENTRY_SECURITY);
  ASSERT_TRUE(security);
  EXPECT_EQ(security->EntryOffset, pe.DataDirectoryOffset(pe::DIRECTORY_ENTRY_SECURITY));
  EXPECT_EQ(image.DataDirectoryEntryOffset(pe::DIRECTORY_ENTRY_SECURITY), security->EntryOffset);
  EXPECT_FALSE(image.DataDirectory(16));

  ASSERT_EQ(image.Sections().size(), 3u);
  const struct {
    const char* Name;
    std::uint32_t VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData, Characteristics;
  } expected[] = {
      {".text", 0x300, 0x1000, 0x400, 0x200, test::kCodeSection},
      {".rdata", 0x80, 0x2000, 0x200, 0x600, test::kReadOnlyDataSection},
      {".data", 0x3000, 0x3000, 0x200, 0x800, test::kDataSection},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const TImageSection& s = image.Sections()[i];
    EXPECT_EQ(s.Name, expected[i].Name);
    EXPECT_EQ(s.VirtualSize, expected[i].VirtualSize);
    EXPECT_EQ(s.VirtualAddress, expected[i].VirtualAddress);
    EXPECT_EQ(s.SizeOfRawData, expected[i].SizeOfRawData);
    EXPECT_EQ(s.PointerToRawData, expected[i].PointerToRawData);
    EXPECT_EQ(s.Characteristics, expected[i].Characteristics);
    EXPECT_EQ(s.HeaderOffset, pe.SectionHeaderOffset(i));
    EXPECT_EQ(image.SectionRawData(i).size(), expected[i].SizeOfRawData);
  }
  auto text = image.SectionRawData(0);
  auto want = Filled(0x300, 1);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), text.begin()));
}

INSTANTIATE_TEST_SUITE_P(PE, PEImageKinds, testing::Values(TPEKind::pe32, TPEKind::pe32Plus),
                         [](const auto& info) { return info.param == TPEKind::pe32 ? "PE32" : "PE32Plus"; });

TEST(PEImage, RvaTranslation) {
  TPEBytes pe = ThreeSections(TPEKind::pe32).Build();
  TPEImage image(pe.Bytes());
  ASSERT_TRUE(image.IsValid());
  const struct {
    std::uint32_t Rva;
    std::optional<std::uint64_t> Offset;
  } cases[] = {
      {0x1000, 0x200},          // start of .text
      {0x12FF, 0x4FF},          // last byte of .text's data
      {0x1300, std::nullopt},   // past VirtualSize: alignment padding, no section
      {0x2010, 0x610},
      {0x31FF, 0x9FF},          // last raw byte of .data (file alignment padding included)
      {0x3200, std::nullopt},   // zero-filled tail of .data
      {0x0040, 0x40},           // headers
      {0x01FF, 0x1FF},
      {0x0200, std::nullopt},   // past SizeOfHeaders, before the first section
      {0xFFFFFFFF, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.Rva);
    EXPECT_EQ(image.RvaToOffset(c.Rva), c.Offset);
  }
  EXPECT_EQ(image.RvaData(0x1200, 0x1000).size(), 0x100u) << "cut at the end of the section's data";
  EXPECT_EQ(image.RvaData(0x3000, 0x5000).size(), 0x200u) << "cut at the raw size, not the virtual size";
  EXPECT_EQ(image.SectionOfRva(0x3FFF), std::optional<std::size_t>(2));
}

TEST(PEImage, MalformedHeadersAreRejectedWithTheirReason) {
  const TPEBytes good = ThreeSections(TPEKind::pe32).Build();
  const struct {
    const char* Name;
    std::function<void(TPEBytes&)> Corrupt;
    TPEParseError Error;
  } cases[] = {
      {"empty", [](TPEBytes& p) { p.Truncate(0); }, TPEParseError::peTooSmall},
      {"63 bytes", [](TPEBytes& p) { p.Truncate(63); }, TPEParseError::peTooSmall},
      {"no MZ", [](TPEBytes& p) { p.SetDosMagic(0x4D5A); }, TPEParseError::peNoDosSignature},
      {"e_lfanew past the end", [](TPEBytes& p) { p.SetLfanew(0x10000); }, TPEParseError::peBadNtHeadersOffset},
      {"e_lfanew near 4 GiB", [](TPEBytes& p) { p.SetLfanew(0xFFFFFFFC); }, TPEParseError::peBadNtHeadersOffset},
      {"file header cut", [](TPEBytes& p) { p.Truncate(p.FileHeaderOffset() + 19); },
       TPEParseError::peBadNtHeadersOffset},
      {"no PE signature", [](TPEBytes& p) { p.SetNtSignature(0x00014550); }, TPEParseError::peNoNtSignature},
      {"ROM magic", [](TPEBytes& p) { p.SetOptionalMagic(0x107); }, TPEParseError::peBadOptionalMagic},
      {"optional header magic cut", [](TPEBytes& p) { p.Truncate(p.OptionalHeaderOffset() + 1); },
       TPEParseError::peTruncatedOptionalHeader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TPEBytes pe = good;
    c.Corrupt(pe);
    TPEImage image;
    EXPECT_FALSE(image.Parse(pe.Bytes().data(), pe.Size()));
    EXPECT_FALSE(image.IsValid());
    EXPECT_EQ(image.Error(), c.Error);
    EXPECT_TRUE(image.Sections().empty());
    EXPECT_EQ(image.DataDirectoryCount(), 0u);
    EXPECT_FALSE(image.RvaToOffset(0x1000));
  }
}

TEST(PEImage, HostileSectionTablesAreReadWithinTheFile) {
  const TPEBytes good = ThreeSections(TPEKind::pe32).Build();
  struct TCase {
    const char* Name;
    std::function<void(TPEBytes&)> Corrupt;
    std::function<void(const TPEImage&, const TPEBytes&)> Check;
  };
  const TCase cases[] = {
      {"raw data past the end",
       [](TPEBytes& p) { p.SetSectionPointerToRawData(0, 0x10000); },
       [](const TPEImage& i, const TPEBytes&) {
         EXPECT_TRUE(i.SectionRawData(0).empty());
         EXPECT_FALSE(i.RvaToOffset(0x1000));
       }},
      {"raw size near 4 GiB",
       [](TPEBytes& p) { p.SetSectionSizeOfRawData(0, 0xFFFFFFFF); },
       [](const TPEImage& i, const TPEBytes& p) { EXPECT_EQ(i.SectionRawData(0).size(), p.Size() - 0x200); }},
      {"raw offset plus size overflows 32 bits",
       [](TPEBytes& p) { p.SetSectionPointerToRawData(1, 0xFFFFFE00).SetSectionSizeOfRawData(1, 0x400); },
       [](const TPEImage& i, const TPEBytes&) {
         EXPECT_TRUE(i.SectionRawData(1).empty());
         EXPECT_FALSE(i.RvaToOffset(0x2000));
       }},
      {"virtual range overflows 32 bits",
       [](TPEBytes& p) { p.SetSectionVirtualAddress(0, 0xFFFFF000).SetSectionVirtualSize(0, 0x2000); },
       [](const TPEImage& i, const TPEBytes&) {
         EXPECT_EQ(i.RvaToOffset(0xFFFFF010), std::optional<std::uint64_t>(0x210));
         EXPECT_EQ(i.RvaToOffset(0x10), std::optional<std::uint64_t>(0x10)) << "no wrap into the headers";
         EXPECT_EQ(i.SectionOfRva(0x10), std::nullopt);
       }},
      {"alignments 0",
       [](TPEBytes& p) { p.SetFileAlignment(0).SetSectionAlignment(0); },
       [](const TPEImage& i, const TPEBytes&) {
         EXPECT_TRUE(i.HasAnomaly(paZeroAlignment));
         EXPECT_EQ(i.RvaToOffset(0x2000), std::optional<std::uint64_t>(0x600));
       }},
      {"65535 sections declared",
       [](TPEBytes& p) { p.SetNumberOfSections(65535); },
       [](const TPEImage& i, const TPEBytes& p) {
         EXPECT_TRUE(i.HasAnomaly(paSectionTableTruncated));
         EXPECT_EQ(i.Sections().size(), (p.Size() - p.SectionHeaderOffset(0)) / 40);
       }},
      {"SizeOfOptionalHeader puts the table past the end",
       [](TPEBytes& p) { p.SetSizeOfOptionalHeader(0xFFFF); },
       [](const TPEImage& i, const TPEBytes&) {
         EXPECT_TRUE(i.Sections().empty());
         EXPECT_TRUE(i.HasAnomaly(paSectionTableTruncated));
         EXPECT_EQ(i.DataDirectoryCount(), 16u);
       }},
      {"SizeOfOptionalHeader 0 overlaps the table with the optional header",
       [](TPEBytes& p) { p.SetSizeOfOptionalHeader(0); },
       [](const TPEImage& i, const TPEBytes& p) {
         EXPECT_TRUE(i.HasAnomaly(paOptionalHeaderTooSmall));
         EXPECT_EQ(i.SectionTableOffset(), p.OptionalHeaderOffset());
         EXPECT_EQ(i.Sections().size(), 3u);
       }},
      {"NumberOfRvaAndSizes huge",
       [](TPEBytes& p) { p.SetNumberOfRvaAndSizes(0xFFFFFFFF); },
       [](const TPEImage& i, const TPEBytes&) { EXPECT_EQ(i.DataDirectoryCount(), 16u); }},
      {"NumberOfRvaAndSizes 3",
       [](TPEBytes& p) { p.SetNumberOfRvaAndSizes(3); },
       [](const TPEImage& i, const TPEBytes&) {
         EXPECT_EQ(i.DataDirectoryCount(), 3u);
         EXPECT_TRUE(i.DataDirectory(pe::DIRECTORY_ENTRY_RESOURCE));
         EXPECT_FALSE(i.DataDirectory(pe::DIRECTORY_ENTRY_SECURITY));
       }},
      {"directories cut by the end of the file",
       [](TPEBytes& p) { p.Truncate(p.DataDirectoryOffset(5) + 4); },
       [](const TPEImage& i, const TPEBytes&) {
         EXPECT_EQ(i.DataDirectoryCount(), 5u);
         EXPECT_TRUE(i.HasAnomaly(paDirectoriesTruncated));
         EXPECT_TRUE(i.Sections().empty());
       }},
      {"directory pointing far outside",
       [](TPEBytes& p) { p.SetDataDirectory(pe::DIRECTORY_ENTRY_RESOURCE, 0xFFFFFFF0, 0xFFFFFFFF); },
       [](const TPEImage& i, const TPEBytes&) { EXPECT_TRUE(i.RvaData(0xFFFFFFF0, 0xFFFFFFFF).empty()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TPEBytes pe = good;
    c.Corrupt(pe);
    TPEImage image(pe.Bytes());
    ASSERT_TRUE(image.IsValid());
    c.Check(image, pe);
    ExpectSpansInside(image, pe.Bytes());
  }
}

// A loader reads the headers a short file lacks as zeros; so does the reader,
// and marks the image.
TEST(PEImage, OptionalHeaderCutByTheEndOfTheFileReadsAsZeros) {
  for (TPEKind kind : {TPEKind::pe32, TPEKind::pe32Plus}) {
    TPEBytes pe = ThreeSections(kind).Build();
    pe.Truncate(pe.OptionalHeaderOffset() + 40);  // FileAlignment is the last field kept
    TPEImage image(pe.Bytes());
    ASSERT_TRUE(image.IsValid());
    EXPECT_TRUE(image.HasAnomaly(paOptionalHeaderTruncated));
    EXPECT_NE(image.OptionalHeader().FileAlignment, 0u);
    EXPECT_EQ(image.OptionalHeader().SizeOfImage, 0u);
    EXPECT_EQ(image.DataDirectoryCount(), 0u);
    EXPECT_TRUE(image.Sections().empty());
  }
}

TEST(PEImage, EveryTruncationAndRandomHeaderDamageStaysInBounds) {
  const TPEBytes good = ThreeSections(TPEKind::pe32Plus).Build();
  for (std::size_t n = 0; n <= good.Size(); ++n) {
    // A copy of exactly n bytes, so that a read past it is caught by the sanitizers.
    std::vector<std::uint8_t> prefix(good.Bytes().begin(), good.Bytes().begin() + static_cast<std::ptrdiff_t>(n));
    TPEImage image(prefix);
    // An image from the optional header's magic on: a loader reads the rest
    // of the headers that the file lacks as zeros.
    EXPECT_EQ(image.IsValid(), n >= 0x80 + 24 + 2) << n;
    ExpectSpansInside(image, prefix);
  }
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> bytes = good.Bytes();
    for (int k = 0; k < 8; ++k) bytes[rng() % 0x400] = static_cast<std::uint8_t>(rng());
    TPEImage image(bytes);
    ExpectSpansInside(image, bytes);
  }
}

TEST(PEImage, DefaultImageIsInvalidAndSafe) {
  TPEImage image;
  EXPECT_FALSE(image.IsValid());
  EXPECT_FALSE(image.ReadU32(0));
  EXPECT_TRUE(image.SectionRawData(0).empty());
  EXPECT_FALSE(image.Parse(nullptr, 100));
}

TEST(PEImage, BoundsCheckedReads) {
  std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  TPEImage image(bytes);  // not a PE image, but the reads still work on the bytes
  EXPECT_EQ(image.ReadU16(7), std::optional<std::uint16_t>(0x0908));
  EXPECT_FALSE(image.ReadU16(8));
  EXPECT_EQ(image.ReadU32(5), std::optional<std::uint32_t>(0x09080706));
  EXPECT_FALSE(image.ReadU32(6));
  EXPECT_EQ(image.ReadU64(1), std::optional<std::uint64_t>(0x0908070605040302ull));
  EXPECT_FALSE(image.ReadU64(0xFFFFFFFFFFFFFFFCull));
  EXPECT_TRUE(image.Slice(0xFFFFFFFFFFFFFFFFull, 2).empty());
  EXPECT_TRUE(image.Slice(4, 6).empty());
  EXPECT_EQ(image.SliceClipped(4, 0xFFFFFFFFFFFFFFFFull).size(), 5u);
  std::uint8_t out[3];
  EXPECT_TRUE(image.ReadBytes(6, out, 3));
  EXPECT_EQ(out[2], 9);
  EXPECT_FALSE(image.ReadBytes(7, out, 3));
}

// The shared reader under every PE, resource and version read: a value is
// read only when all of its bytes lie in the span, whatever the offset.
TEST(LittleEndianReader, ReadsOnlyWholeValuesInsideTheBytes) {
  const std::vector<std::uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  const std::span<const std::uint8_t> span(bytes);
  constexpr std::uint64_t kHuge = 0xFFFFFFFFFFFFFFFFull;
  EXPECT_EQ(le::ReadU8(span, 8), std::optional<std::uint8_t>(0x09));
  EXPECT_EQ(le::ReadU16(span, 7), std::optional<std::uint16_t>(0x0908));
  EXPECT_EQ(le::ReadU32(span, 5), std::optional<std::uint32_t>(0x09080706));
  EXPECT_EQ(le::ReadU64(span, 1), std::optional<std::uint64_t>(0x0908070605040302ull));
  struct TCase {
    std::uint64_t Offset;
    unsigned Width;
  };
  // One byte short at the end, offsets past it, and offsets whose sum with the
  // width wraps around.
  for (TCase c : {TCase{9, 1}, TCase{8, 2}, TCase{6, 4}, TCase{2, 8}, TCase{10, 1}, TCase{kHuge, 1},
                  TCase{kHuge - 1, 2}, TCase{kHuge - 3, 4}, TCase{kHuge - 7, 8}}) {
    SCOPED_TRACE(c.Offset);
    switch (c.Width) {
      case 1: EXPECT_FALSE(le::ReadU8(span, c.Offset)); break;
      case 2: EXPECT_FALSE(le::ReadU16(span, c.Offset)); break;
      case 4: EXPECT_FALSE(le::ReadU32(span, c.Offset)); break;
      default: EXPECT_FALSE(le::ReadU64(span, c.Offset)); break;
    }
  }
  EXPECT_FALSE(le::ReadU16({}, 0));
  static_assert(le::LoadU32(std::array<std::uint8_t, 4>{0x78, 0x56, 0x34, 0x12}.data()) == 0x12345678u);
}

TEST(AnalyzedFile, ReadsTheSameImageAsTheBytesInMemory) {
  test::TTempDir temp;
  TPEBytes pe = ThreeSections(TPEKind::pe32Plus).SetOverlay(Bytes("overlay")).Build();
  std::string path = temp.WriteFile("app.exe", pe.Bytes());
  auto file = TAnalyzedFile::Open(*runtime::LiveHost(), path);
  const TPEImage& image = file->Image();
  TPEImage memory(pe.Bytes());
  ASSERT_TRUE(image.IsValid());
  EXPECT_TRUE(image.IsPE32Plus());
  EXPECT_EQ(image.FileSize(), pe.Size());
  ASSERT_EQ(image.Sections().size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    auto a = image.SectionRawData(i), b = memory.SectionRawData(i);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << i;
  }
  // Only what was asked for was read, in whole chunks.
  EXPECT_LE(file->MemoryHeld(), 2 * TAnalyzedFile::kChunkSize);

  std::string text = temp.WriteFile("notes.txt", "just text, not a program");
  EXPECT_FALSE(TAnalyzedFile::Open(*runtime::LiveHost(), text)->IsPEImage());
  EXPECT_THROW(TAnalyzedFile::Open(*runtime::LiveHost(), temp / "missing.exe"), runtime::EOSError);
}

}  // namespace
}  // namespace quillmark
