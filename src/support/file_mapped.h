// Reading files through read-only mapped views: one window over the start of
// a file (TFileMappedMemory) and a stream that maps a file page by page
// (TMappedFileStream). Every file access goes through the target system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "runtime/target_system.h"

namespace quillmark {

class EMappedMemoryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Granule that mapped sizes are rounded to.
constexpr std::uint64_t kAllocationGranularity = 65536;
// Size used when a caller asks for a view or page size of 0 (50 MiB).
constexpr std::uint64_t kDefaultMappedSize = 52428800;

// A size rounded up to a whole number of granules, at least one granule.
std::uint64_t GetFixedPageSize(std::uint64_t size);

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// One read-only window [MappedSeek, MappedSeek + Size) over an open file.
class TCustomMappedMemory {
 public:
  TCustomMappedMemory(const TCustomMappedMemory&) = delete;
  TCustomMappedMemory& operator=(const TCustomMappedMemory&) = delete;
  virtual ~TCustomMappedMemory() = default;

  // Start of the view; null while unmapped or when the view is empty.
  const std::uint8_t* Memory() const { return FView ? FView->Data() : nullptr; }
  std::uint64_t Size() const { return FSize; }
  std::uint64_t MappedSeek() const { return FMappedSeek; }
  bool IsMapped() const { return FView != nullptr; }

  void Map();
  void Unmap() { FView.reset(); }

 protected:
  TCustomMappedMemory(std::shared_ptr<runtime::IReadOnlyFile> file, std::uint64_t seek, std::uint64_t size);
  // Changes the window's size; the view is mapped again on next use.
  void SetViewSize(std::uint64_t size);
  runtime::IReadOnlyFile& File() const { return *FFile; }

 private:
  std::shared_ptr<runtime::IReadOnlyFile> FFile;
  std::unique_ptr<runtime::IFileView> FView;
  std::uint64_t FMappedSeek;
  std::uint64_t FSize;
};

// A mapped window with a read position.
class TMappedMemory : public TCustomMappedMemory {
 public:
  std::uint64_t Position() const { return FPosition; }
  // Moves the position, clamped to 0..Size; answers the new position.
  std::uint64_t Seek(std::int64_t offset, TSeekOrigin origin);
  void SetPosition(std::uint64_t position) { FPosition = position < Size() ? position : Size(); }
  // All or nothing: copies count bytes from the position and advances it, or
  // answers 0 and copies nothing when count is below 1 or more than remains.
  std::int64_t Read(void* buffer, std::int64_t count);

 protected:
  using TCustomMappedMemory::TCustomMappedMemory;

 private:
  std::uint64_t FPosition = 0;
};

// A read-only view of the beginning of a file.
class TFileMappedMemory : public TMappedMemory {
 public:
  // size < 0: the whole file; 0: 50 MiB; otherwise rounded up to the
  // allocation granularity. The view never reaches past the end of the file.
  // Throws runtime::EOSError when the file cannot be opened or mapped.
  static std::unique_ptr<TFileMappedMemory> OpenForRead(runtime::ITargetSystem& target, const std::string& fileName,
                                                        std::int64_t size);

  const std::string& FileName() const { return FFileName; }
  // Size of the file when it was opened.
  std::uint64_t GetFileSize() const { return FFileSize; }
  // Remaps the view with a new size under the rules of OpenForRead; the
  // position is kept when it still lies inside the view.
  void Resize(std::int64_t size);

 private:
  TFileMappedMemory(std::shared_ptr<runtime::IReadOnlyFile> file, std::string fileName, std::uint64_t viewSize);
  std::uint64_t ViewSizeFor(std::int64_t size) const;

  std::string FFileName;
  std::uint64_t FFileSize;
};

// A read-only stream over a file mapped one page at a time. At most a few
// pages are mapped at once, so memory stays bounded by the page size.
class TMappedStream {
 public:
  // Pages kept mapped at most, besides those closed behind the reader.
  static constexpr std::size_t kMaxMappedPages = 4;

  TMappedStream(const TMappedStream&) = delete;
  TMappedStream& operator=(const TMappedStream&) = delete;
  virtual ~TMappedStream() = default;

  std::uint64_t Size() const { return FSize; }
  std::uint64_t Position() const { return FPosition; }
  std::uint64_t PageSize() const { return FPageDefaultSize; }
  bool Eof() const { return FPosition >= FSize; }

  // Copies up to count bytes from the position; answers the number copied
  // (0 for a count below 1 or at the end).
  std::int64_t Read(void* buffer, std::int64_t count);
  // From the end, both signs of offset count back from the end. The result is
  // clamped to 0..Size and answered.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  // Unmaps every page.
  void CloseAll() { FPages.clear(); }

  // Unmap pages behind the one being read.
  bool AutoClosePrevPages() const { return FAutoClosePrevPages; }
  void SetAutoClosePrevPages(bool value) { FAutoClosePrevPages = value; }
  std::size_t MappedPageCount() const { return FPages.size(); }

 protected:
  TMappedStream(std::unique_ptr<runtime::IReadOnlyFile> file, std::uint64_t pageSize);

 private:
  const runtime::IFileView& Page(std::uint64_t index);

  std::unique_ptr<runtime::IReadOnlyFile> FFile;
  std::map<std::uint64_t, std::unique_ptr<runtime::IFileView>> FPages;
  std::uint64_t FSize;
  std::uint64_t FPosition = 0;
  std::uint64_t FPageDefaultSize;
  bool FAutoClosePrevPages = false;
};

class TMappedFileStream : public TMappedStream {
 public:
  // pageSize <= 0 means 50 MiB; otherwise rounded up to the allocation
  // granularity. Pages of 50 MiB or more are closed behind the reader. On a
  // Windows target a name that does not exist as given (and is not a UNC
  // path) is opened in its long-path form. Throws runtime::EOSError when the
  // file cannot be opened.
  static std::unique_ptr<TMappedFileStream> OpenForRead(runtime::ITargetSystem& target, const std::string& fileName,
                                                        std::int64_t pageSize = 0);

  const std::string& FileName() const { return FFileName; }

 private:
  TMappedFileStream(std::unique_ptr<runtime::IReadOnlyFile> file, std::uint64_t pageSize, std::string fileName)
      : TMappedStream(std::move(file), pageSize), FFileName(std::move(fileName)) {}

  std::string FFileName;
};

}  // namespace quillmark
