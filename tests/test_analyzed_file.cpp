// Reading the file under analysis on the live host: hostile timing (a file
// that shrinks or is swapped while it is scanned), special files that would
// block, paths longer than PATH_MAX, and the bounds on what is held in memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "engine/malware_heuristic.h"
#include "runtime/posix/live_host.h"
#include "runtime/posix/posix_files.h"
#include "support/analyzed_file.h"
#include "support/engine_fixture.h"
#include "support/file_utils.h"
#include "support/pe_writer.h"
#include "support/temp_dir.h"

namespace quillmark {
namespace {

using test::TPEBuilder;
using test::TPEKind;
using test::TTempDir;

// A PE32+ image whose second section holds `size` bytes.
std::vector<std::uint8_t> PEWithLargeSecondSection(std::size_t size) {
  TPEBuilder b(TPEKind::pe32Plus);
  b.AddSection(".text", std::vector<std::uint8_t>(0x200, 0x90), test::kCodeSection)
      .AddSection(".data", std::vector<std::uint8_t>(size, 0x5A), test::kDataSection);
  return b.Build().Bytes();
}

// The live host, but every file is cut short right after it is opened: what
// another process truncating the file mid-scan does to the reads that follow.
class TTruncatingHost : public runtime::posix::TLiveHost {
 public:
  explicit TTruncatingHost(std::uint64_t keep) : FKeep(keep) {}
  std::unique_ptr<runtime::IReadOnlyFile> OpenFileForRead(const std::string& path) override {
    auto file = TLiveHost::OpenFileForRead(path);
    EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(FKeep)), 0);
    return file;
  }

 private:
  std::uint64_t FKeep;
};

// Runs f on another thread; a call that has not returned after the timeout
// counts as blocked (the caller then unblocks it).
template <class F>
bool FinishesWithin(F&& f, std::chrono::seconds timeout, const std::function<void()>& unblock) {
  auto done = std::async(std::launch::async, std::forward<F>(f));
  if (done.wait_for(timeout) == std::future_status::ready) return true;
  unblock();
  done.wait();
  return false;
}

TEST(AnalyzedFile, FileShrunkWhileItIsScannedIsAReadErrorNotASignal) {
  TTempDir temp;
  for (std::uint64_t keep : {std::uint64_t{0}, std::uint64_t{4096}, std::uint64_t{0x600}}) {
    SCOPED_TRACE(keep);
    const std::string path = temp.WriteFile("shrinking.exe", PEWithLargeSecondSection(4 << 20));
    ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic(std::make_shared<TTruncatingHost>(keep)));
    EXPECT_FALSE(engine->AnalyzeFile(path));
    const TAnalysisStatus status = engine->LastStatus();
    EXPECT_EQ(status.Outcome, TAnalysisOutcome::aoReadError);
    EXPECT_EQ(status.Message, "file changed while it was read");
    EXPECT_TRUE(engine->GetResult()->GetRules().empty()) << "no verdict from half a file";
  }
}

TEST(AnalyzedFile, ReadsPastTheShrunkEndThrowFileChanged) {
  TTempDir temp;
  const std::string path = temp.WriteFile("f.bin", std::vector<std::uint8_t>(100000, 1));
  auto file = TAnalyzedFile::Open(*runtime::LiveHost(), path);
  ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
  std::vector<std::uint8_t> buffer(4096);
  EXPECT_EQ(file->ReadAt(0, buffer.data(), 1000), 1000u);
  EXPECT_THROW(file->ReadAt(50000, buffer.data(), buffer.size()), runtime::EFileChanged);
  EXPECT_TRUE(file->Changed());
  ASSERT_TRUE(file->ReadFailure());
  // Growth after the open is not read: the file is what it was when opened.
  ASSERT_EQ(::truncate(path.c_str(), 200000), 0);
  EXPECT_EQ(file->ReadAt(99000, buffer.data(), buffer.size()), 1000u);
}

TEST(AnalyzedFile, SpecialFilesAreRefusedWithoutBlocking) {
  TTempDir temp;
  const std::string fifo = temp / "pipe.exe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A reader that blocked in open(2) is released by a writer appearing.
  auto unblock = [&] {
    int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  };
  for (const std::string& path : {fifo, std::string("/dev/null"), std::string("/dev/zero"), temp.Path().string()}) {
    SCOPED_TRACE(path);
    bool refused = false;
    EXPECT_TRUE(FinishesWithin(
        [&] {
          try {
            TAnalyzedFile::Open(*runtime::LiveHost(), path);
          } catch (const runtime::EOSError&) {
            refused = true;
          }
        },
        std::chrono::seconds(10), unblock))
        << "open blocked";
    EXPECT_TRUE(refused);

    ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic());
    bool answer = true;
    EXPECT_TRUE(FinishesWithin([&] { answer = engine->AnalyzeFile(path); }, std::chrono::seconds(10), unblock));
    EXPECT_FALSE(answer);
    EXPECT_EQ(engine->LastStatus().Outcome, TAnalysisOutcome::aoReadError);
  }
}

