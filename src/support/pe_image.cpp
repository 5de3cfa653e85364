#include "support/pe_image.h"

#include <algorithm>
#include <cstring>

#include "support/le_reader.h"

namespace quillmark {

namespace {

// Offsets inside the optional header.
constexpr std::uint64_t kOptSizeOfCode = 4;
constexpr std::uint64_t kOptAddressOfEntryPoint = 16;
constexpr std::uint64_t kOptBaseOfCode = 20;
constexpr std::uint64_t kOptImageBase32 = 28;
constexpr std::uint64_t kOptImageBase64 = 24;
constexpr std::uint64_t kOptSectionAlignment = 32;
constexpr std::uint64_t kOptFileAlignment = 36;
constexpr std::uint64_t kOptMajorOperatingSystemVersion = 40;
constexpr std::uint64_t kOptMajorSubsystemVersion = 48;
constexpr std::uint64_t kOptSizeOfImage = 56;
constexpr std::uint64_t kOptSizeOfHeaders = 60;
constexpr std::uint64_t kOptCheckSum = 64;
constexpr std::uint64_t kOptSubsystem = 68;
constexpr std::uint64_t kOptDllCharacteristics = 70;
constexpr std::uint64_t kOptNumberOfRvaAndSizes32 = 92;
constexpr std::uint64_t kOptNumberOfRvaAndSizes64 = 108;

constexpr std::uint64_t kDosLfanew = 60;

using le::LoadU16;
using le::LoadU32;
using le::LoadU64;

// Bytes of the section's virtual range that the file supplies.
std::uint64_t LoadedRawSize(const TImageSection& s) {
  std::uint64_t extent = s.VirtualSize != 0 ? s.VirtualSize : s.SizeOfRawData;
  return std::min<std::uint64_t>(extent, s.SizeOfRawData);
}

}  // namespace

void TPEImage::Reset() {
  FData = {};
  FSource = nullptr;
  FSize = 0;
  FParsed = false;
  FError = TPEParseError::peTooSmall;
  FAnomalies = paNone;
  FNtHeadersOffset = 0;
  FFileHeader = {};
  FOptional = {};
  FDirectories.clear();
  FSections.clear();
}

bool TPEImage::Parse(std::span<const std::uint8_t> data) {
  Reset();
  FData = data;
  FSize = data.size();
  return ParseHeaders();
}

bool TPEImage::Parse(const IImageBytes& source) {
  Reset();
  FSource = &source;
  FSize = source.Size();
  return ParseHeaders();
}

bool TPEImage::ParseHeaders() {
  if (FSize < pe::SIZEOF_DOS_HEADER) return Fail(TPEParseError::peTooSmall);
  if (*ReadU16(0) != pe::DOS_SIGNATURE) return Fail(TPEParseError::peNoDosSignature);

  FNtHeadersOffset = *ReadU32(kDosLfanew);
  if (Slice(FNtHeadersOffset, 4 + pe::SIZEOF_FILE_HEADER).empty()) return Fail(TPEParseError::peBadNtHeadersOffset);
  if (*ReadU32(FNtHeadersOffset) != pe::NT_SIGNATURE) return Fail(TPEParseError::peNoNtSignature);

  const std::uint8_t* fh = Slice(FileHeaderOffset(), pe::SIZEOF_FILE_HEADER).data();
  FFileHeader.Machine = LoadU16(fh + 0);
  FFileHeader.NumberOfSections = LoadU16(fh + 2);
  FFileHeader.TimeDateStamp = LoadU32(fh + 4);
  FFileHeader.PointerToSymbolTable = LoadU32(fh + 8);
  FFileHeader.NumberOfSymbols = LoadU32(fh + 12);
  FFileHeader.SizeOfOptionalHeader = LoadU16(fh + 16);
  FFileHeader.Characteristics = LoadU16(fh + 18);

  const std::uint64_t opt = OptionalHeaderOffset();
  auto magic = ReadU16(opt);
  if (!magic) return Fail(TPEParseError::peTruncatedOptionalHeader);
  if (*magic != pe::NT_OPTIONAL_HDR32_MAGIC && *magic != pe::NT_OPTIONAL_HDR64_MAGIC)
    return Fail(TPEParseError::peBadOptionalMagic);
  const bool plus = *magic == pe::NT_OPTIONAL_HDR64_MAGIC;
  const std::uint64_t fixed = plus ? pe::SIZEOF_NT_OPTIONAL64_FIXED : pe::SIZEOF_NT_OPTIONAL32_FIXED;
  // A loader reads what the file lacks of the headers as zeros; so does this
  // reader, and tiny or packed files that end inside the optional header are
  // read as the images they are.
  std::uint8_t o[pe::SIZEOF_NT_OPTIONAL64_FIXED] = {};
  {
    auto oh = SliceClipped(opt, fixed);
    if (oh.size() < fixed) FAnomalies |= paOptionalHeaderTruncated;
    if (!oh.empty()) std::memcpy(o, oh.data(), oh.size());
  }

  FOptional.Magic = *magic;
  FOptional.SizeOfCode = LoadU32(o + kOptSizeOfCode);
  FOptional.AddressOfEntryPoint = LoadU32(o + kOptAddressOfEntryPoint);
  FOptional.BaseOfCode = LoadU32(o + kOptBaseOfCode);
  FOptional.ImageBase = plus ? LoadU64(o + kOptImageBase64) : LoadU32(o + kOptImageBase32);
  FOptional.SectionAlignment = LoadU32(o + kOptSectionAlignment);
  FOptional.FileAlignment = LoadU32(o + kOptFileAlignment);
  FOptional.MajorOperatingSystemVersion = LoadU16(o + kOptMajorOperatingSystemVersion);
  FOptional.MinorOperatingSystemVersion = LoadU16(o + kOptMajorOperatingSystemVersion + 2);
  FOptional.MajorSubsystemVersion = LoadU16(o + kOptMajorSubsystemVersion);
  FOptional.MinorSubsystemVersion = LoadU16(o + kOptMajorSubsystemVersion + 2);
  FOptional.SizeOfImage = LoadU32(o + kOptSizeOfImage);
  FOptional.SizeOfHeaders = LoadU32(o + kOptSizeOfHeaders);
  FOptional.CheckSum = LoadU32(o + kOptCheckSum);
  FOptional.Subsystem = LoadU16(o + kOptSubsystem);
  FOptional.DllCharacteristics = LoadU16(o + kOptDllCharacteristics);
  FOptional.NumberOfRvaAndSizes = LoadU32(o + (plus ? kOptNumberOfRvaAndSizes64 : kOptNumberOfRvaAndSizes32));
  if (FOptional.FileAlignment == 0 || FOptional.SectionAlignment == 0) FAnomalies |= paZeroAlignment;

  // Data directories: as many as declared, at most sixteen, while in the file.
  const std::size_t declared =
      std::min<std::uint64_t>(FOptional.NumberOfRvaAndSizes, pe::NUMBEROF_DIRECTORY_ENTRIES);
  for (unsigned i = 0; i < declared; ++i) {
    std::uint64_t at = DataDirectoryEntryOffset(i);
    auto entry = Slice(at, 8);
    if (entry.empty()) {
      FAnomalies |= paDirectoriesTruncated;
      break;
    }
    FDirectories.push_back({LoadU32(entry.data()), LoadU32(entry.data() + 4), at});
  }
  if (FFileHeader.SizeOfOptionalHeader < fixed + 8 * declared) FAnomalies |= paOptionalHeaderTooSmall;

  // Section table: the headers that lie wholly in the file.
  const std::uint64_t table = SectionTableOffset();
  const std::uint64_t room = table < FSize ? (FSize - table) / pe::SIZEOF_SECTION_HEADER : 0;
  std::uint64_t count = std::min<std::uint64_t>(FFileHeader.NumberOfSections, room);
  auto tableBytes = Slice(table, count * pe::SIZEOF_SECTION_HEADER);
  if (tableBytes.empty()) count = 0;
  if (count < FFileHeader.NumberOfSections) FAnomalies |= paSectionTableTruncated;
  FSections.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = table + i * pe::SIZEOF_SECTION_HEADER;
    const std::uint8_t* sh = tableBytes.data() + i * pe::SIZEOF_SECTION_HEADER;
    TImageSection s;
    std::size_t len = 0;
    while (len < pe::SIZEOF_SHORT_NAME && sh[len] != 0) ++len;
    s.Name.assign(reinterpret_cast<const char*>(sh), len);
    s.VirtualSize = LoadU32(sh + 8);
    s.VirtualAddress = LoadU32(sh + 12);
    s.SizeOfRawData = LoadU32(sh + 16);
    s.PointerToRawData = LoadU32(sh + 20);
    s.Characteristics = LoadU32(sh + 36);
    s.HeaderOffset = at;
    FSections.push_back(std::move(s));
  }

