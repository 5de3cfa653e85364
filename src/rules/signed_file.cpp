#include "rules/signed_file.h"

#include "db/black_white_lists.h"
#include "interfaces/rule_host.h"
#include "rules/heuristic_result.h"
#include "runtime/target_system.h"
#include "support/analyzed_file.h"

namespace quillmark {

// --- result ---------------------------------------------------------------------

void TMalwareRuleResultSignedFile::SetSigner(std::string ASignerName, std::string ASerialNumber,
                                             std::string AIssuerName) {
  FSignerName = std::move(ASignerName);
  FSerialNumber = std::move(ASerialNumber);
  FIssuerName = std::move(AIssuerName);
}

void TMalwareRuleResultSignedFile::SetEvidence(const TFileTrust& ATrust) {
  FTrusted = ATrust.IsTrustVerify();
  FTrustResult = ATrust.ErrorCode();
  FTimestampTime = ATrust.TimestampTime();
  FTrustReason = ATrust.Reason();
  FUncoveredTableBytes = ATrust.UncoveredTableBytes();
  FExtraCertificateEntries = ATrust.ExtraCertificateEntries();
  FCertSignerName = ATrust.SignerName();
  FCertSerialNumber = ATrust.SerialNumber();
  FCertIssuerName = ATrust.IssuerName();
  FCertThumbprint = ATrust.Thumbprint();
}

void TMalwareRuleResultSignedFile::GetDetails(TRuleResultDetails& ADetails) const {
  ADetails.push_back({"signerName", FCertSignerName});
  ADetails.push_back({"issuerName", FCertIssuerName});
  ADetails.push_back({"serialNumber", FCertSerialNumber});
  ADetails.push_back({"thumbprint", FCertThumbprint});
  ADetails.push_back({"trusted", FTrusted});
  ADetails.push_back({"trustCode", TrustResultHex(FTrustResult)});
  ADetails.push_back({"trustResult", std::string(TrustResultName(FTrustResult))});
  if (!FTrustReason.empty()) ADetails.push_back({"trustReason", FTrustReason});
  if (FTimestampTime) ADetails.push_back({"timestampTime", FTimestampTime});
  ADetails.push_back({"uncoveredTableBytes", static_cast<std::int64_t>(FUncoveredTableBytes)});
  ADetails.push_back({"extraCertificateEntries", static_cast<std::int64_t>(FExtraCertificateEntries)});
  ADetails.push_back({"inBlacklist", FInBlacklist});
  ADetails.push_back({"inWhitelist", FInWhitelist});
}

// --- rule -------------------------------------------------------------------------

TMalwareRuleSignedFile::TMalwareRuleSignedFile(IRuleHost* AOwner, TMalwareRuleType ARuleType)
    : TMalwareRuleCustom(AOwner, ARuleType),
      FTarget(AOwner ? AOwner->TargetPtr() : runtime::LiveHost()),
      FFileTrust(std::make_unique<TFileTrust>(FTarget, TrustStore())) {}

TMalwareRuleSignedFile::~TMalwareRuleSignedFile() = default;

std::shared_ptr<const TTrustStore> TMalwareRuleSignedFile::TrustStore() const {
  if (!Owner()) return TTrustStore::Shared();
  IRuleHost* owner = Owner();
  return TTrustStore::Shared(owner->TrustFolder(), owner->CAFiles());
}

TFileTrust& TMalwareRuleSignedFile::Checker() {
  // The engine may have been pointed at another system, or its settings at
  // other anchors, since the last file.
  if (Owner() && Owner()->TargetPtr() != FTarget) {
    FTarget = Owner()->TargetPtr();
    FFileTrust = std::make_unique<TFileTrust>(FTarget, TrustStore());
  } else {
    FFileTrust->SetTrustStore(TrustStore());
  }
  // A file the engine reads only in part is not verified.
  FFileTrust->SetHashLimit(MaxFileSize());
  return *FFileTrust;
}

namespace {

// The analysis's open file as the checker reads it: through the analysed
// file, which notes a file that changes while it is read.
class TAnalyzedFileReader : public runtime::IReadOnlyFile {
 public:
  explicit TAnalyzedFileReader(const TAnalyzedFile& AFile) : FFile(AFile) {}
  std::uint64_t Size() const override { return FFile.FileSize(); }
  std::unique_ptr<runtime::IFileView> Map(std::uint64_t offset, std::size_t size) override {
    return FFile.File().Map(offset, size);
  }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t n) override {
    return FFile.ReadAt(offset, buffer, n);
  }
  std::uint64_t DataEnd() override { return FFile.File().DataEnd(); }

 private:
  const TAnalyzedFile& FFile;
};

}  // namespace

TRuleCheckCode TMalwareRuleSignedFile::CheckFile(const std::string& AFileName, Extended& APercent) {
  TFileTrust& checker = Checker();
  const TAnalyzedFile* file = nullptr;
  try {
    file = &AnalyzedFile(AFileName);
  } catch (const std::exception&) {
    // cannot be opened: the checker says so (not available, no signature)
  }
  bool trusted = false;
  if (file) {
    TAnalyzedFileReader reader(*file);
    trusted = checker.Check(reader, AFileName, true);
  } else {
    trusted = checker.Check(AFileName, true);
  }

  auto* result = dynamic_cast<TMalwareRuleResultSignedFile*>(&RuleResult());
  if (result) result->SetEvidence(checker);
  if (!trusted) {
    APercent = 100;
    return TRuleCheckCode::rccContinue;
  }

  DoProgress(30);
  if (result) result->SetSigner(checker.SignerName(), checker.SerialNumber(), checker.IssuerName());
  if (!Owner()) return TRuleCheckCode::rccContinue;

  TMalwareDataBaseBlackWhiteLists& lists = Owner()->BlackWhiteLists();
  if (lists.CheckDigitalSignature(checker, TListType::mdBlackList)) {
    APercent = 100;
    if (result) result->SetInBlacklist(true);
    return TRuleCheckCode::rccMalicious;
  }
  DoProgress(60);
  if (lists.CheckDigitalSignature(checker, TListType::mdWhiteList)) {
    APercent = 0;
    if (result) result->SetInWhitelist(true);
    return TRuleCheckCode::rccClean;
  }
  return TRuleCheckCode::rccContinue;
}

void TMalwareRuleSignedFile::DoPostAnalyze(PRuleAnalyzeParams, TMalwareHeuristicResult* AResult,
                                           TMalwareRuleResult*) {
  using R = TMalwareRuleType;
  if (!AResult || AResult->GetRulePercent(R::mhRuleSuspiciousPath) <= 0) return;
  auto path = AResult->RuleResultAs<IMalwareRuleResultSuspiciousPath>(R::mhRuleSuspiciousPath);
  // A suspicious-path slot filled by a rule without the folder interface
  // gives no folder to judge.
  if (!path || path->GetFolderType() == TSuspiciousPathResultFolder::sprFolderWindows) return;
  if (AResult->CheckRulesAnd({R::mhRuleOpenNetworkPorts, R::mhRuleEntropy})) AResult->SetPercentageMatch(100);
}

}  // namespace quillmark
