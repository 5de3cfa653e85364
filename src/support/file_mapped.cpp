#include "support/file_mapped.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace quillmark {

namespace {

std::size_t ToSizeT(std::uint64_t n) {
  if (n > std::numeric_limits<std::size_t>::max()) throw EMappedMemoryException("mapped size too large");
  return static_cast<std::size_t>(n);
}

// Position reached by a seek, clamped to 0..size.
std::uint64_t SeekTarget(std::uint64_t position, std::uint64_t size, std::int64_t offset, TSeekOrigin origin) {
  // base + delta, saturated to 0..size (base is never above size).
  auto clampAdd = [size](std::uint64_t base, std::int64_t delta) -> std::uint64_t {
    if (delta < 0) {
      std::uint64_t back = delta == std::numeric_limits<std::int64_t>::min()
                               ? std::uint64_t{1} << 63
                               : static_cast<std::uint64_t>(-delta);
      return back >= base ? 0 : base - back;
    }
    std::uint64_t forward = static_cast<std::uint64_t>(delta);
    return forward >= size - base ? size : base + forward;
  };
  switch (origin) {
    case TSeekOrigin::soBeginning:
      return offset <= 0 ? 0 : std::min(static_cast<std::uint64_t>(offset), size);
    case TSeekOrigin::soCurrent:
      return clampAdd(std::min(position, size), offset);
    case TSeekOrigin::soEnd:
      // Both signs count back from the end.
      return clampAdd(size, offset > 0 ? -offset : offset);
  }
  return position;
}

}  // namespace

std::uint64_t GetFixedPageSize(std::uint64_t size) {
  if (size == 0) return kAllocationGranularity;
  std::uint64_t granules = size / kAllocationGranularity + (size % kAllocationGranularity ? 1 : 0);
  if (granules > std::numeric_limits<std::uint64_t>::max() / kAllocationGranularity)
    return std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % kAllocationGranularity;
  return granules * kAllocationGranularity;
}

// --- TCustomMappedMemory ----------------------------------------------------

TCustomMappedMemory::TCustomMappedMemory(std::shared_ptr<runtime::IReadOnlyFile> file, std::uint64_t seek,
                                         std::uint64_t size)
    : FFile(std::move(file)), FMappedSeek(seek), FSize(size) {}

void TCustomMappedMemory::Map() {
  if (FView) return;
  FView = FFile->Map(FMappedSeek, ToSizeT(FSize));
  if (FView->Size() < FSize) {
    // The file shrank since it was opened.
    FView.reset();
    throw EMappedMemoryException("mapped view shorter than requested");
  }
}

void TCustomMappedMemory::SetViewSize(std::uint64_t size) {
  Unmap();
  FSize = size;
}

// --- TMappedMemory ----------------------------------------------------------

std::uint64_t TMappedMemory::Seek(std::int64_t offset, TSeekOrigin origin) {
  FPosition = SeekTarget(FPosition, Size(), offset, origin);
  return FPosition;
}

std::int64_t TMappedMemory::Read(void* buffer, std::int64_t count) {
  if (count < 1 || FPosition >= Size()) return 0;
  if (static_cast<std::uint64_t>(count) > Size() - FPosition) return 0;
  Map();
  std::memcpy(buffer, Memory() + FPosition, static_cast<std::size_t>(count));
  FPosition += static_cast<std::uint64_t>(count);
  return count;
}

// --- TFileMappedMemory ------------------------------------------------------

TFileMappedMemory::TFileMappedMemory(std::shared_ptr<runtime::IReadOnlyFile> file, std::string fileName,
                                     std::uint64_t viewSize)
    : TMappedMemory(file, 0, viewSize), FFileName(std::move(fileName)), FFileSize(file->Size()) {}

std::uint64_t TFileMappedMemory::ViewSizeFor(std::int64_t size) const {
  if (size < 0) return FFileSize;
  std::uint64_t wanted = size == 0 ? kDefaultMappedSize : static_cast<std::uint64_t>(size);
  return std::min(GetFixedPageSize(wanted), FFileSize);
}

