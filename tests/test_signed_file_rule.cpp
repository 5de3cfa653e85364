// The signed-file rule through the engine, on PE files signed for real with
// osslsigncode under a throw-away CA, against black and white lists compiled
// by quillmark-dict; and its post-pass, with scripted rules in the other
// slots.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "engine/malware_heuristic.h"
#include "quillmark/rule_results.h"
#include "rules/no_company_info.h"
#include "rules/signed_file.h"
#include "rules/suspicious_path.h"
#include "support/engine_fixture.h"
#include "support/pe_image.h"
#include "support/pe_writer.h"
#include "support/resource_writer.h"
#include "support/scripted_rule.h"
#include "support/signing.h"
#include "support/temp_dir.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;

namespace {

ComPtr<IMalwareRuleResult> Stored(TMalwareHeuristic& e, R type) {
  const auto& rules = e.GetResult()->GetRules();
  auto it = rules.find(type);
  return it == rules.end() ? ComPtr<IMalwareRuleResult>() : it->second;
}

std::string Detail(const TMalwareRuleResult& r, const std::string& name) {
  TRuleResultDetails details;
  r.GetDetails(details);
  for (const auto& d : details)
    if (d.Name == name) {
      if (auto* s = std::get_if<std::string>(&d.Value)) return *s;
      if (auto* b = std::get_if<bool>(&d.Value)) return *b ? "true" : "false";
      if (auto* i = std::get_if<std::int64_t>(&d.Value)) return std::to_string(*i);
    }
  return "<none>";
}

// Signed fixtures and the compiled lists, made once per test program.
class SignedFileRule : public ::testing::Test {
 protected:
  static const TTestPKI& Pki() { return TTestPKI::Get(); }
  static TTempDir& Dir() {
    static TTempDir dir;
    return dir;
  }

  static std::string Unsigned() {
    static std::string file = Dir().WriteFile(
        "unsigned.exe", TPEBuilder().AddSection(".text", Filled(0x600, 3)).AddSection(".data", Filled(0x200, 9), kDataSection)
                            .Build()
                            .Bytes());
    return file;
  }

  static std::string SignedBy(const std::string& name, const TTestCert& cert) {
    const std::string out = Dir() / name;
    if (!std::filesystem::exists(out)) Pki().Sign(Unsigned(), out, cert);
    return out;
  }

  static std::string Tampered() {
    const std::string out = Dir() / "tampered.exe";
    if (!std::filesystem::exists(out)) {
      auto bytes = ReadFileBytes(SignedBy("leaf.exe", Pki().Leaf));
      TPEImage image(bytes.data(), bytes.size());
      bytes[image.Sections().at(0).PointerToRawData + 9] ^= 0x20;
      Dir().WriteFile("tampered.exe", bytes);
    }
    return out;
  }

  // The leaf-signed file with a second WIN_CERTIFICATE (48 bytes) and 5
  // bytes after it in its certificate table, which the signature does not
  // cover.
  static std::string WithTableExtras() {
    const std::string out = Dir() / "extras.exe";
    if (!std::filesystem::exists(out)) {
      auto bytes = ReadFileBytes(SignedBy("leaf.exe", Pki().Leaf));
      auto extra = WinCertificate(0x0200, 0x0002, Filled(40, 1));
      extra.insert(extra.end(), {1, 2, 3, 4, 5});
      GrowCertificateTable(bytes, extra);
      Dir().WriteFile("extras.exe", bytes);
    }
    return out;
  }

  // Black: the certificate with serial 010203. White: the same certificate
  // (so it stands on both lists) and the certificate named "Build Unit".
  static std::string Lists() {
    static std::string file = [] {
      const std::string src = Dir().WriteFile("lists.tsv",
                                              "list\tsigner\tserial\tissuer\tmode\n"
                                              "black\t\t^(00)?010203$\t\t2\n"
                                              "white\t^Quillmark Serial Publisher$\t\t\t0\n"
                                              "white\t^Build Unit$\t\t^Quillmark Test Code Signing CA$\t4\n"
                                              "## company names\n"
                                              "list\tcompany\n"
                                              "black\t^\\s*Bad Vendor\\s*$\n");
      const std::string out = Dir() / "hbwlists.mdict";
      if (RunProgram({QUILLMARK_DICT_PATH, "build", "--kind", "bwlists", src, "-o", out}, Dir() / "dict.log") != 0)
        ADD_FAILURE() << "quillmark-dict failed";
      return out;
    }();
    return file;
  }

