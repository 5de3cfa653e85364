// Entropy measurement (buffer, stream, strings, file, second PE section) and
// the entropy rule with its post-pass.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/malware_heuristic.h"
#include "quillmark/rule_results.h"
#include "rules/entropy.h"
#include "support/entropy_utils.h"
#include "support/file_mapped.h"
#include "support/pe_writer.h"
#include "support/scripted_rule.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Repeated(std::size_t n, std::uint8_t v) { return TBytes(n, v); }

// Each of the first `values` byte values, `times` times, interleaved.
TBytes EquallyOften(unsigned values, std::size_t times) {
  TBytes b;
  for (std::size_t t = 0; t < times; ++t)
    for (unsigned v = 0; v < values; ++v) b.push_back(static_cast<std::uint8_t>(v));
  return b;
}

TBytes Random(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  TBytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

// Straightforward entropy: one counter table, values summed in order.
Extended Reference(const TBytes& b) {
  std::uint64_t counts[256] = {};
  for (auto x : b) ++counts[x];
  Extended e = 0;
  for (unsigned v = 0; v < 256; ++v) {
    if (!counts[v]) continue;
    Extended p = static_cast<Extended>(counts[v]) / static_cast<Extended>(b.size());
    e -= p * std::log2(p);
  }
  return e;
}

ComPtr<IEntropy> NewEntropy() { return TEntropyUtils::GetEntropy(); }

Extended Progress(std::uint64_t k, std::uint64_t n) {
  return static_cast<Extended>(k * 100) / static_cast<Extended>(n + 256);
}

// The progress values a measurement of n bytes reports.
std::vector<Extended> ExpectedProgress(std::uint64_t n) {
  std::vector<Extended> v;
  for (std::uint64_t k = 1; k <= n + 256; ++k) v.push_back(Progress(k, n));
  return v;
}

// Two-section image: low-entropy code first, then the given second section.
TPEBytes TwoSections(TPEKind kind, TBytes second, TBytes first = Repeated(0x300, 0x90)) {
  return TPEBuilder(kind)
      .AddSection(".text", std::move(first), kCodeSection)
      .AddSection(".data", std::move(second), kDataSection)
      .Build();
}

}  // namespace

// --- buffers -------------------------------------------------------------------

TEST(EntropyBuffer, KnownDistributions) {
  struct Case {
    const char* name;
    TBytes bytes;
    Extended expected;
  };
  const Case cases[] = {
      {"one repeated byte 0", Repeated(1000, 0), 0},
      {"one repeated byte 0xFF, odd length", Repeated(1001, 0xFF), 0},
      {"single byte", Repeated(1, 0x41), 0},
      {"256 values equally often", EquallyOften(256, 4), 8},
      {"256 values once each", EquallyOften(256, 1), 8},
      {"128 values equally often", EquallyOften(128, 3), 7},
      {"two values equally often", EquallyOften(2, 17), 1},
  };
  auto e = NewEntropy();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(e->Calculate(c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())));
    EXPECT_EQ(e->GetEntropyValue(), c.expected);
  }
  // 3:1 split.
  const TBytes skewed{7, 7, 7, 9};
  ASSERT_TRUE(e->Calculate(skewed.data(), 4));
  EXPECT_NEAR(static_cast<double>(e->GetEntropyValue()), 0.8112781244591328, 1e-15);
}

TEST(EntropyBuffer, InterleavedCountingMatchesASingleTableAtEveryLengthAndAlignment) {
  auto e = NewEntropy();
  const TBytes random = Random(70000, 1);
  const TBytes runs = [] {
    TBytes b;
    for (unsigned i = 0; i < 300; ++i) b.insert(b.end(), 1 + i % 37, static_cast<std::uint8_t>(i * 13));
    return b;
  }();
  for (const TBytes* source : {&random, &runs}) {
    for (std::size_t offset : {0, 1, 3, 7}) {
      for (std::size_t n : {1, 2, 15, 16, 17, 31, 33, 255, 4097}) {
        if (offset + n > source->size()) continue;
        TBytes slice(source->begin() + offset, source->begin() + offset + n);
        ASSERT_TRUE(e->Calculate(source->data() + offset, static_cast<std::uint32_t>(n)));
        EXPECT_EQ(e->GetEntropyValue(), Reference(slice)) << "offset " << offset << " length " << n;
      }
    }
  }
  ASSERT_TRUE(e->Calculate(random.data(), static_cast<std::uint32_t>(random.size())));
  EXPECT_EQ(e->GetEntropyValue(), Reference(random));
}

