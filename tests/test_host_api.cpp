// What a host reaches through the public interfaces alone: rule evidence as
// a value tree, the settings beyond the file names, the status of the last
// analysis with the size and digest of what it read, knowledge problems, the
// report of one file and its JSON record, and the version.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "db/sqlite_table.h"
#include "engine/result_json.h"
#include "quillmark/quillmark.h"
#include "rules/rule_custom.h"
#include "support/engine_fixture.h"
#include "support/pe_writer.h"
#include "support/signing.h"
#include "support/temp_dir.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;

namespace {

ComPtr<IMalwareHeuristic> NewEngine() {
  void* obj = nullptr;
  if (DllGetInstance(IMalwareHeuristic::IID, &obj) != S_OK) return {};
  auto engine = ComPtr<IMalwareHeuristic>::Attach(static_cast<IMalwareHeuristic*>(obj));
  engine->GetSettings().As<IMalwareHeuristicSettingsEx>()->SetDataFolder(QUILLMARK_BUILT_DATA_DIR);
  return engine;
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha256(), nullptr);
  std::string hex;
  char buf[3];
  for (unsigned int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", digest[i]);
    hex += buf;
  }
  return hex;
}

std::vector<std::uint8_t> Filled(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

std::string ProgramBytes() {
  const auto pe = TPEBuilder().AddSection(".text", Filled(0x6000, 3)).AddSection(".data", Filled(0x200, 9), kDataSection).Build();
  return std::string(pe.Bytes().begin(), pe.Bytes().end());
}

ComPtr<IMalwareRuleResultEvidence> Evidence(IMalwareHeuristic& engine, R type) {
  const auto& rules = engine.GetResult()->GetRules();
  auto it = rules.find(type);
  return it == rules.end() ? ComPtr<IMalwareRuleResultEvidence>() : it->second.As<IMalwareRuleResultEvidence>();
}

std::string Text(const TDetailValue& record, const char* name) {
  const TDetailValue* v = record.Find(name);
  return v ? v->TextOr() : "<missing>";
}

}  // namespace

// A program signed under a root the engine does not trust, named with a
// decoy extension: the signature's evidence and the name's threat record
// reach the host; once the root is added as a trust anchor the signature is
// trusted.
TEST(HostApi, RuleEvidenceOfASignedProgramWithADecoyName) {
  const auto& pki = TTestPKI::Get();
  TTempDir dir;
  const std::string plain = dir.WriteFile("plain.exe", ProgramBytes());
  const std::string file = dir / "invoice.pdf.exe";
  pki.Sign(plain, file, pki.Leaf);

  ComPtr<IMalwareHeuristic> engine = NewEngine();
  ASSERT_TRUE(engine->AnalyzeFile(file));
  auto signature = Evidence(*engine, R::mhRuleSignedFile);
  ASSERT_TRUE(signature);
  TDetailValue details = signature->GetDetailRecord();
  ASSERT_EQ(details.Kind, TDetailValueKind::dvRecord);
  EXPECT_EQ(Text(details, "trustResult"), "CERT_E_UNTRUSTEDROOT");
  EXPECT_EQ(Text(details, "trustCode"), "0x800B0109");
  EXPECT_EQ(Text(details, "signerName"), pki.Leaf.SubjectName);
  EXPECT_EQ(Text(details, "thumbprint"), pki.Leaf.Thumbprint);
  ASSERT_TRUE(details.Find("trusted"));
  EXPECT_FALSE(details.Find("trusted")->IsTrue());
  EXPECT_TRUE(signature->GetThreatRecords().empty());

  auto decoy = Evidence(*engine, R::mhRuleDoubleExtension);
  ASSERT_TRUE(decoy);
  const std::vector<TThreatRecord> threats = decoy->GetThreatRecords();
  ASSERT_EQ(threats.size(), 1u);
  EXPECT_EQ(threats[0].Name, "ThreatFileName.Dangerous.Base");
  EXPECT_EQ(threats[0].DangerPercent, 40.0L);
  EXPECT_EQ(Text(decoy->GetDetailRecord(), "secondExt"), ".pdf");

  auto settings = engine->GetSettings().As<IMalwareHeuristicSettingsEx>();
  settings->AddCAFile(pki.Root.CertFile);
  settings->AddCAFile(pki.Root.CertFile);
  EXPECT_EQ(settings->GetCAFiles(), std::vector<std::string>{pki.Root.CertFile});
  ASSERT_TRUE(engine->AnalyzeFile(file));
  details = Evidence(*engine, R::mhRuleSignedFile)->GetDetailRecord();
  EXPECT_TRUE(details.Find("trusted")->IsTrue()) << JsonValue(details);
  EXPECT_EQ(Text(details, "issuerName"), pki.Leaf.IssuerName);
}