  // An engine whose knowledge folder is empty except for the lists, and whose
  // trust anchors are the system bundle plus the test root.
  ComPtr<TMalwareHeuristic> NewEngine(bool withTestRoot = true) {
    ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
    e->Settings().SetDataFolder(FData.Path().string());
    e->GetSettings()->SetDictionaryBlackWhiteListsFileName(Lists());
    if (withTestRoot) e->Settings().AddCAFile(Pki().Root.CertFile);
    return e;
  }

  TTempDir FData;
};

}  // namespace

TEST_F(SignedFileRule, VerdictsOfRealSignatures) {
  // A scripted rule of lower priority shows whether the analysis went on:
  // checked and averaged in, or skipped after a clean or malicious end.
  TScriptedRegistry reg({R::mhRuleNoIcon});
  TMalwareHeuristic::RegisterRule(R::mhRuleSignedFile, &RuleClassOf<TMalwareRuleSignedFile>);
  Scripts()[R::mhRuleNoIcon].Percent = 50;
  auto e = NewEngine();
  const TTestPKI& pki = Pki();

  struct Case {
    const char* name;
    std::string file;
    Extended rulePercent;
    Extended overall;
    bool analysisWentOn;
    const TTestCert* interfaceSigner;  // null: the interface reports no signer
    bool blacklisted;
    std::string trustResult;
    std::string detailSigner;  // the certificate the signature names
  };
  const Case cases[] = {
      {"unsigned", Unsigned(), 100, 75, true, nullptr, false, "TRUST_E_NOSIGNATURE", ""},
      {"signed and trusted, in neither list", SignedBy("leaf.exe", pki.Leaf), 0, 25, true, &pki.Leaf, false, "S_OK",
       pki.Leaf.SubjectName},
      {"signed under an unknown root", SignedBy("unknown.exe", pki.UnknownLeaf), 100, 75, true, nullptr, false,
       "CERT_E_UNTRUSTEDROOT", pki.UnknownLeaf.SubjectName},
      {"changed after signing", Tampered(), 100, 75, true, nullptr, false, "TRUST_E_BAD_DIGEST", pki.Leaf.SubjectName},
      {"expired certificate", SignedBy("expired.exe", pki.Expired), 0, 25, true, &pki.Expired, false, "CERT_E_EXPIRED",
       pki.Expired.SubjectName},
      {"white-listed signer", SignedBy("nocn.exe", pki.NoCommonName), 0, 0, false, &pki.NoCommonName, false, "S_OK",
       pki.NoCommonName.SubjectName},
      {"on both lists: black wins", SignedBy("serial.exe", pki.Serial), 100, 100, false, &pki.Serial, true, "S_OK",
       pki.Serial.SubjectName},
      {"crafted signer name", SignedBy("crafted.exe", pki.Crafted), 0, 25, true, &pki.Crafted, false, "S_OK",
       pki.Crafted.SubjectName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Journal().Clear();
    ASSERT_TRUE(e->AnalyzeFile(c.file));
    auto stored = Stored(*e, R::mhRuleSignedFile);
    ASSERT_TRUE(stored);
    auto typed = stored.As<IMalwareRuleResultSignedFile>();
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->GetPercentageMatch(), c.rulePercent);
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.overall);
    EXPECT_EQ(!Journal().Checked.empty(), c.analysisWentOn);
    EXPECT_EQ(typed->GetInBlacklist(), c.blacklisted);
    EXPECT_EQ(typed->GetSignerName(), c.interfaceSigner ? c.interfaceSigner->SubjectName : "");
    EXPECT_EQ(typed->GetIssuerName(), c.interfaceSigner ? c.interfaceSigner->IssuerName : "");
    EXPECT_EQ(typed->GetSerialNumber(), c.interfaceSigner ? c.interfaceSigner->SerialHex : "");
    EXPECT_TRUE(ObjectOf(stored).Threats().empty());
    EXPECT_EQ(Detail(ObjectOf(stored), "trustResult"), c.trustResult);
    EXPECT_EQ(Detail(ObjectOf(stored), "signerName"), c.detailSigner);
  }

  // The crafted name left the lists as they were: the black-listed
  // certificate still ends an analysis.
  ASSERT_TRUE(e->AnalyzeFile(SignedBy("serial.exe", pki.Serial)));
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), 100);
}

