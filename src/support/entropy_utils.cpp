#include "support/entropy_utils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "support/analyzed_file.h"
#include "support/file_mapped.h"
#include "support/le_reader.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

// Bytes read per call from a stream or file.
constexpr std::size_t kReadBlockSize = 65536;

// Bytes counted into the 32-bit tables before they are folded into the
// 64-bit totals; keeps every table counter far from overflow.
constexpr std::size_t kCountChunk = std::size_t{1} << 30;

constexpr unsigned kTables = 8;

// Below this many bytes, clearing and folding the interleaved tables costs
// more than the stalls they avoid.
constexpr std::size_t kInterleaveFrom = 4096;

void CountChunk(const std::uint8_t* p, std::size_t n, std::uint64_t* totals) {
  if (n < kInterleaveFrom) {
    for (std::size_t i = 0; i < n; ++i) ++totals[p[i]];
    return;
  }
  alignas(64) std::uint32_t t[kTables][256];
  std::memset(t, 0, sizeof t);
  std::size_t i = 0;
  // Sixteen bytes per round, byte k of each group of eight on table k, so
  // that a run of one value spreads over eight independent counters.
  for (; i + 2 * kTables <= n; i += 2 * kTables) {
    for (unsigned k = 0; k < kTables; ++k) ++t[k][p[i + k]];
    for (unsigned k = 0; k < kTables; ++k) ++t[k][p[i + kTables + k]];
  }
  for (; i < n; ++i) ++t[i % kTables][p[i]];
  for (unsigned v = 0; v < 256; ++v) {
    std::uint64_t s = 0;
    for (unsigned k = 0; k < kTables; ++k) s += t[k][v];
    totals[v] += s;
  }
}


struct TSectionRange {
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
};

// Locates the second section's raw bytes from the headers; false for anything
// that is not a readable PE layout or a range outside the file.
// AReadAt(offset, out, n) answers whether all n bytes were read.
template <class ReadAt>
bool FindSecondSection(std::uint64_t size, ReadAt&& AReadAt, TSectionRange& range) {
  if (size < 64) return false;
  auto u16 = [&](std::uint64_t offset, std::uint16_t& v) {
    std::uint8_t b[2];
    if (!AReadAt(offset, b, 2)) return false;
    v = le::LoadU16(b);
    return true;
  };
  auto u32 = [&](std::uint64_t offset, std::uint32_t& v) {
    std::uint8_t b[4];
    if (!AReadAt(offset, b, 4)) return false;
    v = le::LoadU32(b);
    return true;
  };

  std::uint16_t mz = 0;
  if (!u16(0, mz) || mz != 0x5A4D) return false;
  std::uint32_t lfanew = 0;
  if (!u32(0x3C, lfanew)) return false;
  const std::uint64_t nt = lfanew;
  if (nt + 248 > size) return false;
  std::uint32_t signature = 0;
  if (!u32(nt, signature) || signature != 0x00004550) return false;

  // The section table is placed by the optional header's magic alone; its
  // declared size is not consulted.
  const std::uint64_t optional = nt + 24;
  std::uint16_t magic = 0;
  if (!u16(optional, magic)) return false;
  const std::uint64_t second = optional + (magic == 0x20B ? 240 : 224) + 40;

  std::uint32_t fileAlignment = 0, rawPointer = 0, virtualSize = 0, rawSize = 0;
  if (!u32(optional + 36, fileAlignment) || fileAlignment == 0) return false;
  if (!u32(second + 20, rawPointer) || !u32(second + 8, virtualSize) || !u32(second + 16, rawSize)) return false;

  std::uint64_t offset = rawPointer;
  if (offset % fileAlignment) offset = (offset / fileAlignment + 1) * fileAlignment;
  const std::uint64_t length = virtualSize ? virtualSize : rawSize;
  if (length == 0 || offset >= size || offset + length > size) return false;
  range.Offset = offset;
  range.Length = length;
  return true;
}

}  // namespace

