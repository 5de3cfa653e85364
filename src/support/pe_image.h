// A bounds-checked reader of PE/COFF images. It only ever reads the bytes it
// is given: every offset, size and count taken from the file is checked, and
// malformed input makes Parse answer false rather than throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillmark {

// PE/COFF format constants, named as in the format's documentation without
// the IMAGE_ prefix: <windows.h> defines the IMAGE_ names as macros (plain
// ints), which would replace these typed constants in any source that sees it.
namespace pe {

constexpr std::uint16_t DOS_SIGNATURE = 0x5A4D;     // "MZ"
constexpr std::uint32_t NT_SIGNATURE = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t NT_OPTIONAL_HDR32_MAGIC = 0x10B;
constexpr std::uint16_t NT_OPTIONAL_HDR64_MAGIC = 0x20B;
constexpr std::size_t SIZEOF_DOS_HEADER = 64;
constexpr std::size_t SIZEOF_FILE_HEADER = 20;
constexpr std::size_t SIZEOF_SECTION_HEADER = 40;
constexpr std::size_t SIZEOF_SHORT_NAME = 8;
constexpr std::size_t NUMBEROF_DIRECTORY_ENTRIES = 16;
// Optional header sizes up to the data directories, and with all sixteen.
constexpr std::size_t SIZEOF_NT_OPTIONAL32_FIXED = 96;
constexpr std::size_t SIZEOF_NT_OPTIONAL64_FIXED = 112;
constexpr std::size_t SIZEOF_NT_OPTIONAL32_HEADER = 224;
constexpr std::size_t SIZEOF_NT_OPTIONAL64_HEADER = 240;

enum TImageDirectoryEntry : unsigned {
  DIRECTORY_ENTRY_EXPORT = 0,
  DIRECTORY_ENTRY_IMPORT = 1,
  DIRECTORY_ENTRY_RESOURCE = 2,
  DIRECTORY_ENTRY_EXCEPTION = 3,
  DIRECTORY_ENTRY_SECURITY = 4,
  DIRECTORY_ENTRY_BASERELOC = 5,
  DIRECTORY_ENTRY_DEBUG = 6,
  DIRECTORY_ENTRY_ARCHITECTURE = 7,
  DIRECTORY_ENTRY_GLOBALPTR = 8,
  DIRECTORY_ENTRY_TLS = 9,
  DIRECTORY_ENTRY_LOAD_CONFIG = 10,
  DIRECTORY_ENTRY_BOUND_IMPORT = 11,
  DIRECTORY_ENTRY_IAT = 12,
  DIRECTORY_ENTRY_DELAY_IMPORT = 13,
  DIRECTORY_ENTRY_COM_DESCRIPTOR = 14,
};

// Section characteristics.
constexpr std::uint32_t SCN_CNT_CODE = 0x00000020;
constexpr std::uint32_t SCN_CNT_INITIALIZED_DATA = 0x00000040;
constexpr std::uint32_t SCN_CNT_UNINITIALIZED_DATA = 0x00000080;
constexpr std::uint32_t SCN_MEM_EXECUTE = 0x20000000;
constexpr std::uint32_t SCN_MEM_READ = 0x40000000;
constexpr std::uint32_t SCN_MEM_WRITE = 0x80000000;

// File header characteristics.
constexpr std::uint16_t FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr std::uint16_t FILE_DLL = 0x2000;

constexpr std::uint16_t FILE_MACHINE_I386 = 0x014C;
constexpr std::uint16_t FILE_MACHINE_AMD64 = 0x8664;

constexpr std::uint16_t SUBSYSTEM_WINDOWS_GUI = 2;
constexpr std::uint16_t SUBSYSTEM_WINDOWS_CUI = 3;

}  // namespace pe
using pe::TImageDirectoryEntry;

struct TImageFileHeader {
  std::uint16_t Machine = 0;
  std::uint16_t NumberOfSections = 0;
  std::uint32_t TimeDateStamp = 0;
  std::uint32_t PointerToSymbolTable = 0;
  std::uint32_t NumberOfSymbols = 0;
  std::uint16_t SizeOfOptionalHeader = 0;
  std::uint16_t Characteristics = 0;
};