TEST(EntropyBuffer, NothingToMeasureAnswersFalseAndZero) {
  auto e = NewEntropy();
  const TBytes b = EquallyOften(256, 1);
  ASSERT_TRUE(e->Calculate(b.data(), 256));
  EXPECT_FALSE(e->Calculate(nullptr, 10));
  EXPECT_EQ(e->GetEntropyValue(), 0);
  ASSERT_TRUE(e->Calculate(b.data(), 256));
  EXPECT_FALSE(e->Calculate(b.data(), 0));
  EXPECT_EQ(e->GetEntropyValue(), 0);
  EXPECT_FALSE(e->CalculateAnsiString(""));
  EXPECT_FALSE(e->CalculateUnicodeString(""));
  EXPECT_FALSE(e->CalculateStream(nullptr));
}

TEST(EntropyBuffer, QueriesAsIEntropy) {
  auto e = NewEntropy();
  EXPECT_TRUE(e.As<IEntropy>());
  EXPECT_EQ(e->GetEntropyValue(), 0);
  EXPECT_FALSE(e->GetOnProgress());
}

// --- strings ---------------------------------------------------------------------

TEST(EntropyString, UnicodeMeasuresUtf16CodeUnitsAndAnsiTheBytes) {
  struct Case {
    const char* name;
    std::string text;
    TBytes utf16;
  };
  const Case cases[] = {
      {"ascii", "AB", {0x41, 0x00, 0x42, 0x00}},
      {"two-byte sequence", "\xC3\xA9x", {0xE9, 0x00, 0x78, 0x00}},
      {"surrogate pair", "\xF0\x9F\x98\x80", {0x3D, 0xD8, 0x00, 0xDE}},
      {"invalid byte becomes U+FFFD", "\xFF" "a", {0xFD, 0xFF, 0x61, 0x00}},
      {"truncated sequence", "\xE2\x82", {0xFD, 0xFF, 0xFD, 0xFF}},
      {"control characters", std::string("\x01\x00\x1F", 3), {0x01, 0x00, 0x00, 0x00, 0x1F, 0x00}},
  };
  auto e = NewEntropy();
  auto check = NewEntropy();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(e->CalculateUnicodeString(c.text));
    ASSERT_TRUE(check->Calculate(c.utf16.data(), static_cast<std::uint32_t>(c.utf16.size())));
    EXPECT_EQ(e->GetEntropyValue(), check->GetEntropyValue());

    ASSERT_TRUE(e->CalculateAnsiString(c.text));
    ASSERT_TRUE(check->Calculate(c.text.data(), static_cast<std::uint32_t>(c.text.size())));
    EXPECT_EQ(e->GetEntropyValue(), check->GetEntropyValue());
  }
}

// --- streams and files -------------------------------------------------------------

TEST(EntropyFile, StreamAndFileVariantsEqualTheBufferVariant) {
  TTempDir dir;
  struct Case {
    const char* name;
    TBytes bytes;
  };
  const Case cases[] = {
      {"random, several read blocks and pages", Random(200001, 2)},
      {"one repeated byte", Repeated(70000, 0x5A)},
      {"128 values", EquallyOften(128, 600)},
      {"tiny", TBytes{1, 2, 3}},
  };
  auto e = NewEntropy();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.WriteFile("f.bin", c.bytes);
    ASSERT_TRUE(e->Calculate(c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())));
    const Extended expected = e->GetEntropyValue();

    for (std::int64_t page : {0, -1, 1, 65536, 1 << 20}) {
      SCOPED_TRACE(page);
      ASSERT_TRUE(e->CalculateFile(path, page));
      EXPECT_EQ(e->GetEntropyValue(), expected);
    }
    ASSERT_TRUE(e->CalculateAnsiString(std::string(c.bytes.begin(), c.bytes.end())));
    EXPECT_EQ(e->GetEntropyValue(), expected);

    // A stream is measured from its position to its end.
    auto stream = TMappedFileStream::OpenForRead(*runtime::LiveHost(), path, 65536);
    const std::size_t from = c.bytes.size() / 3;
    stream->Seek(static_cast<std::int64_t>(from), TSeekOrigin::soBeginning);
    ASSERT_TRUE(e->CalculateStream(stream.get()));
    ASSERT_TRUE(stream->Eof());
    auto tail = NewEntropy();
    ASSERT_TRUE(tail->Calculate(c.bytes.data() + from, static_cast<std::uint32_t>(c.bytes.size() - from)));
    EXPECT_EQ(e->GetEntropyValue(), tail->GetEntropyValue());
  }
}

