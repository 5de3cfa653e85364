// The file under analysis, opened once and shared by every rule: its size
// when it was opened, positioned reads, its PE headers parsed once, and the
// ranges the rules asked for kept in memory within a fixed budget. Nothing is
// mapped: a file that shrinks or is replaced while it is read makes reads
// fail with runtime::EFileChanged, which the file remembers so that the
// analysis can report it even when a rule swallowed the exception.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/target_system.h"
#include "support/pe_image.h"

namespace quillmark {

class TAnalyzedFile : public IImageBytes {
 public:
  // Bytes read of a file at most, unless the host sets another cap: reads
  // stop there and the file is analysed as if it ended there.
  static constexpr std::uint64_t kDefaultMaxFileSize = std::uint64_t{4} << 30;
  // Ranges are read in aligned chunks of this size, so that the small reads
  // of the header and resource walks share their reads.
  static constexpr std::uint64_t kChunkSize = 64 * 1024;
  // Bytes held in memory for one file at most; ranges beyond it are treated
  // as missing (the PE reader marks the image with paReadLimit).
  static constexpr std::uint64_t kMemoryBudget = std::uint64_t{64} << 20;

  // Opens a file through the target. Throws runtime::EOSError when it cannot
  // be opened or is not a regular file.
  static std::unique_ptr<TAnalyzedFile> Open(runtime::ITargetSystem& ATarget, const std::string& AFileName,
                                             std::uint64_t AMaxFileSize = kDefaultMaxFileSize);
  TAnalyzedFile(std::unique_ptr<runtime::IReadOnlyFile> AFile, std::string AFileName,
                std::uint64_t AMaxFileSize = kDefaultMaxFileSize);
  ~TAnalyzedFile() override;
  TAnalyzedFile(const TAnalyzedFile&) = delete;
  TAnalyzedFile& operator=(const TAnalyzedFile&) = delete;

  const std::string& FileName() const { return FFileName; }
  // The file's size when it was opened.
  std::uint64_t FileSize() const { return FFileSize; }
  // The bytes that are read: the file's size, or the cap when it is larger.
  std::uint64_t Size() const override { return FSize; }
  bool SizeCapped() const { return FSize < FFileSize; }
  std::uint64_t MaxFileSize() const { return FMaxFileSize; }

  // Copies up to n bytes at offset, cut at Size(). Read failures are
  // remembered (ReadFailure) and thrown.
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t n) const;
  // IImageBytes: the range from the chunks read so far, reading what is
  // missing; empty when the memory budget is spent.
  std::span<const std::uint8_t> Range(std::uint64_t offset, std::uint64_t size) const override;

  // The PE headers, parsed on first use.
  const TPEImage& Image() const;
  // Whether the loader would take the file as a PE image.
  bool IsPEImage() const { return Image().IsValid(); }

  // The first read failure met through this object, if any ("file changed
  // while it was read: ...", or the system's error).
  const std::optional<std::string>& ReadFailure() const { return FReadFailure; }
  bool Changed() const { return FChanged; }
  // Bytes held in memory now.
  std::uint64_t MemoryHeld() const { return FHeld; }

  runtime::IReadOnlyFile& File() const { return *FFile; }

 private:
  std::unique_ptr<runtime::IReadOnlyFile> FFile;
  std::string FFileName;
  std::uint64_t FFileSize;
  std::uint64_t FSize;
  std::uint64_t FMaxFileSize;
  // Ranges read, by start; a range is never freed or moved while the file
  // lives, so the spans handed out stay valid.
  mutable std::multimap<std::uint64_t, std::vector<std::uint8_t>> FRanges;
  mutable std::uint64_t FHeld = 0;
  mutable std::unique_ptr<TPEImage> FImage;
  mutable std::optional<std::string> FReadFailure;
  mutable bool FChanged = false;
};

}  // namespace quillmark