// A rule without fields of its own answers an empty record; records of
// records (connections, folders) become lists of records, in order.
TEST(HostApi, DetailsBecomeAValueTree) {
  TRuleResultDetails details;
  details.push_back({"connections", TRuleResultDetailRecords{
                                        {{"state", std::string("ESTABLISHED")}, {"localPort", std::int64_t{49152}}},
                                        {{"remoteInBlackList", true}}}});
  details.push_back({"entropy", Extended{7.5}});
  details.push_back({"none", TRuleResultDetailRecords{}});
  EXPECT_EQ(JsonValue(DetailsToValue(details)),
            R"({"connections":[{"state":"ESTABLISHED","localPort":49152},{"remoteInBlackList":true}],)"
            R"("entropy":7.5,"none":[]})");
  EXPECT_EQ(JsonValue(DetailsToValue({})), "{}");
  const TDetailValue tree = DetailsToValue(details);
  EXPECT_EQ(tree.Find("connections")->Items.at(0).Find("localPort")->Integer, 49152);
  EXPECT_EQ(tree.Find("missing"), nullptr);
}

TEST(HostApi, SettingsBeyondTheFileNames) {
  ComPtr<IMalwareHeuristic> engine = NewEngine();
  ComPtr<IMalwareHeuristicSettings> names = engine->GetSettings();
  auto settings = names.As<IMalwareHeuristicSettingsEx>();
  ASSERT_TRUE(settings);
  settings->SetDataFolder("/srv/knowledge");
  EXPECT_EQ(settings->GetDataFolder(), "/srv/knowledge/");
  EXPECT_EQ(names->GetDictionaryThreatsInfoFileName(), "/srv/knowledge/hmthinfo.mdict");
  EXPECT_EQ(names->GetDictionaryHarmonyNameSchemeFileName(), "/srv/knowledge/hwscheme.mdict");
  EXPECT_EQ(settings->GetTrustFolder(), "/srv/knowledge/trust/");
  settings->SetTrustFolder("/etc/anchors/");
  EXPECT_EQ(settings->GetTrustFolder(), "/etc/anchors/");
  settings->AddCAFile("/a.pem");
  settings->AddCAFile("/b.pem");
  settings->AddCAFile("/a.pem");
  EXPECT_EQ(settings->GetCAFiles(), (std::vector<std::string>{"/a.pem", "/b.pem"}));
  settings->ClearCAFiles();
  EXPECT_TRUE(settings->GetCAFiles().empty());
  EXPECT_EQ(settings->GetMaxFileSize(), std::uint64_t{4} << 30);
  EXPECT_TRUE(settings->GetComputeSha256());
  settings->SetMaxFileSize(8192);
  EXPECT_EQ(settings->GetMaxFileSize(), 8192u);
}

