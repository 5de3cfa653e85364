#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "runtime/target_system.h"
#include "support/file_mapped.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

namespace quillmark {
namespace {

using test::TTempDir;
using test::TTestTarget;

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed = 7) {
  std::vector<std::uint8_t> bytes(size);
  std::mt19937 rng(seed);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

runtime::ITargetSystem& Host() { return *runtime::LiveHost(); }

// --- TFileMappedMemory ---------------------------------------------------------

struct TViewSizeCase {
  std::uint64_t FileSize;
  std::int64_t Requested;
  std::uint64_t ExpectedView;
};

TEST(FileMappedMemory, ViewSizeFollowsTheSizeRules) {
  TTempDir temp;
  const TViewSizeCase cases[] = {
      {200000, -1, 200000},      // whole file
      {200000, 0, 200000},       // 50 MiB, cut at the file size
      {200000, 1, 65536},        // at least one granule
      {200000, 64, 65536},
      {200000, 65536, 65536},
      {200000, 65537, 131072},   // rounded up
      {100, 64, 100},            // never past the end of the file
      {100, -1, 100},
      {0, -1, 0},
      {0, 64, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "file " << c.FileSize << " requested " << c.Requested);
    auto bytes = Pattern(c.FileSize);
    std::string path = temp.WriteFile("f.bin", bytes);
    auto m = TFileMappedMemory::OpenForRead(Host(), path, c.Requested);
    EXPECT_EQ(m->GetFileSize(), c.FileSize);
    ASSERT_EQ(m->Size(), c.ExpectedView);
    if (c.ExpectedView) {
      EXPECT_EQ(0, std::memcmp(m->Memory(), bytes.data(), c.ExpectedView));
    }
  }
}

TEST(FileMappedMemory, DefaultSizeIsFiftyMebibytes) {
  TTempDir temp;
  std::string path = temp / "big.bin";
  test::WriteBytes(path, Pattern(16));
  std::filesystem::resize_file(path, 60ull << 20);  // sparse
  EXPECT_EQ(TFileMappedMemory::OpenForRead(Host(), path, 0)->Size(), 52428800u);
  EXPECT_EQ(TFileMappedMemory::OpenForRead(Host(), path, -1)->Size(), 60ull << 20);
  EXPECT_EQ(TFileMappedMemory::OpenForRead(Host(), path, 52428801)->Size(), 52428800u + 65536u);
}

TEST(FileMappedMemory, ReadIsAllOrNothing) {
  TTempDir temp;
  auto bytes = Pattern(100);
  auto m = TFileMappedMemory::OpenForRead(Host(), temp.WriteFile("f.bin", bytes), 64);
  std::vector<std::uint8_t> out(200, 0xEE);

  EXPECT_EQ(m->Read(out.data(), 0), 0);
  EXPECT_EQ(m->Read(out.data(), -5), 0);
  EXPECT_EQ(m->Read(out.data(), 60), 60);
  EXPECT_EQ(m->Position(), 60u);
  EXPECT_EQ(m->Read(out.data() + 60, 41), 0) << "41 > 40 remaining: nothing is copied";
  EXPECT_EQ(out[60], 0xEE);
  EXPECT_EQ(m->Position(), 60u);
  EXPECT_EQ(m->Read(out.data() + 60, 40), 40);
  EXPECT_EQ(m->Read(out.data(), 1), 0);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin()));
}

TEST(FileMappedMemory, ResizeGrowsTheViewAndKeepsThePosition) {
  TTempDir temp;
  auto bytes = Pattern(200000);
  auto m = TFileMappedMemory::OpenForRead(Host(), temp.WriteFile("f.bin", bytes), 64);
  ASSERT_EQ(m->Size(), 65536u);
  m->SetPosition(65536 - 10);
  std::uint8_t out[20];
  EXPECT_EQ(m->Read(out, 20), 0) << "crosses the end of the view";
  m->Resize(65536 + 10);
  EXPECT_EQ(m->Size(), 131072u);
  EXPECT_EQ(m->Position(), 65536u - 10);
  ASSERT_EQ(m->Read(out, 20), 20);
  EXPECT_EQ(0, std::memcmp(out, bytes.data() + 65536 - 10, 20));
  m->Resize(1 << 30);
  EXPECT_EQ(m->Size(), 200000u) << "capped at the file size";
}