TEST_F(SignedFileRule, TrustAnchorsComeFromTheSettings) {
  TScriptedRegistry reg({});
  TMalwareHeuristic::RegisterRule(R::mhRuleSignedFile, &RuleClassOf<TMalwareRuleSignedFile>);
  const std::string file = SignedBy("leaf.exe", Pki().Leaf);

  // Without the test root the signature does not chain; with it in the
  // knowledge folder's trust/ subfolder, or added as a CA file, it does.
  auto bare = NewEngine(false);
  ASSERT_TRUE(bare->AnalyzeFile(file));
  auto result = Stored(*bare, R::mhRuleSignedFile);
  EXPECT_EQ(result->GetPercentageMatch(), 100);
  EXPECT_EQ(Detail(ObjectOf(result), "trustResult"), "CERT_E_UNTRUSTEDROOT");
  EXPECT_EQ(Detail(ObjectOf(result), "trustCode"), "0x800B0109");

  // (A trust folder's files are read once per process: a new folder here.)
  TTempDir knowledge;
  std::filesystem::create_directories(knowledge.Path() / "trust");
  std::filesystem::copy_file(Pki().Root.CertFile, knowledge.Path() / "trust" / "root.pem");
  // A FIFO among the anchors is passed over without waiting for a writer.
  ASSERT_EQ(::mkfifo((knowledge.Path() / "trust" / "fifo.pem").c_str(), 0600), 0);
  ComPtr<TMalwareHeuristic> withFolder(new TMalwareHeuristic());
  withFolder->Settings().SetDataFolder(knowledge.Path().string());
  ASSERT_TRUE(withFolder->AnalyzeFile(file));
  EXPECT_EQ(Stored(*withFolder, R::mhRuleSignedFile)->GetPercentageMatch(), 0);

  // The same engine picks up a CA file added between analyses.
  TTempDir other;
  bare->Settings().SetDataFolder(other.Path().string());
  bare->GetSettings()->SetDictionaryBlackWhiteListsFileName(Lists());
  bare->Settings().AddCAFile(Pki().Root.CertFile);
  ASSERT_TRUE(bare->AnalyzeFile(file));
  result = Stored(*bare, R::mhRuleSignedFile);
  EXPECT_EQ(result->GetPercentageMatch(), 0);
  EXPECT_EQ(Detail(ObjectOf(result), "trusted"), "true");
}