// The optional header's fields, PE32 and PE32+ alike (ImageBase widened).
struct TImageOptionalHeader {
  std::uint16_t Magic = 0;
  std::uint32_t SizeOfCode = 0;
  std::uint32_t AddressOfEntryPoint = 0;
  std::uint32_t BaseOfCode = 0;
  std::uint64_t ImageBase = 0;
  std::uint32_t SectionAlignment = 0;
  std::uint32_t FileAlignment = 0;
  std::uint16_t MajorOperatingSystemVersion = 0;
  std::uint16_t MinorOperatingSystemVersion = 0;
  std::uint16_t MajorSubsystemVersion = 0;
  std::uint16_t MinorSubsystemVersion = 0;
  std::uint32_t SizeOfImage = 0;
  std::uint32_t SizeOfHeaders = 0;
  std::uint32_t CheckSum = 0;
  std::uint16_t Subsystem = 0;
  std::uint16_t DllCharacteristics = 0;
  std::uint32_t NumberOfRvaAndSizes = 0;
};

struct TImageDataDirectory {
  std::uint32_t VirtualAddress = 0;
  std::uint32_t Size = 0;
  // File offset of this entry in the optional header.
  std::uint64_t EntryOffset = 0;
};

struct TImageSection {
  std::string Name;  // up to the first NUL of the 8-byte field
  std::uint32_t VirtualSize = 0;
  std::uint32_t VirtualAddress = 0;
  std::uint32_t SizeOfRawData = 0;
  std::uint32_t PointerToRawData = 0;
  std::uint32_t Characteristics = 0;
  // File offset of this section's header.
  std::uint64_t HeaderOffset = 0;
};

// Why bytes are not a PE image. The test is the loader's own: "MZ", e_lfanew
// inside the file, the "PE\0\0" signature and the file header there, and a
// known optional-header magic after it. Nothing else (the DOS header's size
// fields, the length of the optional header) keeps a loader from running a
// file, so nothing else keeps this reader from reading one.
enum class TPEParseError {
  peNone,
  peTooSmall,             // shorter than a DOS header
  peNoDosSignature,
  peBadNtHeadersOffset,   // the signature and file header at e_lfanew run past the end of the file
  peNoNtSignature,
  peBadOptionalMagic,
  peTruncatedOptionalHeader,  // the file ends before the optional header's magic
};

// Irregularities that do not make the image unreadable.
enum TPEAnomaly : std::uint32_t {
  paNone = 0,
  paSectionTableTruncated = 1u << 0,   // fewer section headers in the file than declared
  paOptionalHeaderTooSmall = 1u << 1,  // SizeOfOptionalHeader below the fixed part plus the directories read
  paDirectoriesTruncated = 1u << 2,    // fewer directory entries in the file than declared (up to 16)
  paZeroAlignment = 1u << 3,           // FileAlignment or SectionAlignment is 0
  paOptionalHeaderTruncated = 1u << 4, // the file ends inside the optional header's fixed part (read as zeros)
  paReadLimit = 1u << 5,               // some bytes could not be held in memory and were treated as missing
};

// The bytes of an image read on demand, such as a file: ranges are read when
// first asked for and stay valid as long as this object lives.
class IImageBytes {
 public:
  virtual ~IImageBytes() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly the bytes [offset, offset + size), which the caller has checked
  // lie inside Size(); empty when they cannot be held in memory. Read errors
  // throw (runtime::EOSError, runtime::EFileChanged).
  virtual std::span<const std::uint8_t> Range(std::uint64_t offset, std::uint64_t size) const = 0;
};

class TPEImage {
 public:
  TPEImage() = default;
  TPEImage(std::span<const std::uint8_t> data) { Parse(data); }
  TPEImage(const void* data, std::size_t size) { Parse(data, size); }
  explicit TPEImage(const IImageBytes& source) { Parse(source); }
  TPEImage(const TPEImage&) = delete;
  TPEImage& operator=(const TPEImage&) = delete;

