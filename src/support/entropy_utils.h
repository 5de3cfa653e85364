// Shannon entropy of a byte sequence, in bits per byte (0 to 8), from a
// buffer, a stream, a string, a whole file or the second section of a PE file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quillmark/base.h"
#include "runtime/interfaced_object.h"
#include "runtime/target_system.h"

namespace quillmark {

class TMappedStream;
class TAnalyzedFile;

// Progress of a measurement, 0 to 100; answering false aborts it.
using TEntropyProgressEvent = std::function<bool(Extended APercent)>;

struct IEntropy : IUnknown {
  static constexpr GUID IID{0xA5119CB6, 0xFEDD, 0x4E24, {0x9A, 0x2A, 0xE4, 0xA9, 0xB7, 0x95, 0x7C, 0xA6}};

  virtual TEntropyProgressEvent GetOnProgress() = 0;
  virtual void SetOnProgress(TEntropyProgressEvent AValue) = 0;
  // The last measured entropy; 0 after a failed measurement that got no
  // further than counting.
  virtual Extended GetEntropyValue() = 0;
  // Every Calculate* method first sets the value to 0 and answers true only
  // when a value was computed.
  virtual bool Calculate(const void* ABuffer, std::uint32_t ACount) = 0;
  // From the stream's position to its end.
  virtual bool CalculateStream(TMappedStream* AStream) = 0;
  // The UTF-16LE code units of a UTF-8 string, two bytes each (an invalid
  // UTF-8 byte counts as U+FFFD).
  virtual bool CalculateUnicodeString(const std::string& AValue) = 0;
  virtual bool CalculateAnsiString(std::string_view AValue) = 0;
  // The whole file: APageSize > 0 reads it through a mapped stream with that
  // page size, otherwise with plain reads.
  virtual bool CalculateFile(const std::string& AFileName, std::int64_t APageSize) = 0;
  // The raw bytes of the second section of a PE32 or PE32+ file.
  virtual bool CalculateSecondSection(const std::string& AFileName) = 0;

 protected:
  ~IEntropy() = default;
};

class TEntropyUtils {
 public:
  TEntropyUtils() = delete;

  class TEntropy : public runtime::TInterfacedObject, public IEntropy {
   public:
    // Files are opened through ATarget (the live host when empty).
    explicit TEntropy(std::shared_ptr<runtime::ITargetSystem> ATarget = nullptr);
    QM_IMPLEMENT_IUNKNOWN
    const char* ClassName() const override { return "TEntropyUtils.TEntropy"; }

    TEntropyProgressEvent GetOnProgress() override { return FOnProgress; }
    void SetOnProgress(TEntropyProgressEvent AValue) override { FOnProgress = std::move(AValue); }
    Extended GetEntropyValue() override { return FValue; }
    bool Calculate(const void* ABuffer, std::uint32_t ACount) override;
    bool CalculateStream(TMappedStream* AStream) override;
    bool CalculateUnicodeString(const std::string& AValue) override;
    bool CalculateAnsiString(std::string_view AValue) override;
    bool CalculateFile(const std::string& AFileName, std::int64_t APageSize) override;
    bool CalculateSecondSection(const std::string& AFileName) override;
    // The same over a file already open for an analysis.
    bool CalculateSecondSection(const TAnalyzedFile& AFile);

   protected:
    void* GetInterface(const GUID& iid) override;

   private:
    // Counts the bytes a reader delivers (up to ATotal, stopping early when it
    // delivers nothing), then sums. AReader(buffer, max) answers the count read.
    template <class Reader>
    bool CalculateFromReader(std::uint64_t ATotal, Reader&& AReader);
    // The per-value pass over finished counts.
    bool Sum(const std::uint64_t* ACounts, std::uint64_t ATotal);
    bool Report(std::uint64_t ADone, std::uint64_t ASteps);

    TEntropyProgressEvent FOnProgress;
    Extended FValue = 0;
    std::shared_ptr<runtime::ITargetSystem> FTarget;
  };

  // A new measuring object that opens files through ATarget (the live host
  // when empty).
  static ComPtr<IEntropy> GetEntropy(std::shared_ptr<runtime::ITargetSystem> ATarget = nullptr);

  // Byte histogram of a buffer, added to ACounts (256 entries). Uses several
  // interleaved count tables so that runs of one byte value do not serialise
  // on a single counter.
  static void CountBytes(const std::uint8_t* AData, std::size_t ACount, std::uint64_t* ACounts);
};

}  // namespace quillmark