TEST_F(SignedFileRule, TableExtrasAndLimitsShowInTheDetails) {
  auto e = NewEngine();
  ComPtr<TMalwareRuleSignedFile> rule(new TMalwareRuleSignedFile(e.get(), R::mhRuleSignedFile));
  auto details = [&]() -> TMalwareRuleResult& { return ObjectOf(rule->GetResult()); };

  // Bytes beside the signature leave it trusted and are shown.
  Extended percent = -1;
  ASSERT_TRUE(rule->AnalyzeFile(WithTableExtras(), percent));
  EXPECT_EQ(percent, 0);
  EXPECT_EQ(Detail(details(), "trusted"), "true");
  EXPECT_EQ(Detail(details(), "uncoveredTableBytes"), "53");
  EXPECT_EQ(Detail(details(), "extraCertificateEntries"), "1");
  EXPECT_EQ(Detail(details(), "trustReason"), "<none>");

  // A file above the engine's size limit is not verified, and says why.
  e->Settings().SetMaxFileSize(1024);
  ASSERT_TRUE(rule->AnalyzeFile(SignedBy("leaf.exe", Pki().Leaf), percent));
  EXPECT_EQ(percent, 100);
  EXPECT_EQ(Detail(details(), "trusted"), "false");
  EXPECT_EQ(Detail(details(), "trustResult"), "ERROR_FILE_TOO_LARGE");
  EXPECT_EQ(Detail(details(), "trustCode"), "0x800700DF");
  EXPECT_NE(Detail(details(), "trustReason").find("more than the limit of 1024 bytes"), std::string::npos);
  EXPECT_EQ(Detail(details(), "uncoveredTableBytes"), "0");
}

TEST_F(SignedFileRule, BlackListedCompanyThroughTheEngine) {
  TScriptedRegistry reg({R::mhRuleNoIcon});
  TMalwareHeuristic::RegisterRule(R::mhRuleNoCompanyInfo, &RuleClassOf<TMalwareRuleNoCompanyInfo>);
  Scripts()[R::mhRuleNoIcon].Percent = 10;
  auto e = NewEngine();
  struct Case {
    const char* company;
    bool malicious;
  };
  const Case cases[] = {{"Bad Vendor", true}, {"Bad Vendor Labs", false}, {"Bad \"Vendor\"\") or (\"1", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.company);
    Journal().Clear();
    TResourceBuilder r;
    r.Add(rtVersion, kVersionInfoId, 0x0409,
          TVersionInfoBuilder().AddStringTable("040904B0", {{"CompanyName", c.company}}).AddTranslation(0x0409, 1200).Build());
    const std::string file = FData.WriteFile("vendor.exe", BuildPEWithResources(r).Bytes());
    ASSERT_TRUE(e->AnalyzeFile(file));
    auto typed = Stored(*e, R::mhRuleNoCompanyInfo).As<IMalwareRuleResultNoCompanyInfo>();
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->GetInBlacklist(), c.malicious);
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.malicious ? 100 : 5);
    EXPECT_EQ(Journal().Checked.empty(), c.malicious) << "a malicious verdict ends the analysis";
  }
}

namespace {

// A suspicious-path slot whose result carries a scripted folder type.
class TFolderRule : public TScriptedRule {
 public:
  using TScriptedRule::TScriptedRule;
  static inline TSuspiciousPathResultFolder Folder = TSuspiciousPathResultFolder::sprFolderUnknown;

 protected:
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultSuspiciousPath(); }
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override {
    static_cast<TMalwareRuleResultSuspiciousPath&>(RuleResult()).FFolderType = Folder;
    return TScriptedRule::CheckFile(AFileName, APercent);
  }
};

}  // namespace

TEST_F(SignedFileRule, PostPassRaisesAnUnsignedNetworkedPackedProgramInASuspiciousFolder) {
  using F = TSuspiciousPathResultFolder;
  TScriptedRegistry reg({R::mhRuleSuspiciousPath, R::mhRuleOpenNetworkPorts, R::mhRuleEntropy});
  TMalwareHeuristic::RegisterRule(R::mhRuleSignedFile, &RuleClassOf<TMalwareRuleSignedFile>);
  TMalwareHeuristic::RegisterRule(R::mhRuleSuspiciousPath, &RuleClassOf<TFolderRule>);

  struct Case {
    const char* name;
    std::string file;
    F folder;
    Extended path, ports, entropy;
    Extended overall;
  };
  const Case cases[] = {
      {"unsigned, temp folder, ports, entropy", Unsigned(), F::sprFolderTemp, 20, 10, 10, 100},
      {"in the recycle bin", Unsigned(), F::sprFolderRecycleBin, 20, 10, 10, 100},
      {"in the Windows folder itself", Unsigned(), F::sprFolderWindows, 20, 10, 10, 35},
      {"no open ports", Unsigned(), F::sprFolderTemp, 20, 0, 10, 32.5},
      {"low entropy", Unsigned(), F::sprFolderTemp, 20, 10, 0, 32.5},
      {"ordinary folder", Unsigned(), F::sprFolderUnknown, 0, 10, 10, 30},
      {"signed: the post-pass does not run", SignedBy("leaf.exe", Pki().Leaf), F::sprFolderTemp, 20, 10, 10, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto e = NewEngine();
    TFolderRule::Folder = c.folder;
    Scripts()[R::mhRuleSuspiciousPath].Percent = c.path;
    Scripts()[R::mhRuleOpenNetworkPorts].Percent = c.ports;
    Scripts()[R::mhRuleEntropy].Percent = c.entropy;
    ASSERT_TRUE(e->AnalyzeFile(c.file));
    EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.overall);
  }
}