TEST(FileMappedMemory, OpeningWhatIsNotAReadableFileThrows) {
  TTempDir temp;
  std::filesystem::create_directory(temp.Path() / "dir");
  EXPECT_THROW(TFileMappedMemory::OpenForRead(Host(), temp / "missing.bin", 64), runtime::EOSError);
  EXPECT_THROW(TFileMappedMemory::OpenForRead(Host(), temp / "dir", 64), runtime::EOSError);
}

// --- TMappedFileStream -------------------------------------------------------------

struct TSeekCase {
  std::int64_t Start;
  std::int64_t Offset;
  TSeekOrigin Origin;
  std::int64_t Expected;
};

TEST(FileMappedStream, SeekCountsBackFromTheEndForBothSignsAndClamps) {
  TTempDir temp;
  auto s = TMappedFileStream::OpenForRead(Host(), temp.WriteFile("f.bin", Pattern(1000)), 0);
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  const TSeekCase cases[] = {
      {0, 10, TSeekOrigin::soBeginning, 10},
      {500, -5, TSeekOrigin::soBeginning, 0},
      {0, 2000, TSeekOrigin::soBeginning, 1000},
      {100, 50, TSeekOrigin::soCurrent, 150},
      {100, -200, TSeekOrigin::soCurrent, 0},
      {100, 950, TSeekOrigin::soCurrent, 1000},
      {100, kMax, TSeekOrigin::soCurrent, 1000},
      {100, kMin, TSeekOrigin::soCurrent, 0},
      {0, 10, TSeekOrigin::soEnd, 990},
      {0, -10, TSeekOrigin::soEnd, 990},
      {0, 0, TSeekOrigin::soEnd, 1000},
      {0, 5000, TSeekOrigin::soEnd, 0},
      {0, -5000, TSeekOrigin::soEnd, 0},
      {0, kMin, TSeekOrigin::soEnd, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "start " << c.Start << " offset " << c.Offset << " origin "
                                    << static_cast<int>(c.Origin));
    s->Seek(c.Start, TSeekOrigin::soBeginning);
    EXPECT_EQ(s->Seek(c.Offset, c.Origin), c.Expected);
    EXPECT_EQ(s->Position(), static_cast<std::uint64_t>(c.Expected));
  }
}

TEST(FileMappedStream, ReadsAcrossPagesMatchTheFile) {
  TTempDir temp;
  const std::size_t size = 5 * 65536 + 1234;
  auto bytes = Pattern(size);
  auto s = TMappedFileStream::OpenForRead(Host(), temp.WriteFile("f.bin", bytes), 1);
  ASSERT_EQ(s->PageSize(), 65536u);
  EXPECT_FALSE(s->AutoClosePrevPages());

  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> chunk(70001);
  while (!s->Eof()) {
    auto n = s->Read(chunk.data(), static_cast<std::int64_t>(chunk.size()));
    ASSERT_GT(n, 0);
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
    EXPECT_LE(s->MappedPageCount(), TMappedStream::kMaxMappedPages);
  }
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(s->Read(chunk.data(), 1), 0) << "at the end";

  // Random access, backwards and forwards, still sees the file's bytes.
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    std::int64_t at = static_cast<std::int64_t>(rng() % size);
    std::int64_t want = static_cast<std::int64_t>(rng() % 150000);
    s->Seek(at, TSeekOrigin::soBeginning);
    std::int64_t expected = std::min<std::int64_t>(want, static_cast<std::int64_t>(size) - at);
    std::vector<std::uint8_t> got(static_cast<std::size_t>(want) + 1);
    ASSERT_EQ(s->Read(got.data(), want), want == 0 ? 0 : expected);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + (want == 0 ? 0 : expected), bytes.begin() + at));
    EXPECT_LE(s->MappedPageCount(), TMappedStream::kMaxMappedPages);
  }
}