// --- TEntropyUtils ----------------------------------------------------------

ComPtr<IEntropy> TEntropyUtils::GetEntropy(std::shared_ptr<runtime::ITargetSystem> ATarget) {
  return ComPtr<IEntropy>(new TEntropy(std::move(ATarget)));
}

void TEntropyUtils::CountBytes(const std::uint8_t* AData, std::size_t ACount, std::uint64_t* ACounts) {
  while (ACount > 0) {
    const std::size_t n = std::min(ACount, kCountChunk);
    CountChunk(AData, n, ACounts);
    AData += n;
    ACount -= n;
  }
}

// --- TEntropyUtils::TEntropy ------------------------------------------------

TEntropyUtils::TEntropy::TEntropy(std::shared_ptr<runtime::ITargetSystem> ATarget)
    : FTarget(ATarget ? std::move(ATarget) : runtime::LiveHost()) {}

void* TEntropyUtils::TEntropy::GetInterface(const GUID& iid) {
  if (iid == IUnknown::IID || iid == IEntropy::IID) return static_cast<IEntropy*>(this);
  return nullptr;
}

bool TEntropyUtils::TEntropy::Report(std::uint64_t ADone, std::uint64_t ASteps) {
  const Extended percent = static_cast<Extended>(ADone * 100) / static_cast<Extended>(ASteps);
  return FOnProgress(percent);
}

bool TEntropyUtils::TEntropy::Sum(const std::uint64_t* ACounts, std::uint64_t ATotal) {
  const std::uint64_t steps = ATotal + 256;
  const Extended total = static_cast<Extended>(ATotal);
  // p * log2(p) depends only on the count, and small inputs repeat counts
  // often: each distinct count is computed once (open addressing, count 0
  // never stored). The terms and their order are those of the plain sum.
  constexpr unsigned kSlots = 512;
  std::uint64_t keys[kSlots] = {};
  Extended terms[kSlots];
  for (unsigned v = 0; v < 256; ++v) {
    if (FOnProgress && !Report(ATotal + v + 1, steps)) return false;
    const std::uint64_t count = ACounts[v];
    if (count == 0) continue;
    unsigned slot = static_cast<unsigned>((count * 0x9E3779B97F4A7C15ull) >> 55);
    while (keys[slot] != 0 && keys[slot] != count) slot = (slot + 1) % kSlots;
    if (keys[slot] == 0) {
      const Extended p = static_cast<Extended>(count) / total;
      keys[slot] = count;
      terms[slot] = p > 0 ? p * std::log2(p) : 0;
    }
    FValue -= terms[slot];
  }
  return true;
}

template <class Reader>
bool TEntropyUtils::TEntropy::CalculateFromReader(std::uint64_t ATotal, Reader&& AReader) {
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(ATotal, kReadBlockSize)));
  std::uint64_t counts[256] = {};
  const std::uint64_t steps = ATotal + 256;
  std::uint64_t done = 0;
  while (done < ATotal) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(ATotal - done, block.size()));
    const std::size_t got = AReader(block.data(), want);
    if (got == 0) {
      // Progress for the byte that could not be read was already due.
      if (FOnProgress && !Report(done + 1, steps)) return false;
      break;
    }
    if (FOnProgress) {
      for (std::size_t j = 0; j < got; ++j) {
        if (!Report(done + j + 1, steps)) return false;
        ++counts[block[j]];
      }
    } else {
      CountBytes(block.data(), got, counts);
    }
    done += got;
  }
  return Sum(counts, ATotal);
}

bool TEntropyUtils::TEntropy::Calculate(const void* ABuffer, std::uint32_t ACount) {
  FValue = 0;
  if (!ABuffer || ACount == 0) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(ABuffer);
  std::uint64_t counts[256] = {};
  if (FOnProgress) {
    const std::uint64_t steps = std::uint64_t{ACount} + 256;
    for (std::uint32_t i = 0; i < ACount; ++i) {
      ++counts[bytes[i]];
      if (!Report(std::uint64_t{i} + 1, steps)) return false;
    }
  } else {
    CountBytes(bytes, ACount, counts);
  }
  return Sum(counts, ACount);
}

