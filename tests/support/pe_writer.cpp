#include "support/pe_writer.h"

#include <algorithm>
#include <stdexcept>

namespace quillmark::test {

namespace {

constexpr std::size_t kNtHeadersAt = 0x80;

std::size_t AlignUp(std::size_t n, std::size_t alignment) { return (n + alignment - 1) / alignment * alignment; }

// A DOS stub that prints the usual message and exits.
constexpr std::uint8_t kDosStub[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD,
                                     0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
constexpr std::string_view kDosMessage = "This program cannot be run in DOS mode.\r\r\n$";

}  // namespace

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> Filled(std::size_t n, std::uint8_t seed, unsigned step) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * step);
  return v;
}

// --- TPEBytes -----------------------------------------------------------------------

std::size_t TPEBytes::DataDirectoryOffset(unsigned index) const {
  return OptionalHeaderOffset() + (FPlus ? pe::SIZEOF_NT_OPTIONAL64_FIXED : pe::SIZEOF_NT_OPTIONAL32_FIXED) +
         8 * std::size_t{index};
}

TPEBytes& TPEBytes::SetU8(std::size_t offset, std::uint8_t v) {
  if (offset >= FBytes.size()) FBytes.resize(offset + 1);
  FBytes[offset] = v;
  return *this;
}

TPEBytes& TPEBytes::SetU16(std::size_t offset, std::uint16_t v) {
  return SetU8(offset, static_cast<std::uint8_t>(v)).SetU8(offset + 1, static_cast<std::uint8_t>(v >> 8));
}

TPEBytes& TPEBytes::SetU32(std::size_t offset, std::uint32_t v) {
  return SetU16(offset, static_cast<std::uint16_t>(v)).SetU16(offset + 2, static_cast<std::uint16_t>(v >> 16));
}

TPEBytes& TPEBytes::SetU64(std::size_t offset, std::uint64_t v) {
  return SetU32(offset, static_cast<std::uint32_t>(v)).SetU32(offset + 4, static_cast<std::uint32_t>(v >> 32));
}

TPEBytes& TPEBytes::SetNumberOfRvaAndSizes(std::uint32_t v) {
  return SetU32(OptionalHeaderOffset() + (FPlus ? 108 : 92), v);
}

TPEBytes& TPEBytes::SetDataDirectory(unsigned index, std::uint32_t rva, std::uint32_t size) {
  return SetU32(DataDirectoryOffset(index), rva).SetU32(DataDirectoryOffset(index) + 4, size);
}

TPEBytes& TPEBytes::Truncate(std::size_t size) {
  FBytes.resize(std::min(size, FBytes.size()));
  return *this;
}

TPEBytes& TPEBytes::Append(std::span<const std::uint8_t> bytes) {
  FBytes.insert(FBytes.end(), bytes.begin(), bytes.end());
  return *this;
}

// --- TPEBuilder ---------------------------------------------------------------------

TPEBuilder::TPEBuilder(TPEKind kind)
    : FKind(kind),
      FMachine(kind == TPEKind::pe32 ? pe::FILE_MACHINE_I386 : pe::FILE_MACHINE_AMD64),
      FImageBase(kind == TPEKind::pe32 ? 0x400000 : 0x140000000) {}

TPEBuilder& TPEBuilder::AddSection(std::string name, std::vector<std::uint8_t> data, std::uint32_t characteristics,
                                   std::uint32_t virtualSize) {
  if (name.size() > pe::SIZEOF_SHORT_NAME) throw std::invalid_argument("section name longer than 8 bytes");
  FSections.push_back({std::move(name), std::move(data), characteristics, virtualSize});
  return *this;
}

TPEBuilder& TPEBuilder::SetDataDirectory(unsigned index, std::uint32_t rva, std::uint32_t size) {
  if (index >= 16) throw std::out_of_range("data directory index");
  FDirectories[index][0] = rva;
  FDirectories[index][1] = size;
  return *this;
}

TPEBuilder& TPEBuilder::SetAlignment(std::uint32_t file, std::uint32_t section) {
  if (file == 0 || section == 0) throw std::invalid_argument("alignment 0");
  FFileAlignment = file;
  FSectionAlignment = section;
  return *this;
}

std::size_t TPEBuilder::HeadersSize() const {
  std::size_t optional = FKind == TPEKind::pe32 ? pe::SIZEOF_NT_OPTIONAL32_HEADER : pe::SIZEOF_NT_OPTIONAL64_HEADER;
  return AlignUp(kNtHeadersAt + 24 + optional + 40 * FSections.size(), FFileAlignment);
}

std::uint32_t TPEBuilder::SectionRva(std::size_t index) const {
  std::size_t rva = AlignUp(HeadersSize(), FSectionAlignment);
  for (std::size_t i = 0; i < index && i < FSections.size(); ++i) {
    std::size_t vsize = FSections[i].VirtualSize ? FSections[i].VirtualSize : FSections[i].Data.size();
    rva += AlignUp(std::max<std::size_t>(vsize, 1), FSectionAlignment);
  }
  return static_cast<std::uint32_t>(rva);
}