TEST(EntropyFile, NothingToReadAnswersFalse) {
  TTempDir dir;
  auto e = NewEntropy();
  const std::string empty = dir.WriteFile("empty.bin", std::string_view());
  const std::string some = dir.WriteFile("some.bin", EquallyOften(256, 2));
  for (std::int64_t page : {0, 65536}) {
    ASSERT_TRUE(e->CalculateFile(some, page));
    EXPECT_FALSE(e->CalculateFile(empty, page));
    EXPECT_EQ(e->GetEntropyValue(), 0);
    EXPECT_FALSE(e->CalculateFile(dir / "missing.bin", page));
    EXPECT_FALSE(e->CalculateFile(dir.Path().string(), page));  // a folder
  }
  auto stream = TMappedFileStream::OpenForRead(*runtime::LiveHost(), some, 0);
  stream->Seek(0, TSeekOrigin::soEnd);
  EXPECT_FALSE(e->CalculateStream(stream.get()));
}

// --- progress ------------------------------------------------------------------------

TEST(EntropyProgress, EveryVariantReportsEachByteThenEachValue) {
  TTempDir dir;
  const TBytes bytes = Random(70001, 3);  // more than one read block
  const std::string path = dir.WriteFile("p.bin", bytes);
  const std::string pe = dir.WriteFile("p.exe", TwoSections(TPEKind::pe32, bytes).Bytes());

  auto plain = NewEntropy();
  ASSERT_TRUE(plain->Calculate(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
  const std::vector<Extended> expected = ExpectedProgress(bytes.size());

  struct Case {
    const char* name;
    std::function<bool(IEntropy&)> run;
  };
  const Case cases[] = {
      {"buffer", [&](IEntropy& e) { return e.Calculate(bytes.data(), static_cast<std::uint32_t>(bytes.size())); }},
      {"file, plain reads", [&](IEntropy& e) { return e.CalculateFile(path, 0); }},
      {"file, mapped stream", [&](IEntropy& e) { return e.CalculateFile(path, 65536); }},
      {"ansi string", [&](IEntropy& e) { return e.CalculateAnsiString(std::string(bytes.begin(), bytes.end())); }},
      {"second section", [&](IEntropy& e) { return e.CalculateSecondSection(pe); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto e = NewEntropy();
    std::vector<Extended> seen;
    e->SetOnProgress([&](Extended p) {
      seen.push_back(p);
      return true;
    });
    ASSERT_TRUE(c.run(*e));
    EXPECT_EQ(e->GetEntropyValue(), plain->GetEntropyValue());
    ASSERT_EQ(seen.size(), expected.size());
    EXPECT_TRUE(seen == expected);
    EXPECT_EQ(seen.back(), 100);
  }
}

TEST(EntropyProgress, FalseFromTheCallbackAborts) {
  const TBytes bytes = EquallyOften(256, 3);
  struct Case {
    const char* name;
    std::size_t stopAt;  // 1-based report that answers false
  };
  const Case cases[] = {{"first byte", 1}, {"last byte", 768}, {"first value", 769}, {"last value", 768 + 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto e = NewEntropy();
    std::size_t calls = 0;
    e->SetOnProgress([&](Extended) { return ++calls < c.stopAt; });
    EXPECT_FALSE(e->Calculate(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(calls, c.stopAt);
    if (c.stopAt <= bytes.size()) {
      EXPECT_EQ(e->GetEntropyValue(), 0);
    }
    EXPECT_LT(e->GetEntropyValue(), 8);
  }
}

// --- second section ------------------------------------------------------------------

TEST(EntropySecondSection, MeasuresExactlyTheSecondSectionOfPE32AndPE32Plus) {
  TTempDir dir;
  const TBytes random = Random(4096, 4);
  const TBytes code = EquallyOften(128, 16);
  struct Case {
    const char* name;
    TPEKind kind;
    TBytes first;
    TBytes second;
  };
  const Case cases[] = {
      {"PE32, random second", TPEKind::pe32, Repeated(0x300, 0x90), random},
      {"PE32+, random second", TPEKind::pe32Plus, Repeated(0x300, 0x90), random},
      {"PE32, random first, 7-bit second", TPEKind::pe32, random, code},
      {"PE32+, random first, 7-bit second", TPEKind::pe32Plus, random, code},
      {"second section not a multiple of the alignment", TPEKind::pe32Plus, random, Random(1000, 5)},
  };
  auto e = NewEntropy();
  auto check = NewEntropy();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.WriteFile("s.exe", TwoSections(c.kind, c.second, c.first).Bytes());
    ASSERT_TRUE(e->CalculateSecondSection(path));
    ASSERT_TRUE(check->Calculate(c.second.data(), static_cast<std::uint32_t>(c.second.size())));
    EXPECT_EQ(e->GetEntropyValue(), check->GetEntropyValue());
  }
}

TEST(EntropySecondSection, HeaderRulesOfTheMeasurement) {
  TTempDir dir;
  const TBytes second = Random(1000, 6);
  auto e = NewEntropy();
  auto check = NewEntropy();

  // The section table is found from the magic, whatever SizeOfOptionalHeader says.
  {
    TPEBytes pe = TwoSections(TPEKind::pe32, second);
    pe.SetSizeOfOptionalHeader(0);
    ASSERT_TRUE(e->CalculateSecondSection(dir.WriteFile("a.exe", pe.Bytes())));
    ASSERT_TRUE(check->Calculate(second.data(), 1000));
    EXPECT_EQ(e->GetEntropyValue(), check->GetEntropyValue());
  }
  // An unaligned raw pointer is rounded up to the file alignment.
  {
    TPEBytes pe = TwoSections(TPEKind::pe32, second);
    pe.SetSectionPointerToRawData(1, static_cast<std::uint32_t>(pe.SectionRawOffset(1) - 0x1FF));
    ASSERT_TRUE(e->CalculateSecondSection(dir.WriteFile("b.exe", pe.Bytes())));
    EXPECT_EQ(e->GetEntropyValue(), check->GetEntropyValue());
  }
  // Virtual size 0: the raw size counts, alignment padding included.
  {
    TPEBytes pe = TwoSections(TPEKind::pe32Plus, second);
    pe.SetSectionVirtualSize(1, 0);
    ASSERT_TRUE(e->CalculateSecondSection(dir.WriteFile("c.exe", pe.Bytes())));
    TBytes padded(pe.Bytes().begin() + static_cast<std::ptrdiff_t>(pe.SectionRawOffset(1)),
                  pe.Bytes().begin() + static_cast<std::ptrdiff_t>(pe.SectionRawOffset(1) + 0x400));
    ASSERT_TRUE(check->Calculate(padded.data(), static_cast<std::uint32_t>(padded.size())));
    EXPECT_EQ(e->GetEntropyValue(), check->GetEntropyValue());
  }
  // A section that ends exactly at the end of the file is measured.
  {
    TPEBytes pe = TwoSections(TPEKind::pe32, second);
    pe.Truncate(pe.SectionRawOffset(1) + 1000);
    ASSERT_TRUE(e->CalculateSecondSection(dir.WriteFile("d.exe", pe.Bytes())));
    ASSERT_TRUE(check->Calculate(second.data(), 1000));
    EXPECT_EQ(e->GetEntropyValue(), check->GetEntropyValue());
  }
}

TEST(EntropySecondSection, MalformedAndHostileFilesAnswerFalseAndZero) {
  TTempDir dir;
  const TBytes second = Random(1000, 7);
  using TEdit = std::function<void(TPEBytes&)>;
  struct Case {
    const char* name;
    TPEKind kind;
    TEdit edit;
  };
  const Case cases[] = {
      {"one section (zeros after the first header)", TPEKind::pe32,
       [](TPEBytes& pe) {
         pe = TPEBuilder(TPEKind::pe32).AddSection(".text", Random(4096, 8)).Build();
       }},
      {"one section, PE32+", TPEKind::pe32Plus,
       [](TPEBytes& pe) {
         pe = TPEBuilder(TPEKind::pe32Plus).AddSection(".text", Random(4096, 8)).Build();
       }},
      {"63-byte file", TPEKind::pe32, [](TPEBytes& pe) { pe.Truncate(63); }},
      {"no MZ", TPEKind::pe32, [](TPEBytes& pe) { pe.SetDosMagic(0x4D5A); }},
      {"no PE signature", TPEKind::pe32, [](TPEBytes& pe) { pe.SetNtSignature(0x00014550); }},
      {"header offset + 248 past the end", TPEKind::pe32,
       [](TPEBytes& pe) { pe.SetLfanew(static_cast<std::uint32_t>(pe.Size() - 247)); }},
      {"header offset near 4 GiB", TPEKind::pe32, [](TPEBytes& pe) { pe.SetLfanew(0xFFFFFFF8); }},
      {"file alignment 0", TPEKind::pe32, [](TPEBytes& pe) { pe.SetFileAlignment(0); }},
      {"file alignment 0, PE32+", TPEKind::pe32Plus, [](TPEBytes& pe) { pe.SetFileAlignment(0); }},
      {"truncated section", TPEKind::pe32, [](TPEBytes& pe) { pe.Truncate(pe.SectionRawOffset(1) + 999); }},
      {"truncated section table", TPEKind::pe32Plus,
       [](TPEBytes& pe) { pe.Truncate(pe.SectionHeaderOffset(1) + 12); }},
      {"raw pointer at the end", TPEKind::pe32,
       [](TPEBytes& pe) { pe.SetSectionPointerToRawData(1, static_cast<std::uint32_t>(pe.Size())); }},
      {"raw pointer past the end", TPEKind::pe32, [](TPEBytes& pe) { pe.SetSectionPointerToRawData(1, 0x7FFFFE00); }},
      {"raw pointer rounds past 4 GiB", TPEKind::pe32,
       [](TPEBytes& pe) { pe.SetSectionPointerToRawData(1, 0xFFFFFFFF); }},
      {"virtual size near 4 GiB", TPEKind::pe32, [](TPEBytes& pe) { pe.SetSectionVirtualSize(1, 0xFFFFFFFF); }},
      {"raw size near 4 GiB, no virtual size", TPEKind::pe32Plus,
       [](TPEBytes& pe) { pe.SetSectionVirtualSize(1, 0).SetSectionSizeOfRawData(1, 0xFFFFFE00); }},
      {"empty second section", TPEKind::pe32,
       [](TPEBytes& pe) { pe.SetSectionVirtualSize(1, 0).SetSectionSizeOfRawData(1, 0); }},
      {"huge alignment", TPEKind::pe32, [](TPEBytes& pe) { pe.SetFileAlignment(0x80000000); }},
  };
  auto e = NewEntropy();
  const std::string good = dir.WriteFile("good.exe", TwoSections(TPEKind::pe32, second).Bytes());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPEBytes pe = TwoSections(c.kind, second);
    c.edit(pe);
    const std::string path = dir.WriteFile("bad.exe", pe.Bytes());
    ASSERT_TRUE(e->CalculateSecondSection(good));
    EXPECT_FALSE(e->CalculateSecondSection(path));
    EXPECT_EQ(e->GetEntropyValue(), 0);
  }
  EXPECT_FALSE(e->CalculateSecondSection(dir / "missing.exe"));
  EXPECT_FALSE(e->CalculateSecondSection(dir.Path().string()));
  EXPECT_FALSE(e->CalculateSecondSection(""));
}

// --- the rule ----------------------------------------------------------------------------

namespace {

// Registers only the entropy rule (and scripted rules for the given types).
class TEntropyOnly {
 public:
  explicit TEntropyOnly(std::vector<R> scripted = {}) : FGuard(std::move(scripted)) {
    TMalwareHeuristic::RegisterRule(R::mhRuleEntropy, &RuleClassOf<TMalwareRuleEntropy>);
  }

 private:
  TScriptedRegistry FGuard;
};

ComPtr<IMalwareRuleResultEntropy> EntropyResult(TMalwareHeuristic& e) {
  const auto& rules = e.GetResult()->GetRules();
  auto it = rules.find(R::mhRuleEntropy);
  if (it == rules.end()) return {};
  return it->second.As<IMalwareRuleResultEntropy>();
}

class EntropyRule : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string packed = dir.WriteFile("packed.exe", TwoSections(TPEKind::pe32, Random(4096, 9)).Bytes());
  std::string plain = dir.WriteFile("plain.exe", TwoSections(TPEKind::pe32Plus, EquallyOften(128, 8)).Bytes());
  std::string single = dir.WriteFile("single.exe", TPEBuilder().AddSection(".text", Random(4096, 10)).Build().Bytes());
};

}  // namespace

TEST_F(EntropyRule, ScoresFilesByTheirSecondSection) {
  TEntropyOnly reg;
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  struct Case {
    const char* name;
    std::string file;
    Extended percent;
    bool measured;
  };
  const Case cases[] = {
      {"random second section", packed, 100, true},
      {"entropy exactly 7", plain, 0, true},
      {"single section", single, 0, false},
      {"after a single-section file the value is reset", plain, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(e->AnalyzeFile(c.file));
    auto result = EntropyResult(*e);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->GetPercentageMatch(), c.percent);
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.percent);
    if (c.measured)
      EXPECT_GT(result->GetEntropyValue(), 6.9L);
    else
      EXPECT_EQ(result->GetEntropyValue(), 0);
  }
  ASSERT_TRUE(e->AnalyzeFile(plain));
  EXPECT_EQ(EntropyResult(*e)->GetEntropyValue(), 7);
}

TEST_F(EntropyRule, ScoresMemoryBlocks) {
  TEntropyOnly reg;
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  struct Case {
    const char* name;
    TBytes block;
    Extended percent;
    Extended entropy;
  };
  const Case cases[] = {
      {"256 values equally often", EquallyOften(256, 2), 100, 8},
      {"entropy exactly 7", EquallyOften(128, 2), 0, 7},
      {"one repeated byte", Repeated(512, 0), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(e->AnalyzeMemory(c.block.data(), static_cast<std::uint32_t>(c.block.size())));
    auto result = EntropyResult(*e);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->GetPercentageMatch(), c.percent);
    EXPECT_EQ(result->GetEntropyValue(), c.entropy);
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.percent);
  }
  const TBytes block = EquallyOften(256, 1);
  EXPECT_FALSE(e->AnalyzeMemory(block.data(), 0));
  EXPECT_FALSE(e->AnalyzeMemory(nullptr, 256));
}

TEST_F(EntropyRule, StandaloneRuleAndItsResult) {
  ComPtr<TMalwareRuleEntropy> rule(new TMalwareRuleEntropy(nullptr, R::mhRuleEntropy));
  EXPECT_EQ(rule->GetSupportedTypes(), SupportedTypeBit(TMalwareRuleSupportedType::mrstFile) |
                                           SupportedTypeBit(TMalwareRuleSupportedType::mrstMemory));
  Extended percent = -1;
  ASSERT_TRUE(rule->AnalyzeFile(packed, percent));
  EXPECT_EQ(percent, 100);
  auto result = rule->GetResult().As<IMalwareRuleResultEntropy>();
  ASSERT_TRUE(result);
  const Extended value = result->GetEntropyValue();
  EXPECT_GT(value, 7);

  auto* object = static_cast<TMalwareRuleResult*>(result.As<ILinkObjectInterface>()->GetObject());
  TRuleResultDetails details;
  object->GetDetails(details);
  ASSERT_EQ(details.size(), 1u);
  EXPECT_EQ(details[0].Name, "entropy");
  EXPECT_EQ(std::get<Extended>(details[0].Value), value);

  EXPECT_FALSE(rule->AnalyzeMemory(packed.data(), 0, percent));
  EXPECT_EQ(percent, 0);
  EXPECT_EQ(result->GetEntropyValue(), 0);
  EXPECT_FALSE(rule->AnalyzeFile(dir / "missing.exe"));
}

TEST_F(EntropyRule, ReadsFilesThroughTheEnginesTarget) {
  TEntropyOnly reg;
  auto target = std::make_shared<TTestTarget>(dir / "target", runtime::TPathSyntax::psWindows);
  const std::filesystem::path host = target->HostPath("C:\\Users\\x\\packed.exe");
  std::filesystem::create_directories(host.parent_path());
  WriteBytes(host, TwoSections(TPEKind::pe32, Random(4096, 11)).Bytes());
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic(target));
  ASSERT_TRUE(e->AnalyzeFile("C:\\Users\\x\\packed.exe"));
  EXPECT_EQ(EntropyResult(*e)->GetPercentageMatch(), 100);
}

TEST_F(EntropyRule, PostPassRaisesTheVerdictForFileAnalyses) {
  // Scripted rules score 10 unless listed with another percent; entropy
  // scores 100 from a random second section.
  struct Case {
    const char* name;
    std::vector<std::pair<R, Extended>> fired;
    Extended overall;
  };
  const Case cases[] = {
      {"path + unsigned + harmony: at least 60", {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleSignedFile, 10},
                                                  {R::mhRuleHarmonyName, 10}}, 60},
      {"path + unsigned + no company", {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleSignedFile, 10},
                                        {R::mhRuleNoCompanyInfo, 10}}, 60},
      {"path + unsigned + no window", {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleSignedFile, 10},
                                       {R::mhRuleNoMainWindow, 10}}, 60},
      {"path + unsigned + registry: 100", {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleSignedFile, 10},
                                           {R::mhRuleSuspiciousRegistry, 10}}, 100},
      {"the 60 branch ends the pass before the sets",
       {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleSignedFile, 10}, {R::mhRuleFakeExtension, 10},
        {R::mhRuleHarmonyName, 10}}, 60},
      {"60 never lowers a higher mean", {{R::mhRuleSuspiciousPath, 80}, {R::mhRuleSignedFile, 80},
                                         {R::mhRuleHarmonyName, 80}}, 85},
      {"path + unsigned alone: the mean", {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleSignedFile, 10}}, 40},
      {"unsigned + fake extension + path", {{R::mhRuleSignedFile, 10}, {R::mhRuleFakeExtension, 10},
                                            {R::mhRuleSuspiciousPath, 10}}, 100},
      {"path + no icon + open ports", {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleNoIcon, 10},
                                       {R::mhRuleOpenNetworkPorts, 10}}, 100},
      {"registry + no company", {{R::mhRuleSuspiciousRegistry, 10}, {R::mhRuleNoCompanyInfo, 10}}, 100},
      {"an incomplete set changes nothing", {{R::mhRuleSuspiciousPath, 10}, {R::mhRuleNoIcon, 10}}, 40},
      {"a stored rule at 0 has not fired", {{R::mhRuleSuspiciousRegistry, 10}, {R::mhRuleNoCompanyInfo, 0}},
       (10 + 0 + 100) / 3.0L},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<R> types;
    for (auto& [t, p] : c.fired) types.push_back(t);
    TEntropyOnly reg(types);
    for (auto& [t, p] : c.fired) Scripts()[t].Percent = p;
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
    ASSERT_TRUE(e->AnalyzeFile(packed));
    ASSERT_EQ(e->GetResult()->GetRules().size(), c.fired.size() + 1);
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.overall);
  }
}

TEST_F(EntropyRule, PostPassDoesNothingWithoutHighEntropyOrForMemory) {
  {
    TEntropyOnly reg({R::mhRuleSuspiciousRegistry, R::mhRuleNoCompanyInfo});
    Scripts()[R::mhRuleSuspiciousRegistry].Percent = 10;
    Scripts()[R::mhRuleNoCompanyInfo].Percent = 10;
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
    ASSERT_TRUE(e->AnalyzeFile(plain));  // entropy 7: the rule scores 0
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 20 / 3.0L);
  }
  {
    TEntropyOnly reg({R::mhRuleSuspiciousRegistry, R::mhRuleNoCompanyInfo});
    for (R t : {R::mhRuleSuspiciousRegistry, R::mhRuleNoCompanyInfo}) {
      Scripts()[t].Percent = 10;
      Scripts()[t].SupportsMemory = true;
    }
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
    const TBytes block = EquallyOften(256, 4);
    ASSERT_TRUE(e->AnalyzeMemory(block.data(), static_cast<std::uint32_t>(block.size())));
    EXPECT_EQ(EntropyResult(*e)->GetPercentageMatch(), 100);
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 40);
  }
}