TEST_F(SignedFileRule, CommandLineShowsTheSignerAndTheTrustOutcome) {
  const TTestPKI& pki = Pki();
  TTempDir out;
  // The signer lists under test, beside the bundled knowledge the CLI needs for a clean exit status.
  std::filesystem::copy_file(Lists(), FData.Path() / "hbwlists.mdict");
  for (const char* name : {"hsysfiles.mdict", "hmthinfo.mdict", "hwscheme.mdict"})
    std::filesystem::copy_file(std::filesystem::path(QUILLMARK_BUILT_DATA_DIR) / name, FData.Path() / name);
  const std::string expired = SignedBy("expired.exe", pki.Expired);
  auto run = [&](std::vector<std::string> args) {
    std::vector<std::string> argv{QUILLMARK_CLI_PATH, "scan", "--no-progress", "--data", FData.Path().string(),
                                  "--rule", "signed-file"};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string log = out / "cli.log";
    const int status = RunProgram(argv, log);
    const auto bytes = ReadFileBytes(log);
    return std::make_pair(status, std::string(bytes.begin(), bytes.end()));
  };

  auto [status, text] = run({"--ca-file", pki.Root.CertFile, expired, Tampered()});
  EXPECT_EQ(status, 1) << text;  // the tampered file scores 100
  EXPECT_NE(text.find(expired + ": 0.0%  mhRuleSignedFile 0.0% {signer \"" + pki.Expired.SubjectName + "\", issuer \"" +
                      pki.Expired.IssuerName + "\", serial " + pki.Expired.SerialHex + ", thumbprint " +
                      pki.Expired.Thumbprint + ", trusted (CERT_E_EXPIRED 0x800B0101)}"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("signer \"" + pki.Leaf.SubjectName + "\""), std::string::npos) << text;
  EXPECT_NE(text.find("not trusted (TRUST_E_BAD_DIGEST 0x80096010)"), std::string::npos) << text;

  std::tie(status, text) = run({"--json", "--ca-file", pki.Root.CertFile, expired});
  EXPECT_NE(text.find("\"trustCode\":\"0x800B0101\",\"trustResult\":\"CERT_E_EXPIRED\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"serialNumber\":\"" + pki.Expired.SerialHex + "\""), std::string::npos) << text;

  // What the certificate table holds beside the signature reaches the user.
  std::tie(status, text) = run({"--json", "--ca-file", pki.Root.CertFile, WithTableExtras()});
  EXPECT_NE(text.find("\"uncoveredTableBytes\":53,\"extraCertificateEntries\":1"), std::string::npos) << text;

  // Without the test root the chain ends at an unknown root.
  std::tie(status, text) = run({expired});
  EXPECT_NE(text.find("not trusted (CERT_E_UNTRUSTEDROOT 0x800B0109)"), std::string::npos) << text;

  std::tie(status, text) = run({"--ca-file", out / "missing.pem", expired});
  EXPECT_EQ(status, 2);
  EXPECT_NE(text.find("cannot read '" + out / "missing.pem" + "'"), std::string::npos) << text;
}