// A tree deeper than PATH_MAX, built and removed through directory
// descriptors (the system refuses such paths whole).
class TDeepTree {
 public:
  TDeepTree(const std::string& root, std::size_t minLength) : FRoot(root) {
    const std::string component(200, 'd');
    int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    FPath = root;
    while (FPath.size() < minLength) {
      EXPECT_EQ(::mkdirat(dir, component.c_str(), 0700), 0);
      int next = ::openat(dir, component.c_str(), O_RDONLY | O_DIRECTORY);
      ::close(dir);
      dir = next;
      FPath += "/" + component;
    }
    FLeaf = dir;
  }
  ~TDeepTree() {
    ::close(FLeaf);
    std::system(("rm -rf '" + FRoot + "/" + std::string(200, 'd') + "'").c_str());
  }
  const std::string& Path() const { return FPath; }
  void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    int fd = ::openat(FLeaf, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }

 private:
  std::string FRoot;
  std::string FPath;
  int FLeaf = -1;
};

TEST(AnalyzedFile, PathsLongerThanPathMaxAreAnalysed) {
  TTempDir temp;
  TDeepTree tree(temp.Path().string(), 5000);
  tree.Write("deep.exe", PEWithLargeSecondSection(0x1000));
  const std::string path = tree.Path() + "/deep.exe";
  ASSERT_GT(path.size(), 4096u);

  EXPECT_TRUE(runtime::LiveHost()->FileExists(path));
  EXPECT_TRUE(runtime::LiveHost()->DirectoryExists(tree.Path()));
  auto entries = runtime::LiveHost()->ListDirectory(tree.Path());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Name, "deep.exe");
  EXPECT_TRUE(FileUtils::IsPEFile(*runtime::LiveHost(), path));

  ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic());
  EXPECT_TRUE(engine->AnalyzeFile(path)) << engine->LastStatus().Message;
  EXPECT_EQ(engine->LastStatus().Outcome, TAnalysisOutcome::aoAnalyzed);
}

TEST(AnalyzedFile, RangesStayWithinTheMemoryBudget) {
  TTempDir temp;
  const std::string path = temp / "big.bin";
  {
    // Sparse: the size costs no disk.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(3 * TAnalyzedFile::kMemoryBudget)), 0);
    ::close(fd);
  }
  auto file = TAnalyzedFile::Open(*runtime::LiveHost(), path);
  EXPECT_EQ(file->Range(10, 20).size(), 20u);
  EXPECT_EQ(file->MemoryHeld(), TAnalyzedFile::kChunkSize);
  // A second small range in the same chunk reads nothing more.
  EXPECT_EQ(file->Range(1000, 8).size(), 8u);
  EXPECT_EQ(file->MemoryHeld(), TAnalyzedFile::kChunkSize);
  EXPECT_TRUE(file->Range(0, 2 * TAnalyzedFile::kMemoryBudget).empty());
  EXPECT_LE(file->MemoryHeld(), TAnalyzedFile::kMemoryBudget);
  // Out of the file: nothing, and nothing read.
  EXPECT_TRUE(file->Range(file->Size() - 4, 8).empty());
}

TEST(AnalyzedFile, SizeCapLimitsWhatIsReadAndIsReported) {
  TTempDir temp;
  const std::string path = temp.WriteFile("capped.exe", PEWithLargeSecondSection(1 << 20));
  auto file = TAnalyzedFile::Open(*runtime::LiveHost(), path, 0x10000);
  EXPECT_TRUE(file->SizeCapped());
  EXPECT_EQ(file->Size(), 0x10000u);
  std::uint8_t b[16];
  EXPECT_EQ(file->ReadAt(0x10000 - 4, b, sizeof b), 4u);
  EXPECT_TRUE(file->IsPEImage());

  ComPtr<TMalwareHeuristic> engine(new TMalwareHeuristic());
  engine->Settings().SetMaxFileSize(0x10000);
  EXPECT_TRUE(engine->AnalyzeFile(path));
  ASSERT_EQ(engine->LastStatus().Warnings.size(), 1u);
  EXPECT_NE(engine->LastStatus().Warnings[0].find("size cap"), std::string::npos);
  engine->Settings().SetMaxFileSize(TAnalyzedFile::kDefaultMaxFileSize);
  EXPECT_TRUE(engine->AnalyzeFile(path));
  EXPECT_TRUE(engine->LastStatus().Warnings.empty());
}

}  // namespace
}  // namespace quillmark
