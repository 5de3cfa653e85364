// Builds small PE32 / PE32+ images in memory for test fixtures, and lets a
// test corrupt any header field of the result afterwards.
//
//   auto pe = TPEBuilder(TPEKind::pe32)
//                 .AddSection(".text", Bytes("\x90\xC3"), kCodeSection)
//                 .AddSection(".rsrc", resourceBytes, kDataSection)
//                 .SetDataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE, rva, size)
//                 .Build();
//   pe.SetLfanew(0x7FFFFFF0);
//   temp.WriteFile("bad.exe", pe.Bytes());
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/pe_image.h"

namespace quillmark::test {

enum class TPEKind { pe32, pe32Plus };

constexpr std::uint32_t kCodeSection = pe::SCN_CNT_CODE | pe::SCN_MEM_EXECUTE | pe::SCN_MEM_READ;
constexpr std::uint32_t kDataSection = pe::SCN_CNT_INITIALIZED_DATA | pe::SCN_MEM_READ | pe::SCN_MEM_WRITE;
constexpr std::uint32_t kReadOnlyDataSection = pe::SCN_CNT_INITIALIZED_DATA | pe::SCN_MEM_READ;

std::vector<std::uint8_t> Bytes(std::string_view text);
// n bytes that vary (seed, seed + step, seed + 2 * step ...), for section and
// certificate contents that must not be all alike.
std::vector<std::uint8_t> Filled(std::size_t n, std::uint8_t seed, unsigned step = 7);

// A built image: its bytes and where each structure lies, with setters that
// overwrite fields in place.
class TPEBytes {
 public:
  std::vector<std::uint8_t>& Bytes() { return FBytes; }
  const std::vector<std::uint8_t>& Bytes() const { return FBytes; }
  std::size_t Size() const { return FBytes.size(); }

  std::size_t NtHeadersOffset() const { return FNtHeaders; }
  std::size_t FileHeaderOffset() const { return FNtHeaders + 4; }
  std::size_t OptionalHeaderOffset() const { return FNtHeaders + 24; }
  std::size_t CheckSumOffset() const { return OptionalHeaderOffset() + 64; }
  std::size_t DataDirectoryOffset(unsigned index) const;
  std::size_t SectionHeaderOffset(std::size_t i) const { return FSectionTable + 40 * i; }
  std::size_t SectionCount() const { return FSectionRaw.size(); }
  // File offset and RVA of section i's data as built.
  std::size_t SectionRawOffset(std::size_t i) const { return FSectionRaw.at(i); }
  std::uint32_t SectionRva(std::size_t i) const { return FSectionRva.at(i); }
  // File offset where appended overlay bytes start.
  std::size_t OverlayOffset() const { return FOverlay; }

  // Raw writes (little-endian); the image grows when the write reaches past its end.
  TPEBytes& SetU8(std::size_t offset, std::uint8_t v);
  TPEBytes& SetU16(std::size_t offset, std::uint16_t v);
  TPEBytes& SetU32(std::size_t offset, std::uint32_t v);
  TPEBytes& SetU64(std::size_t offset, std::uint64_t v);

  // DOS header.
  TPEBytes& SetDosMagic(std::uint16_t v) { return SetU16(0, v); }
  TPEBytes& SetDosPages(std::uint16_t e_cp, std::uint16_t e_cblp) { return SetU16(4, e_cp).SetU16(2, e_cblp); }
  TPEBytes& SetDosRelocationOffset(std::uint16_t e_lfarlc) { return SetU16(24, e_lfarlc); }
  TPEBytes& SetLfanew(std::uint32_t v) { return SetU32(60, v); }
  // NT headers.
  TPEBytes& SetNtSignature(std::uint32_t v) { return SetU32(FNtHeaders, v); }
  TPEBytes& SetNumberOfSections(std::uint16_t v) { return SetU16(FileHeaderOffset() + 2, v); }
  TPEBytes& SetSizeOfOptionalHeader(std::uint16_t v) { return SetU16(FileHeaderOffset() + 16, v); }
  TPEBytes& SetOptionalMagic(std::uint16_t v) { return SetU16(OptionalHeaderOffset(), v); }
  TPEBytes& SetSectionAlignment(std::uint32_t v) { return SetU32(OptionalHeaderOffset() + 32, v); }
  TPEBytes& SetFileAlignment(std::uint32_t v) { return SetU32(OptionalHeaderOffset() + 36, v); }
  TPEBytes& SetSizeOfHeaders(std::uint32_t v) { return SetU32(OptionalHeaderOffset() + 60, v); }
  TPEBytes& SetCheckSum(std::uint32_t v) { return SetU32(CheckSumOffset(), v); }
  TPEBytes& SetNumberOfRvaAndSizes(std::uint32_t v);
  TPEBytes& SetDataDirectory(unsigned index, std::uint32_t rva, std::uint32_t size);
  // Section headers.
  TPEBytes& SetSectionVirtualSize(std::size_t i, std::uint32_t v) { return SetU32(SectionHeaderOffset(i) + 8, v); }
  TPEBytes& SetSectionVirtualAddress(std::size_t i, std::uint32_t v) { return SetU32(SectionHeaderOffset(i) + 12, v); }
  TPEBytes& SetSectionSizeOfRawData(std::size_t i, std::uint32_t v) { return SetU32(SectionHeaderOffset(i) + 16, v); }
  TPEBytes& SetSectionPointerToRawData(std::size_t i, std::uint32_t v) { return SetU32(SectionHeaderOffset(i) + 20, v); }
  TPEBytes& SetSectionCharacteristics(std::size_t i, std::uint32_t v) { return SetU32(SectionHeaderOffset(i) + 36, v); }

