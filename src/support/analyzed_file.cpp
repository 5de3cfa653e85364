#include "support/analyzed_file.h"

#include <algorithm>

namespace quillmark {

std::unique_ptr<TAnalyzedFile> TAnalyzedFile::Open(runtime::ITargetSystem& ATarget, const std::string& AFileName,
                                                   std::uint64_t AMaxFileSize) {
  return std::make_unique<TAnalyzedFile>(ATarget.OpenFileForRead(AFileName), AFileName, AMaxFileSize);
}

TAnalyzedFile::TAnalyzedFile(std::unique_ptr<runtime::IReadOnlyFile> AFile, std::string AFileName,
                             std::uint64_t AMaxFileSize)
    : FFile(std::move(AFile)),
      FFileName(std::move(AFileName)),
      FFileSize(FFile->Size()),
      FSize(std::min(FFileSize, AMaxFileSize)),
      FMaxFileSize(AMaxFileSize) {}

TAnalyzedFile::~TAnalyzedFile() = default;

std::size_t TAnalyzedFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t n) const {
  if (offset >= FSize) return 0;
  if (n > FSize - offset) n = static_cast<std::size_t>(FSize - offset);
  try {
    return FFile->ReadAt(offset, buffer, n);
  } catch (const runtime::EFileChanged& e) {
    FChanged = true;
    if (!FReadFailure) FReadFailure = e.what();
    throw;
  } catch (const std::exception& e) {
    if (!FReadFailure) FReadFailure = e.what();
    throw;
  }
}

std::span<const std::uint8_t> TAnalyzedFile::Range(std::uint64_t offset, std::uint64_t size) const {
  if (size == 0 || offset > FSize || size > FSize - offset) return {};
  const std::uint64_t end = offset + size;
  // A range that holds the request starts at or before it; ranges overlap
  // only where a request straddled chunks, so a few steps back suffice.
  auto it = FRanges.upper_bound(offset);
  for (int steps = 0; steps < 4 && it != FRanges.begin(); ++steps) {
    --it;
    if (it->first + it->second.size() >= end)
      return std::span<const std::uint8_t>(it->second).subspan(static_cast<std::size_t>(offset - it->first),
                                                                 static_cast<std::size_t>(size));
  }
  const std::uint64_t from = offset - offset % kChunkSize;
  const std::uint64_t rounded = end % kChunkSize ? end + (kChunkSize - end % kChunkSize) : end;
  const std::uint64_t to = std::min(rounded, FSize);
  if (to - from > kMemoryBudget - std::min(FHeld, kMemoryBudget)) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(to - from));
  const std::size_t got = ReadAt(from, bytes.data(), bytes.size());
  bytes.resize(got);
  FHeld += got;
  auto placed = FRanges.emplace(from, std::move(bytes));
  if (placed->first + placed->second.size() < end) return {};
  return std::span<const std::uint8_t>(placed->second).subspan(static_cast<std::size_t>(offset - from),
                                                                 static_cast<std::size_t>(size));
}

const TPEImage& TAnalyzedFile::Image() const {
  if (!FImage) FImage = std::make_unique<TPEImage>(*this);
  return *FImage;
}

}  // namespace quillmark