  // Parses the headers and the section table of the bytes, which must outlive
  // this object. Answers IsValid().
  bool Parse(std::span<const std::uint8_t> data);
  bool Parse(const void* data, std::size_t size) {
    return Parse(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), data ? size : 0));
  }
  // The same over bytes read on demand (which must outlive this object): only
  // the ranges asked for are read.
  bool Parse(const IImageBytes& source);

  bool IsValid() const { return FError == TPEParseError::peNone && FParsed; }
  TPEParseError Error() const { return FError; }
  std::uint32_t Anomalies() const { return FAnomalies; }
  bool HasAnomaly(TPEAnomaly a) const { return (FAnomalies & a) != 0; }

  std::uint64_t FileSize() const { return FSize; }

  // --- headers (meaningful when valid) -------------------------------------
  bool IsPE32Plus() const { return FOptional.Magic == pe::NT_OPTIONAL_HDR64_MAGIC; }
  std::uint32_t NtHeadersOffset() const { return FNtHeadersOffset; }  // e_lfanew
  std::uint64_t FileHeaderOffset() const { return std::uint64_t{FNtHeadersOffset} + 4; }
  std::uint64_t OptionalHeaderOffset() const { return FileHeaderOffset() + pe::SIZEOF_FILE_HEADER; }
  std::uint64_t CheckSumOffset() const { return OptionalHeaderOffset() + 64; }
  // Where the section table starts: right after SizeOfOptionalHeader bytes.
  std::uint64_t SectionTableOffset() const { return OptionalHeaderOffset() + FFileHeader.SizeOfOptionalHeader; }
  const TImageFileHeader& FileHeader() const { return FFileHeader; }
  const TImageOptionalHeader& OptionalHeader() const { return FOptional; }

  // --- data directories -----------------------------------------------------
  // Entries read: NumberOfRvaAndSizes, at most 16, cut at the end of the file.
  std::size_t DataDirectoryCount() const { return FDirectories.size(); }
  // The entry, or nullopt when the image has no such entry.
  std::optional<TImageDataDirectory> DataDirectory(unsigned index) const;
  // File offset of entry `index` (0..15) in the optional header, whether or not
  // the image declares it.
  std::uint64_t DataDirectoryEntryOffset(unsigned index) const;

  // --- sections ---------------------------------------------------------------
  const std::vector<TImageSection>& Sections() const { return FSections; }
  // File range [offset, offset + size) of section i's raw data, cut at the end
  // of the file; size 0 when it starts at or past the end or i is out of range.
  std::pair<std::uint64_t, std::uint64_t> SectionRawRange(std::size_t i) const;
  // Raw data of section i as the file holds it, cut at the end of the file;
  // empty when it starts at or past the end or i is out of range.
  std::span<const std::uint8_t> SectionRawData(std::size_t i) const;
  // Index of the section whose virtual range holds rva, or nullopt.
  std::optional<std::size_t> SectionOfRva(std::uint32_t rva) const;
  // File offset of rva: inside a section's raw data, or in the headers. Nullopt
  // when the rva has no bytes in the file.
  std::optional<std::uint64_t> RvaToOffset(std::uint32_t rva) const;
  // Up to size bytes at rva, cut at the end of its section's raw data and of
  // the file; empty when the rva has no bytes in the file.
  std::span<const std::uint8_t> RvaData(std::uint32_t rva, std::uint32_t size) const;
  // Where RvaData's bytes lie in the file (offset, length), without reading
  // them; nullopt when the rva has no bytes in the file.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> RvaRange(std::uint32_t rva, std::uint32_t size) const;

  // --- bounds-checked reading of the file bytes ------------------------------
  // [offset, offset + size) when it lies wholly in the file, else empty.
  std::span<const std::uint8_t> Slice(std::uint64_t offset, std::uint64_t size) const;
  // [offset, offset + size) cut at the end of the file.
  std::span<const std::uint8_t> SliceClipped(std::uint64_t offset, std::uint64_t size) const;
  bool ReadBytes(std::uint64_t offset, void* out, std::size_t size) const;
  std::optional<std::uint16_t> ReadU16(std::uint64_t offset) const;
  std::optional<std::uint32_t> ReadU32(std::uint64_t offset) const;
  std::optional<std::uint64_t> ReadU64(std::uint64_t offset) const;

 private:
  void Reset();
  bool ParseHeaders();
  bool Fail(TPEParseError e) {
    FError = e;
    return false;
  }
  // The bytes of a checked range, from memory or from the source.
  std::span<const std::uint8_t> Bytes(std::uint64_t offset, std::uint64_t size) const;

  std::span<const std::uint8_t> FData;
  const IImageBytes* FSource = nullptr;
  std::uint64_t FSize = 0;
  bool FParsed = false;
  TPEParseError FError = TPEParseError::peTooSmall;
  mutable std::uint32_t FAnomalies = paNone;
  std::uint32_t FNtHeadersOffset = 0;
  TImageFileHeader FFileHeader;
  TImageOptionalHeader FOptional;
  std::vector<TImageDataDirectory> FDirectories;
  std::vector<TImageSection> FSections;
};

}  // namespace quillmark