TPEBytes TPEBuilder::Build() const {
  const bool plus = FKind == TPEKind::pe32Plus;
  const std::size_t optionalSize = plus ? pe::SIZEOF_NT_OPTIONAL64_HEADER : pe::SIZEOF_NT_OPTIONAL32_HEADER;
  const std::size_t headers = HeadersSize();

  TPEBytes pe;
  pe.FPlus = plus;
  pe.FNtHeaders = kNtHeadersAt;
  pe.FSectionTable = kNtHeadersAt + 24 + optionalSize;
  pe.FBytes.assign(headers, 0);

  // DOS header and stub: one 128-byte page, relocations at 0x40.
  pe.SetDosMagic(pe::DOS_SIGNATURE).SetDosPages(1, 0x80).SetU16(8, 4).SetU16(12, 0xFFFF).SetU16(16, 0xB8);
  pe.SetDosRelocationOffset(0x40).SetLfanew(kNtHeadersAt);
  std::copy(std::begin(kDosStub), std::end(kDosStub), pe.FBytes.begin() + 0x40);
  std::copy(kDosMessage.begin(), kDosMessage.end(), pe.FBytes.begin() + 0x40 + sizeof kDosStub);

  // Sections: raw data in file order, virtual ranges in the same order.
  std::size_t raw = headers;
  std::uint32_t entryPoint = 0, sizeOfCode = 0, baseOfCode = 0;
  for (std::size_t i = 0; i < FSections.size(); ++i) {
    const TSection& s = FSections[i];
    const std::uint32_t rva = SectionRva(i);
    const std::size_t rawSize = AlignUp(s.Data.size(), FFileAlignment);
    const std::size_t at = pe.SectionHeaderOffset(i);
    for (std::size_t c = 0; c < s.Name.size(); ++c) pe.SetU8(at + c, static_cast<std::uint8_t>(s.Name[c]));
    pe.SetU32(at + 8, s.VirtualSize ? s.VirtualSize : static_cast<std::uint32_t>(s.Data.size()));
    pe.SetU32(at + 12, rva);
    pe.SetU32(at + 16, static_cast<std::uint32_t>(rawSize));
    pe.SetU32(at + 20, rawSize ? static_cast<std::uint32_t>(raw) : 0);
    pe.SetU32(at + 36, s.Characteristics);
    pe.FSectionRva.push_back(rva);
    pe.FSectionRaw.push_back(rawSize ? raw : 0);
    if (rawSize) {
      pe.FBytes.resize(raw + rawSize, 0);
      std::copy(s.Data.begin(), s.Data.end(), pe.FBytes.begin() + static_cast<std::ptrdiff_t>(raw));
      raw += rawSize;
    }
    if (s.Characteristics & pe::SCN_CNT_CODE) {
      if (!entryPoint) entryPoint = baseOfCode = rva;
      sizeOfCode += static_cast<std::uint32_t>(rawSize);
    }
  }
  pe.FOverlay = pe.FBytes.size();
  pe.Append(FOverlay);

  // NT headers.
  const std::size_t fh = pe.FileHeaderOffset(), oh = pe.OptionalHeaderOffset();
  pe.SetNtSignature(pe::NT_SIGNATURE);
  pe.SetU16(fh + 0, FMachine);
  pe.SetU16(fh + 2, static_cast<std::uint16_t>(FSections.size()));
  pe.SetU32(fh + 4, 0x5F5E1000);
  pe.SetU16(fh + 16, static_cast<std::uint16_t>(optionalSize));
  pe.SetU16(fh + 18, static_cast<std::uint16_t>(FCharacteristics | (plus ? 0x0020 : 0x0100)));

  pe.SetU16(oh + 0, plus ? pe::NT_OPTIONAL_HDR64_MAGIC : pe::NT_OPTIONAL_HDR32_MAGIC);
  pe.SetU8(oh + 2, 14);
  pe.SetU32(oh + 4, sizeOfCode);
  pe.SetU32(oh + 16, entryPoint);
  pe.SetU32(oh + 20, baseOfCode);
  if (plus) pe.SetU64(oh + 24, FImageBase);
  else pe.SetU32(oh + 28, static_cast<std::uint32_t>(FImageBase));
  pe.SetSectionAlignment(FSectionAlignment).SetFileAlignment(FFileAlignment);
  pe.SetU16(oh + 40, 6).SetU16(oh + 48, 6);
  pe.SetU32(oh + 56, SectionRva(FSections.size()));
  pe.SetSizeOfHeaders(static_cast<std::uint32_t>(headers));
  pe.SetU16(oh + 68, FSubsystem);
  pe.SetU16(oh + 70, 0x8140);  // dynamic base, NX compatible, terminal-server aware
  const std::size_t stack = plus ? 8 : 4;
  pe.SetU32(oh + 72, 0x100000).SetU32(oh + 72 + stack, 0x1000);
  pe.SetU32(oh + 72 + 2 * stack, 0x100000).SetU32(oh + 72 + 3 * stack, 0x1000);
  pe.SetNumberOfRvaAndSizes(FNumberOfRvaAndSizes);
  for (unsigned d = 0; d < 16; ++d) pe.SetDataDirectory(d, FDirectories[d][0], FDirectories[d][1]);
  return pe;
}

}  // namespace quillmark::test
