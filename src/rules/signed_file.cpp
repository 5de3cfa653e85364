#include "rules/signed_file.h"

#include "db/black_white_lists.h"
#include "engine/malware_heuristic.h"
#include "runtime/target_system.h"

namespace quillmark {

// --- result ---------------------------------------------------------------------

void* TMalwareRuleResultSignedFile::GetInterface(const GUID& iid) {
  if (iid == IMalwareRuleResultSignedFile::IID) return static_cast<IMalwareRuleResultSignedFile*>(this);
  return TMalwareRuleResult::GetInterface(iid);
}

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

void TMalwareRuleResultSignedFile::Reset() {
  TMalwareRuleResult::Reset();
  FSignerName.clear();
  FSerialNumber.clear();
  FIssuerName.clear();
  FInBlacklist = false;
  FInWhitelist = false;
  FTrusted = false;
  FTrustResult = TRUST_E_NOSIGNATURE;
  FTimestampTime = 0;
  FTrustReason.clear();
  FUncoveredTableBytes = 0;
  FExtraCertificateEntries = 0;
  FCertSignerName.clear();
  FCertSerialNumber.clear();
  FCertIssuerName.clear();
  FCertThumbprint.clear();
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

TMalwareRuleSignedFile::TMalwareRuleSignedFile(TMalwareHeuristic* AOwner, TMalwareRuleType ARuleType)
    : TMalwareRuleCustom(AOwner, ARuleType),
      FTarget(AOwner ? AOwner->TargetPtr() : runtime::LiveHost()),
      FFileTrust(std::make_unique<TFileTrust>(FTarget, TrustStore())) {}

TMalwareRuleSignedFile::~TMalwareRuleSignedFile() = default;

std::shared_ptr<const TTrustStore> TMalwareRuleSignedFile::TrustStore() const {
  if (!Owner()) return TTrustStore::Shared();
  TMalwareHeuristicSettings& settings = Owner()->Settings();
  return TTrustStore::Shared(settings.TrustFolder(), settings.CAFiles());
}

void TMalwareRuleSignedFile::SetHashLimit(std::uint64_t ABytes) {
  FHashLimit = ABytes;
  FFileTrust->SetHashLimit(ABytes);
}

TFileTrust& TMalwareRuleSignedFile::Checker() {
  // The engine may have been pointed at another system, or its settings at
  // other anchors, since the last file.
  if (Owner() && Owner()->TargetPtr() != FTarget) {
    FTarget = Owner()->TargetPtr();
    FFileTrust = std::make_unique<TFileTrust>(FTarget, TrustStore());
    FFileTrust->SetHashLimit(FHashLimit);
  } else {
    FFileTrust->SetTrustStore(TrustStore());
  }
  return *FFileTrust;
}

TRuleCheckCode TMalwareRuleSignedFile::CheckFile(const std::string& AFileName, Extended& APercent) {
  return Judge(Checker().Check(AFileName, true), APercent);
}

TRuleCheckCode TMalwareRuleSignedFile::CheckOpenFile(runtime::IReadOnlyFile& AFile, const std::string& AFileName,
                                                     Extended& APercent) {
  return Judge(Checker().Check(AFile, AFileName, true), APercent);
}

TRuleCheckCode TMalwareRuleSignedFile::Judge(bool ATrusted, Extended& APercent) {
  auto* result = dynamic_cast<TMalwareRuleResultSignedFile*>(&RuleResult());
  if (result) result->SetEvidence(*FFileTrust);
  if (!ATrusted) {
    APercent = 100;
    return TRuleCheckCode::rccContinue;
  }

  DoProgress(30);
  if (result) result->SetSigner(FFileTrust->SignerName(), FFileTrust->SerialNumber(), FFileTrust->IssuerName());
  if (!Owner()) return TRuleCheckCode::rccContinue;

  TMalwareDataBaseBlackWhiteLists& lists = Owner()->Dictionaries().BlackWhiteLists();
  if (lists.CheckDigitalSignature(*FFileTrust, TListType::mdBlackList)) {
    APercent = 100;
    if (result) result->SetInBlacklist(true);
    return TRuleCheckCode::rccMalicious;
  }
  DoProgress(60);
  if (lists.CheckDigitalSignature(*FFileTrust, TListType::mdWhiteList)) {
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