  TPEBytes& Truncate(std::size_t size);
  TPEBytes& Append(std::span<const std::uint8_t> bytes);

 private:
  friend class TPEBuilder;
  std::vector<std::uint8_t> FBytes;
  bool FPlus = false;
  std::size_t FNtHeaders = 0;
  std::size_t FSectionTable = 0;
  std::size_t FOverlay = 0;
  std::vector<std::size_t> FSectionRaw;
  std::vector<std::uint32_t> FSectionRva;
};

class TPEBuilder {
 public:
  explicit TPEBuilder(TPEKind kind = TPEKind::pe32);

  // Adds a section holding data; virtualSize 0 means the data's size. An empty
  // section has no raw data (PointerToRawData and SizeOfRawData 0).
  TPEBuilder& AddSection(std::string name, std::vector<std::uint8_t> data, std::uint32_t characteristics = kCodeSection,
                         std::uint32_t virtualSize = 0);
  TPEBuilder& SetDataDirectory(unsigned index, std::uint32_t rva, std::uint32_t size);
  TPEBuilder& SetMachine(std::uint16_t v) { FMachine = v; return *this; }
  TPEBuilder& SetCharacteristics(std::uint16_t v) { FCharacteristics = v; return *this; }
  TPEBuilder& SetSubsystem(std::uint16_t v) { FSubsystem = v; return *this; }
  TPEBuilder& SetImageBase(std::uint64_t v) { FImageBase = v; return *this; }
  // Alignments used for the layout and written to the header (must not be 0;
  // corrupt the built header to test 0).
  TPEBuilder& SetAlignment(std::uint32_t file, std::uint32_t section);
  // NumberOfRvaAndSizes written to the header (the optional header always has
  // room for sixteen entries).
  TPEBuilder& SetNumberOfRvaAndSizes(std::uint32_t v) { FNumberOfRvaAndSizes = v; return *this; }
  // Bytes appended after the last section (an overlay, a certificate table).
  TPEBuilder& SetOverlay(std::vector<std::uint8_t> bytes) { FOverlay = std::move(bytes); return *this; }

  // RVA the section with this index will get (sections added so far).
  std::uint32_t SectionRva(std::size_t index) const;

  TPEBytes Build() const;

 private:
  struct TSection {
    std::string Name;
    std::vector<std::uint8_t> Data;
    std::uint32_t Characteristics;
    std::uint32_t VirtualSize;
  };
  std::size_t HeadersSize() const;

  TPEKind FKind;
  std::vector<TSection> FSections;
  std::uint32_t FDirectories[16][2] = {};
  std::uint16_t FMachine;
  std::uint16_t FCharacteristics = pe::FILE_EXECUTABLE_IMAGE;
  std::uint16_t FSubsystem = pe::SUBSYSTEM_WINDOWS_GUI;
  std::uint64_t FImageBase;
  std::uint32_t FFileAlignment = 0x200;
  std::uint32_t FSectionAlignment = 0x1000;
  std::uint32_t FNumberOfRvaAndSizes = 16;
  std::vector<std::uint8_t> FOverlay;
};

}  // namespace quillmark::test