  FParsed = true;
  FError = TPEParseError::peNone;
  return true;
}

std::optional<TImageDataDirectory> TPEImage::DataDirectory(unsigned index) const {
  if (index >= FDirectories.size()) return std::nullopt;
  return FDirectories[index];
}

std::uint64_t TPEImage::DataDirectoryEntryOffset(unsigned index) const {
  const std::uint64_t fixed = IsPE32Plus() ? pe::SIZEOF_NT_OPTIONAL64_FIXED : pe::SIZEOF_NT_OPTIONAL32_FIXED;
  return OptionalHeaderOffset() + fixed + 8 * std::uint64_t{index};
}

std::pair<std::uint64_t, std::uint64_t> TPEImage::SectionRawRange(std::size_t i) const {
  if (i >= FSections.size()) return {0, 0};
  const std::uint64_t start = FSections[i].PointerToRawData;
  if (start >= FSize) return {start, 0};
  return {start, std::min<std::uint64_t>(FSections[i].SizeOfRawData, FSize - start)};
}

std::span<const std::uint8_t> TPEImage::SectionRawData(std::size_t i) const {
  if (i >= FSections.size()) return {};
  return SliceClipped(FSections[i].PointerToRawData, FSections[i].SizeOfRawData);
}

std::optional<std::size_t> TPEImage::SectionOfRva(std::uint32_t rva) const {
  for (std::size_t i = 0; i < FSections.size(); ++i) {
    const TImageSection& s = FSections[i];
    std::uint64_t extent = s.VirtualSize != 0 ? s.VirtualSize : s.SizeOfRawData;
    if (rva >= s.VirtualAddress && std::uint64_t{rva} - s.VirtualAddress < extent) return i;
  }
  return std::nullopt;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> TPEImage::RvaRange(std::uint32_t rva, std::uint32_t size) const {
  if (!IsValid()) return std::nullopt;
  std::uint64_t offset = 0, length = 0;
  if (auto i = SectionOfRva(rva)) {
    const TImageSection& s = FSections[*i];
    const std::uint64_t delta = std::uint64_t{rva} - s.VirtualAddress;
    const std::uint64_t loaded = LoadedRawSize(s);
    if (delta >= loaded) return std::nullopt;
    offset = std::uint64_t{s.PointerToRawData} + delta;
    length = std::min<std::uint64_t>(size, loaded - delta);
  } else if (rva < FOptional.SizeOfHeaders) {
    offset = rva;
    length = std::min<std::uint64_t>(size, FOptional.SizeOfHeaders - rva);
  } else {
    return std::nullopt;
  }
  if (offset >= FSize) return std::nullopt;
  return std::make_pair(offset, std::min<std::uint64_t>(length, FSize - offset));
}

std::span<const std::uint8_t> TPEImage::RvaData(std::uint32_t rva, std::uint32_t size) const {
  auto range = RvaRange(rva, size);
  if (!range || range->second == 0) return {};
  return Slice(range->first, range->second);
}

std::optional<std::uint64_t> TPEImage::RvaToOffset(std::uint32_t rva) const {
  auto range = RvaRange(rva, 1);
  if (!range || range->second == 0) return std::nullopt;
  return range->first;
}

std::span<const std::uint8_t> TPEImage::Bytes(std::uint64_t offset, std::uint64_t size) const {
  if (!FSource) return FData.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
  if (size == 0) return {};
  auto bytes = FSource->Range(offset, size);
  if (bytes.size() != size) {
    FAnomalies |= paReadLimit;
    return {};
  }
  return bytes;
}

std::span<const std::uint8_t> TPEImage::Slice(std::uint64_t offset, std::uint64_t size) const {
  if (offset > FSize || size > FSize - offset) return {};
  return Bytes(offset, size);
}

std::span<const std::uint8_t> TPEImage::SliceClipped(std::uint64_t offset, std::uint64_t size) const {
  if (offset >= FSize) return {};
  return Slice(offset, std::min<std::uint64_t>(size, FSize - offset));
}

bool TPEImage::ReadBytes(std::uint64_t offset, void* out, std::size_t size) const {
  auto bytes = Slice(offset, size);
  if (bytes.size() != size) return false;
  if (size) std::memcpy(out, bytes.data(), size);
  return true;
}

std::optional<std::uint16_t> TPEImage::ReadU16(std::uint64_t offset) const {
  return le::ReadU16(Slice(offset, 2), 0);
}

std::optional<std::uint32_t> TPEImage::ReadU32(std::uint64_t offset) const {
  return le::ReadU32(Slice(offset, 4), 0);
}

std::optional<std::uint64_t> TPEImage::ReadU64(std::uint64_t offset) const {
  return le::ReadU64(Slice(offset, 8), 0);
}

}  // namespace quillmark