std::unique_ptr<TFileMappedMemory> TFileMappedMemory::OpenForRead(runtime::ITargetSystem& target,
                                                                  const std::string& fileName, std::int64_t size) {
  std::shared_ptr<runtime::IReadOnlyFile> file = target.OpenFileForRead(fileName);
  std::unique_ptr<TFileMappedMemory> memory(new TFileMappedMemory(file, fileName, 0));
  memory->SetViewSize(memory->ViewSizeFor(size));
  memory->Map();
  return memory;
}

void TFileMappedMemory::Resize(std::int64_t size) {
  std::uint64_t position = Position();
  SetViewSize(ViewSizeFor(size));
  Map();
  SetPosition(position);
}

// --- TMappedStream ----------------------------------------------------------

TMappedStream::TMappedStream(std::unique_ptr<runtime::IReadOnlyFile> file, std::uint64_t pageSize)
    : FFile(std::move(file)), FSize(FFile->Size()), FPageDefaultSize(pageSize) {}

const runtime::IFileView& TMappedStream::Page(std::uint64_t index) {
  if (FAutoClosePrevPages) FPages.erase(FPages.begin(), FPages.lower_bound(index));
  auto found = FPages.find(index);
  if (found != FPages.end()) return *found->second;

  if (FPages.size() >= kMaxMappedPages) {
    // Drop the mapped page farthest from the one wanted.
    auto distance = [index](std::uint64_t other) { return other > index ? other - index : index - other; };
    auto farthest = FPages.begin();
    for (auto it = FPages.begin(); it != FPages.end(); ++it)
      if (distance(it->first) > distance(farthest->first)) farthest = it;
    FPages.erase(farthest);
  }
  std::uint64_t offset = index * FPageDefaultSize;
  std::uint64_t size = std::min(FPageDefaultSize, FSize - offset);
  auto view = FFile->Map(offset, ToSizeT(size));
  if (view->Size() < size) throw EMappedMemoryException("mapped page shorter than requested");
  return *FPages.emplace(index, std::move(view)).first->second;
}

std::int64_t TMappedStream::Read(void* buffer, std::int64_t count) {
  if (count < 1 || FPosition >= FSize) return 0;
  std::uint64_t todo = std::min(static_cast<std::uint64_t>(count), FSize - FPosition);
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t done = 0;
  while (done < todo) {
    std::uint64_t index = FPosition / FPageDefaultSize;
    std::uint64_t inPage = FPosition % FPageDefaultSize;
    const runtime::IFileView& page = Page(index);
    std::uint64_t chunk = std::min(todo - done, page.Size() - inPage);
    std::memcpy(out + done, page.Data() + inPage, static_cast<std::size_t>(chunk));
    done += chunk;
    FPosition += chunk;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t TMappedStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  FPosition = SeekTarget(FPosition, FSize, offset, origin);
  return static_cast<std::int64_t>(FPosition);
}

// --- TMappedFileStream ------------------------------------------------------

std::unique_ptr<TMappedFileStream> TMappedFileStream::OpenForRead(runtime::ITargetSystem& target,
                                                                  const std::string& fileName,
                                                                  std::int64_t pageSize) {
  std::string name = fileName;
  bool unc = name.size() >= 2 && name[0] == '\\' && name[1] == '\\';
  if (target.PathSyntax() == runtime::TPathSyntax::psWindows && !unc && !target.FileExists(name))
    name = target.LongPathForm(name);

  auto file = target.OpenFileForRead(name);
  std::uint64_t size = pageSize <= 0 ? kDefaultMappedSize : GetFixedPageSize(static_cast<std::uint64_t>(pageSize));
  std::unique_ptr<TMappedFileStream> stream(new TMappedFileStream(std::move(file), size, name));
  stream->SetAutoClosePrevPages(size >= kDefaultMappedSize);
  return stream;
}

}  // namespace quillmark
