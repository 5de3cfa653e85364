#include "support/pe_image.h"

#include <algorithm>
#include <cstring>


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

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint64_t U64(const std::uint8_t* p) { return std::uint64_t{U32(p)} | (std::uint64_t{U32(p + 4)} << 32); }

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
  FFileHeader.Machine = U16(fh + 0);
  FFileHeader.NumberOfSections = U16(fh + 2);
  FFileHeader.TimeDateStamp = U32(fh + 4);
  FFileHeader.PointerToSymbolTable = U32(fh + 8);
  FFileHeader.NumberOfSymbols = U32(fh + 12);
  FFileHeader.SizeOfOptionalHeader = U16(fh + 16);
  FFileHeader.Characteristics = U16(fh + 18);

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
  FOptional.SizeOfCode = U32(o + kOptSizeOfCode);
  FOptional.AddressOfEntryPoint = U32(o + kOptAddressOfEntryPoint);
  FOptional.BaseOfCode = U32(o + kOptBaseOfCode);
  FOptional.ImageBase = plus ? U64(o + kOptImageBase64) : U32(o + kOptImageBase32);
  FOptional.SectionAlignment = U32(o + kOptSectionAlignment);
  FOptional.FileAlignment = U32(o + kOptFileAlignment);
  FOptional.MajorOperatingSystemVersion = U16(o + kOptMajorOperatingSystemVersion);
  FOptional.MinorOperatingSystemVersion = U16(o + kOptMajorOperatingSystemVersion + 2);
  FOptional.MajorSubsystemVersion = U16(o + kOptMajorSubsystemVersion);
  FOptional.MinorSubsystemVersion = U16(o + kOptMajorSubsystemVersion + 2);
  FOptional.SizeOfImage = U32(o + kOptSizeOfImage);
  FOptional.SizeOfHeaders = U32(o + kOptSizeOfHeaders);
  FOptional.CheckSum = U32(o + kOptCheckSum);
  FOptional.Subsystem = U16(o + kOptSubsystem);
  FOptional.DllCharacteristics = U16(o + kOptDllCharacteristics);
  FOptional.NumberOfRvaAndSizes = U32(o + (plus ? kOptNumberOfRvaAndSizes64 : kOptNumberOfRvaAndSizes32));
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
    FDirectories.push_back({U32(entry.data()), U32(entry.data() + 4), at});
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
    s.VirtualSize = U32(sh + 8);
    s.VirtualAddress = U32(sh + 12);
    s.SizeOfRawData = U32(sh + 16);
    s.PointerToRawData = U32(sh + 20);
    s.Characteristics = U32(sh + 36);
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
  auto b = Slice(offset, 2);
  if (b.empty()) return std::nullopt;
  return U16(b.data());
}

std::optional<std::uint32_t> TPEImage::ReadU32(std::uint64_t offset) const {
  auto b = Slice(offset, 4);
  if (b.empty()) return std::nullopt;
  return U32(b.data());
}

std::optional<std::uint64_t> TPEImage::ReadU64(std::uint64_t offset) const {
  auto b = Slice(offset, 8);
  if (b.empty()) return std::nullopt;
  return U64(b.data());
}

}  // namespace quillmark