TEST(FileMappedStream, AutoCloseKeepsOnlyThePageBeingRead) {
  TTempDir temp;
  auto bytes = Pattern(8 * 65536);
  auto s = TMappedFileStream::OpenForRead(Host(), temp.WriteFile("f.bin", bytes), 65536);
  s->SetAutoClosePrevPages(true);
  std::vector<std::uint8_t> out(bytes.size());
  for (std::size_t at = 0; at < out.size(); at += 50000) {
    auto n = s->Read(out.data() + at, std::min<std::int64_t>(50000, static_cast<std::int64_t>(out.size() - at)));
    ASSERT_GT(n, 0);
    EXPECT_EQ(s->MappedPageCount(), 1u);
  }
  EXPECT_EQ(out, bytes);
  s->CloseAll();
  EXPECT_EQ(s->MappedPageCount(), 0u);
}

TEST(FileMappedStream, PageSizeRulesAndAutoClose) {
  TTempDir temp;
  std::string path = temp.WriteFile("f.bin", Pattern(10));
  struct TCase {
    std::int64_t Requested;
    std::uint64_t Page;
    bool AutoClose;
  } cases[] = {
      {0, 52428800, true},       {-1, 52428800, true},       {1, 65536, false},
      {1000000, 1048576, false}, {52428799, 52428800, true}, {52428801, 52428800 + 65536, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Requested);
    auto s = TMappedFileStream::OpenForRead(Host(), path, c.Requested);
    EXPECT_EQ(s->PageSize(), c.Page);
    EXPECT_EQ(s->AutoClosePrevPages(), c.AutoClose);
  }
}

TEST(FileMappedStream, EmptyFileIsAtItsEnd) {
  TTempDir temp;
  auto s = TMappedFileStream::OpenForRead(Host(), temp.WriteFile("empty.bin", ""), 0);
  std::uint8_t b;
  EXPECT_TRUE(s->Eof());
  EXPECT_EQ(s->Read(&b, 1), 0);
  EXPECT_EQ(s->Seek(-1, TSeekOrigin::soEnd), 0);
}

TEST(FileMappedStream, LongNamesOnAWindowsTargetAreOpenedInLongPathForm) {
  TTempDir temp;
  TTestTarget target(temp.Path().string());
  target.SetMaxPathLength(260);
  const std::string folder(100, 'd');
  const std::string longName = "C:\\" + folder + "\\" + folder + "\\" + folder + "\\f.bin";
  ASSERT_GE(longName.size(), 260u);
  std::filesystem::create_directories(std::filesystem::path(target.HostPath(longName)).parent_path());
  test::WriteBytes(target.HostPath(longName), Pattern(300));
  ASSERT_FALSE(target.FileExists(longName));

  auto s = TMappedFileStream::OpenForRead(target, longName, 0);
  EXPECT_EQ(s->FileName(), "\\\\?\\" + longName);
  EXPECT_EQ(s->Size(), 300u);

  // A short name that exists is opened as given.
  test::WriteBytes(target.HostPath("C:\\short.bin"), Pattern(5));
  EXPECT_EQ(TMappedFileStream::OpenForRead(target, "C:\\short.bin", 0)->FileName(), "C:\\short.bin");

  // A UNC name is never prefixed; a missing one fails to open as given.
  EXPECT_THROW(TMappedFileStream::OpenForRead(target, "\\\\server\\share\\nothing.bin", 0), runtime::EOSError);
  EXPECT_EQ(target.OpenedPaths().back(), "\\\\server\\share\\nothing.bin");
}

TEST(FileMappedStream, MissingFileThrows) {
  TTempDir temp;
  EXPECT_THROW(TMappedFileStream::OpenForRead(Host(), temp / "missing.bin", 0), runtime::EOSError);
}

}  // namespace
}  // namespace quillmark
