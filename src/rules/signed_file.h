// Signed-file rule: scores a file by its Authenticode signature. An unsigned
// file, or one whose signature does not verify, scores 100; a trusted
// signature scores 0. A signer on the black list of signers ends the analysis
// as malicious, one on the white list ends it as clean.
#pragma once

#include <memory>
#include <string>

#include "db/file_trust.h"
#include "quillmark/rule_results.h"
#include "rules/rule_custom.h"
#include "rules/rule_result_of.h"

namespace quillmark {

struct TSignedFileResultFields {
  // The signer of a trusted signature, as the interface reports it.
  std::string FSignerName;
  std::string FSerialNumber;
  std::string FIssuerName;
  bool FInBlacklist = false;
  bool FInWhitelist = false;

  // What the signature check saw, trusted or not.
  bool FTrusted = false;
  HRESULT FTrustResult = TRUST_E_NOSIGNATURE;
  std::int64_t FTimestampTime = 0;
  std::string FTrustReason;
  std::uint64_t FUncoveredTableBytes = 0;
  std::uint64_t FExtraCertificateEntries = 0;
  std::string FCertSignerName;
  std::string FCertSerialNumber;
  std::string FCertIssuerName;
  std::string FCertThumbprint;
};

class TMalwareRuleResultSignedFile
    : public TMalwareRuleResultOf<"TMalwareRuleResultSignedFile", TSignedFileResultFields,
                                  IMalwareRuleResultSignedFile> {
 public:
  std::string GetSignerName() override { return FSignerName; }
  std::string GetSerialNumber() override { return FSerialNumber; }
  std::string GetIssuerName() override { return FIssuerName; }
  bool GetInBlacklist() override { return FInBlacklist; }

  // The signer of a trusted signature, as the interface reports it.
  void SetSigner(std::string ASignerName, std::string ASerialNumber, std::string AIssuerName);
  void SetInBlacklist(bool AValue) { FInBlacklist = AValue; }
  void SetInWhitelist(bool AValue) { FInWhitelist = AValue; }
  bool InWhitelist() const { return FInWhitelist; }

  // What the signature check saw, trusted or not: the outcome and the
  // certificate the signature names (also when it does not verify).
  void SetEvidence(const TFileTrust& ATrust);
  HRESULT TrustResult() const { return FTrustResult; }
  bool Trusted() const { return FTrusted; }

  // signerName, issuerName, serialNumber, thumbprint (of the certificate the
  // signature names, trusted or not), trusted, trustCode ("0x800B0101"),
  // trustResult ("CERT_E_EXPIRED"), trustReason when the check stopped
  // without an answer (a limit, a file that changed), timestampTime when a
  // timestamp decided the validity, uncoveredTableBytes and
  // extraCertificateEntries (what the certificate table holds that the
  // signature does not cover), inBlacklist, inWhitelist.
  void GetDetails(TRuleResultDetails& ADetails) const override;
};

class TMalwareRuleSignedFile : public TMalwareRuleCustom {
 public:
  // Creates the rule's signature checker, reading files through the owner's
  // target system.
  TMalwareRuleSignedFile(IRuleHost* AOwner, TMalwareRuleType ARuleType);
  ~TMalwareRuleSignedFile() override;
  const char* ClassName() const override { return "TMalwareRuleSignedFile"; }

  // The checker of the latest analysis.
  const TFileTrust& FileTrust() const { return *FFileTrust; }

 protected:
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
  TMalwareRuleResult* CreateResult() override { return new TMalwareRuleResultSignedFile(); }
  // Raises the overall verdict to 100 for an unsigned program in a suspicious
  // folder other than the Windows folder that holds network connections and
  // has high entropy.
  void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                     TMalwareRuleResult* ARuleResult) override;

 private:
  // The trust anchors the owner's settings name: the system bundle, the
  // trust folder and the added CA files.
  std::shared_ptr<const TTrustStore> TrustStore() const;
  // The checker for the owner's current target and anchors.
  TFileTrust& Checker();

  std::shared_ptr<runtime::ITargetSystem> FTarget;
  std::unique_ptr<TFileTrust> FFileTrust;
};

}  // namespace quillmark