// The status says how each kind of target ended, with the size of what was
// opened and the digest of what was analysed: the bytes up to the size cap,
// a sparse file's hole as the zeros it reads as, a memory block.
TEST(HostApi, StatusGivesSizeAndDigestOfWhatWasAnalysed) {
  TTempDir dir;
  const std::string program = ProgramBytes();
  const std::string file = dir.WriteFile("program.exe", program);
  const std::string text = dir.WriteFile("notes.txt", "not a program\n");
  const std::string sparse = dir.WriteFile("sparse.exe", program);
  constexpr std::uintmax_t kHole = 3 << 20;
  std::filesystem::resize_file(sparse, program.size() + kHole);

  struct TCase {
    const char* Name;
    std::string File;
    std::uint64_t Cap;
    TAnalysisOutcome Outcome;
    std::optional<std::uint64_t> Size;
    std::string Sha256;
    std::size_t Warnings;
    bool Digest = true;
  };
  const std::vector<TCase> cases = {
      {"program", file, std::uint64_t{4} << 30, TAnalysisOutcome::aoAnalyzed, program.size(), Sha256Hex(program), 0},
      {"capped", file, 8192, TAnalysisOutcome::aoAnalyzed, program.size(), Sha256Hex(program.substr(0, 8192)), 1},
      {"sparse", sparse, std::uint64_t{4} << 30, TAnalysisOutcome::aoAnalyzed, program.size() + kHole,
       Sha256Hex(program + std::string(kHole, '\0')), 0},
      {"text", text, std::uint64_t{4} << 30, TAnalysisOutcome::aoNotPEImage, 14, "", 0},
      {"missing", dir / "missing.exe", std::uint64_t{4} << 30, TAnalysisOutcome::aoReadError, std::nullopt, "", 0},
      {"no digest asked for", file, std::uint64_t{4} << 30, TAnalysisOutcome::aoAnalyzed, program.size(), "", 0,
       false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ComPtr<IMalwareHeuristic> engine = NewEngine();
    auto settings = engine->GetSettings().As<IMalwareHeuristicSettingsEx>();
    settings->SetMaxFileSize(c.Cap);
    settings->SetComputeSha256(c.Digest);
    engine->AnalyzeFile(c.File);
    const TAnalysisStatus status = engine.As<IMalwareHeuristicStatus>()->GetLastStatus();
    EXPECT_EQ(status.Outcome, c.Outcome) << AnalysisOutcomeName(status.Outcome) << " " << status.Message;
    EXPECT_EQ(status.Size, c.Size);
    EXPECT_EQ(status.Sha256, c.Sha256);
    EXPECT_EQ(status.Warnings.size(), c.Warnings);
  }

  ComPtr<IMalwareHeuristic> engine = NewEngine();
  ASSERT_TRUE(engine->AnalyzeMemory(program.data(), static_cast<std::uint32_t>(program.size())));
  const TAnalysisStatus status = engine.As<IMalwareHeuristicStatus>()->GetLastStatus();
  EXPECT_EQ(status.Size, program.size());
  EXPECT_EQ(status.Sha256, Sha256Hex(program));
}

TEST(HostApi, KnowledgeAndTrustAnchorProblems) {
  TTempDir dir;
  const std::string junk = dir.WriteFile("junk.pem", "no certificate\n");
  ComPtr<IMalwareHeuristic> engine = NewEngine();
  auto settings = engine->GetSettings().As<IMalwareHeuristicSettingsEx>();
  settings->SetDataFolder(dir.Path().string());
  settings->AddCAFile(junk);
  auto status = engine.As<IMalwareHeuristicStatus>();

  const std::vector<TKnowledgeFileProblem> problems = status->CheckKnowledgeFiles();
  ASSERT_EQ(problems.size(), 4u);
  const TKnowledgeFileKind kinds[] = {TKnowledgeFileKind::kfBlackWhiteLists, TKnowledgeFileKind::kfFileDetails,
                                      TKnowledgeFileKind::kfThreatsInfo, TKnowledgeFileKind::kfHarmonyStrings};
  for (std::size_t i = 0; i < problems.size(); ++i) {
    EXPECT_EQ(problems[i].Kind, kinds[i]);
    EXPECT_EQ(problems[i].Reason, "missing");
    EXPECT_EQ(std::filesystem::path(problems[i].FileName).parent_path(), dir.Path());
  }
  EXPECT_EQ(problems[1].Rules, std::vector<R>{R::mhRuleIncorrectFileLocation});
  EXPECT_TRUE(problems[2].Rules.empty());

  const std::vector<TTrustAnchorProblem> anchors = status->GetTrustAnchorProblems();
  ASSERT_EQ(anchors.size(), 1u);
  EXPECT_EQ(anchors[0].FileName, junk);
  EXPECT_EQ(anchors[0].Reason, "holds no certificate");

  const std::vector<std::string> warnings = engine.As<IMalwareHeuristicReport>()->CheckKnowledgeWarnings();
  ASSERT_EQ(warnings.size(), 5u);
  EXPECT_EQ(warnings[0].rfind("knowledge file '" + problems[0].FileName + "' cannot be used (missing): not applied: ", 0),
            0u)
      << warnings[0];
  EXPECT_EQ(warnings[4], "certificate file '" + junk + "' adds no trust anchor (holds no certificate)");
}

// The report of each kind of target, as the program prints it.
TEST(HostApi, ReportOfOneFile) {
  TEngineFiles files;
  ComPtr<IMalwareHeuristic> engine = NewEngine();
  auto reporter = engine.As<IMalwareHeuristicReport>();
  ASSERT_TRUE(reporter);

  engine->AnalyzeFile(files.TextFile());
  TFileReport r = reporter->GetLastReport("notes.txt");
  EXPECT_EQ(r.File, "notes.txt");
  EXPECT_FALSE(r.Analyzed);
  EXPECT_TRUE(r.Readable);
  EXPECT_EQ(r.Error, "not a PE image");
  EXPECT_TRUE(r.Rules.empty());

  engine->AnalyzeFile(files.Missing());
  r = reporter->GetLastReport(files.Missing());
  EXPECT_FALSE(r.Readable);
  EXPECT_EQ(r.Error, "No such file or directory");
  EXPECT_FALSE(r.Size);

  ASSERT_TRUE(engine->AnalyzeFile(files.PEFile()));
  r = reporter->GetLastReport(files.PEFile());
  EXPECT_TRUE(r.Analyzed);
  EXPECT_EQ(r.Error, "");
  EXPECT_EQ(r.Percent, engine->GetResult()->GetPercentageMatch());
  EXPECT_EQ(r.Rules.size(), engine->GetResult()->GetRules().size());
  ASSERT_FALSE(r.Rules.empty());
  EXPECT_EQ(r.Rules[0].Rule, "mhRuleSignedFile");
  EXPECT_EQ(r.Rules[0].Details.Kind, TDetailValueKind::dvRecord);
  ASSERT_TRUE(r.ThreatName);  // the shipped threat names know the generic identifier
  EXPECT_EQ(reporter->GetLastReportJson(files.PEFile(), 50, {}), FileReportJson(r, 50));
}

// A knowledge file whose query fails during an analysis: the report of
// that analysis says so every time it is asked for, and the next analysis,
// which goes without the file, does not.
TEST(HostApi, ReportCarriesTheKnowledgeThatFailedDuringItsAnalysis) {
  TTempDir dir;
  const std::string hostile = dir / "threats.mdict";
  TSQLiteDatabase(hostile, TSQLiteOpenMode::omReadWriteCreate)
      .ExecSQLChecked("create view threatid as with recursive r(n) as (select 1 union all select n + 1 from r) "
                      "select n as id, 1 as severity, 'x' as name from r;");
  TEngineFiles files;
  ComPtr<IMalwareHeuristic> engine = NewEngine();
  engine->GetSettings()->SetDictionaryThreatsInfoFileName(hostile);

  ASSERT_TRUE(engine->AnalyzeFile(files.PEFile()));
  auto reporter = engine.As<IMalwareHeuristicReport>();
  const TFileReport first = reporter->GetLastReport("sample.exe");
  EXPECT_TRUE(first.KnowledgeFailed);
  ASSERT_EQ(first.Warnings.size(), 1u);
  EXPECT_EQ(first.Warnings[0].rfind("knowledge file '" + hostile +
                                        "' failed during the analysis (query interrupted: work limit): not applied: ",
                                    0),
            0u)
      << first.Warnings[0];
  EXPECT_FALSE(first.ThreatName);
  const TFileReport again = reporter->GetLastReport("sample.exe");
  EXPECT_EQ(again.Warnings, first.Warnings);
  EXPECT_TRUE(again.KnowledgeFailed);

  ASSERT_TRUE(engine->AnalyzeFile(files.PEFile()));
  const TFileReport next = reporter->GetLastReport("sample.exe");
  EXPECT_FALSE(next.KnowledgeFailed);
  EXPECT_TRUE(next.Warnings.empty());
}

// The record's keys are all there whatever is known, in one order.
TEST(HostApi, JsonRecordHasEveryKey) {
  TFileReport unread;
  unread.File = "bad\xFF.exe";
  unread.Readable = false;
  unread.Percent = 0;
  unread.Error = "Permission denied";

  TFileReport analysed;
  analysed.File = "a\"b\n.exe";
  analysed.Analyzed = true;
  analysed.Percent = 50;
  analysed.ThreatId = 8000001;
  analysed.Size = 1024;
  analysed.Sha256 = std::string(64, 'a');
  analysed.Warnings = {"own"};
  TRuleReport rule;
  rule.Rule = "mhRuleEntropy";
  rule.Percent = 100;
  rule.Threats = {{"TThreat.Base", 12.5}};
  rule.Details.Fields = {{"nothing", TDetailValue::Null()},
                         {"nan", TDetailValue::FromNumber(std::numeric_limits<Extended>::quiet_NaN())},
                         {"list", TDetailValue::EmptyList()}};
  rule.Details.Fields[2].Value.Items = {TDetailValue::FromInteger(-3), TDetailValue::FromText("x")};
  analysed.Rules = {rule};

  struct TCase {
    const char* Name;
    const TFileReport& Report;
    Extended Threshold;
    std::string Json;
  };
  const std::string analysedTail =
      R"("size":1024,"sha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",)"
      R"("threat":{"id":8000001,"name":null,"severity":null},)"
      R"("rules":[{"rule":"mhRuleEntropy","percent":100,"threats":[{"name":"TThreat.Base","danger":12.5}],)"
      R"("details":{"nothing":null,"nan":null,"list":[-3,"x"]}}],"error":null,"warnings":["shared","own"]})";
  const std::vector<TCase> cases = {
      {"unread", unread, 0,
       "{\"file\":\"bad\xEF\xBF\xBD.exe\",\"fileBytes\":\"YmFk/y5leGU=\",\"analyzed\":false,\"percent\":0,"
       "\"flagged\":false,\"size\":null,\"sha256\":null,\"threat\":null,\"rules\":[],"
       "\"error\":\"Permission denied\",\"warnings\":[\"shared\"]}"},
      {"at the threshold", analysed, 50,
       R"({"file":"a\"b\n.exe","fileBytes":null,"analyzed":true,"percent":50,"flagged":true,)" + analysedTail},
      {"below the threshold", analysed, 50.5,
       R"({"file":"a\"b\n.exe","fileBytes":null,"analyzed":true,"percent":50,"flagged":false,)" + analysedTail},
  };
  for (const TCase& c : cases) EXPECT_EQ(FileReportJson(c.Report, c.Threshold, {"shared"}), c.Json) << c.Name;
}

TEST(HostApi, VersionMatchesDllGetVersion) {
  DLLVERSIONINFO2 v{};
  v.info1.cbSize = sizeof v;
  ASSERT_EQ(DllGetVersion(&v), S_OK);
  EXPECT_EQ(std::string(QuillmarkVersion()), std::to_string(v.info1.dwMajorVersion) + "." +
                                                 std::to_string(v.info1.dwMinorVersion) + "." +
                                                 std::to_string((v.ullVersion >> 16) & 0xFFFF));
}