bool TEntropyUtils::TEntropy::CalculateStream(TMappedStream* AStream) {
  FValue = 0;
  if (!AStream || AStream->Size() == 0 || AStream->Position() >= AStream->Size()) return false;
  return CalculateFromReader(AStream->Size() - AStream->Position(), [AStream](std::uint8_t* buffer, std::size_t n) {
    return static_cast<std::size_t>(AStream->Read(buffer, static_cast<std::int64_t>(n)));
  });
}

bool TEntropyUtils::TEntropy::CalculateAnsiString(std::string_view AValue) {
  FValue = 0;
  if (AValue.empty()) return false;
  std::size_t at = 0;
  return CalculateFromReader(AValue.size(), [&](std::uint8_t* buffer, std::size_t n) {
    std::memcpy(buffer, AValue.data() + at, n);
    at += n;
    return n;
  });
}

bool TEntropyUtils::TEntropy::CalculateUnicodeString(const std::string& AValue) {
  FValue = 0;
  if (AValue.empty()) return false;
  const std::vector<std::uint8_t> units = Utf8ToUtf16LEBytes(AValue);
  return CalculateAnsiString(std::string_view(reinterpret_cast<const char*>(units.data()), units.size()));
}

bool TEntropyUtils::TEntropy::CalculateFile(const std::string& AFileName, std::int64_t APageSize) {
  FValue = 0;
  try {
    if (!FTarget->FileExists(AFileName)) return false;
    if (APageSize > 0) {
      auto stream = TMappedFileStream::OpenForRead(*FTarget, AFileName, APageSize);
      stream->Seek(0, TSeekOrigin::soBeginning);
      return CalculateStream(stream.get());
    }
    auto file = FTarget->OpenFileForRead(AFileName);
    const std::uint64_t size = file->Size();
    if (size == 0) return false;
    std::uint64_t at = 0;
    return CalculateFromReader(size, [&](std::uint8_t* buffer, std::size_t n) {
      const std::size_t got = file->ReadAt(at, buffer, n);
      at += got;
      return got;
    });
  } catch (const std::exception&) {
    return false;
  }
}

bool TEntropyUtils::TEntropy::CalculateSecondSection(const std::string& AFileName) {
  FValue = 0;
  try {
    if (!FTarget->FileExists(AFileName)) return false;
    auto file = TAnalyzedFile::Open(*FTarget, AFileName);
    return CalculateSecondSection(*file);
  } catch (...) {
    return false;
  }
}

bool TEntropyUtils::TEntropy::CalculateSecondSection(const TAnalyzedFile& AFile) {
  FValue = 0;
  try {
    auto readAt = [&AFile](std::uint64_t offset, void* out, std::size_t n) {
      return AFile.ReadAt(offset, out, n) == n;
    };
    TSectionRange range;
    if (!FindSecondSection(AFile.Size(), readAt, range)) return false;

    // The section is counted straight from the file, block by block, with
    // the progress a buffer of its bytes would report; it must be read whole.
    std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(range.Length, kReadBlockSize)));
    std::uint64_t counts[256] = {};
    const std::uint64_t steps = range.Length + 256;
    std::uint64_t done = 0;
    while (done < range.Length) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(range.Length - done, block.size()));
      if (AFile.ReadAt(range.Offset + done, block.data(), want) != want) return false;
      if (FOnProgress) {
        for (std::size_t j = 0; j < want; ++j) {
          ++counts[block[j]];
          if (!Report(done + j + 1, steps)) return false;
        }
      } else {
        CountBytes(block.data(), want, counts);
      }
      done += want;
    }
    return Sum(counts, range.Length);
  } catch (...) {
    return false;
  }
}

}  // namespace quillmark
