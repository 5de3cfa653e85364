// libFuzzer entry: the PE reader, the PE-file test, the resource walk, the
// version-resource reader and the second-section entropy over arbitrary
// bytes, both from memory and read on demand from a file (the way analyses
// read): the two must agree.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/target_system.h"
#include "support/analyzed_file.h"
#include "support/entropy_utils.h"
#include "support/file_utils.h"
#include "support/file_version_info.h"
#include "support/pe_image.h"
#include "support/pe_resources.h"

namespace {

using namespace quillmark;

// A target whose only file is the fuzzer's input.
class TBufferTarget : public runtime::ITargetSystem {
 public:
  TBufferTarget(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}

  runtime::TPathSyntax PathSyntax() const override { return runtime::TPathSyntax::psWindows; }
  bool FileExists(const std::string& path) override { return path == kName; }
  bool DirectoryExists(const std::string&) override { return false; }
  std::unique_ptr<runtime::IReadOnlyFile> OpenFileForRead(const std::string& path) override {
    if (path != kName) throw runtime::EOSError(2, "no such file");
    return std::make_unique<TFile>(FData, FSize);
  }
  std::string EnvironmentVariable(const std::string&) override { return {}; }
  std::string GetSpecialFolder(int) override { return {}; }
  std::string WindowsDirectory() override { return "C:\\Windows"; }
  runtime::TWindowsVersion WindowsVersion() override { return runtime::TWindowsVersion::wvWin10; }
  std::vector<runtime::TProcessEntry> EnumerateProcesses() override { return {}; }
  std::uint64_t GetTickCount64() override { return 0; }

  static constexpr const char* kName = "C:\\input.exe";

 private:
  class TView : public runtime::IFileView {
   public:
    TView(const std::uint8_t* data, std::size_t size) : FCopy(new std::uint8_t[size ? size : 1]), FSize(size) {
      if (size) std::memcpy(FCopy.get(), data, size);
    }
    const std::uint8_t* Data() const override { return FSize ? FCopy.get() : nullptr; }
    std::size_t Size() const override { return FSize; }

   private:
    std::unique_ptr<std::uint8_t[]> FCopy;  // exact size, so overreads are caught
    std::size_t FSize;
  };

  class TFile : public runtime::IReadOnlyFile {
   public:
    TFile(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
    std::uint64_t Size() const override { return FSize; }
    std::unique_ptr<runtime::IFileView> Map(std::uint64_t offset, std::size_t size) override {
      if (offset >= FSize) return std::make_unique<TView>(nullptr, 0);
      size = static_cast<std::size_t>(std::min<std::uint64_t>(size, FSize - offset));
      return std::make_unique<TView>(FData + offset, size);
    }
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t n) override {
      if (offset >= FSize) return 0;
      n = static_cast<std::size_t>(std::min<std::uint64_t>(n, FSize - offset));
      std::memcpy(buffer, FData + offset, n);
      return n;
    }

   private:
    const std::uint8_t* FData;
    std::size_t FSize;
  };

  const std::uint8_t* FData;
  std::size_t FSize;
};

volatile std::uint64_t gSink;

// The two readings of one input differ: a fault of the reader.
void Check(bool same) {
  if (!same) __builtin_trap();
}

std::vector<std::string> EntryList(const TPEResources& r) {
  std::vector<std::string> out;
  r.ForEach({}, [&](const TResourceEntry& e) {
    auto bytes = r.Data(e);
    out.push_back(e.Type.ToString() + "/" + e.Name.ToString() + "/" + std::to_string(e.Language) + "/" +
                  std::to_string(e.DataRva) + "/" + std::to_string(bytes.size()) + "/" +
                  (bytes.empty() ? std::string() : std::to_string(bytes.front() + 256 * bytes.back())));
    return true;
  });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TPEImage image(data, size);
  std::uint64_t sum = image.IsValid();
  for (std::size_t i = 0; i < image.Sections().size(); ++i) {
    auto raw = image.SectionRawData(i);
    if (!raw.empty()) sum += raw.front() + raw.back();
    const TImageSection& s = image.Sections()[i];
    if (auto off = image.RvaToOffset(s.VirtualAddress + s.VirtualSize / 2)) sum += *off;
  }
  for (unsigned d = 0; d < pe::NUMBEROF_DIRECTORY_ENTRIES; ++d) {
    if (auto dir = image.DataDirectory(d)) {
      auto bytes = image.RvaData(dir->VirtualAddress, dir->Size);
      if (!bytes.empty()) sum += bytes.back();
    }
  }

  TPEResources resources(image);
  sum += resources.HasType(rtIcon) + resources.TypeCount();
  resources.ForEach({}, [&](const TResourceEntry& entry) {
    auto bytes = resources.Data(entry);
    if (!bytes.empty()) sum += bytes.front();
    return true;
  });
  sum += TFileVersionInfo(image).GetValue("CompanyName").size();
  sum += TFileVersionInfo::FromResourceData({data, size}).GetValue("CompanyName").size();

  TBufferTarget target(data, size);
  sum += FileUtils::IsPEFile(target, TBufferTarget::kName);

  // The same bytes read on demand, in chunks, as an analysis reads a file.
  TAnalyzedFile file(target.OpenFileForRead(TBufferTarget::kName), TBufferTarget::kName);
  const TPEImage& onDemand = file.Image();
  Check(onDemand.IsValid() == image.IsValid() && onDemand.Error() == image.Error());
  Check(onDemand.Sections().size() == image.Sections().size());
  Check(onDemand.DataDirectoryCount() == image.DataDirectoryCount());
  TPEResources fileResources(onDemand);
  Check(EntryList(fileResources) == EntryList(resources));
  Check(TFileVersionInfo(onDemand).GetValue("CompanyName") == TFileVersionInfo(image).GetValue("CompanyName"));
  Check(file.MemoryHeld() <= TAnalyzedFile::kMemoryBudget);

  TEntropyUtils::TEntropy entropy(std::shared_ptr<runtime::ITargetSystem>(&target, [](runtime::ITargetSystem*) {}));
  sum += entropy.CalculateSecondSection(file);
  gSink = sum;
  return 0;
}
