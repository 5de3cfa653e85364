// Authenticode trust of a file, answered with OpenSSL: the PKCS#7 SignedData
// of the PE certificate table is decoded, its signature over the
// SpcIndirectDataContent checked, the image digest recomputed over the file
// and compared, and the signer's chain built to a store of trust anchors.
// Outcomes carry the HRESULTs a WinVerifyTrust caller knows.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/authenticode.h"
#include "db/sqlite_extensions_signature.h"
#include "runtime/target_system.h"

typedef struct x509_store_st X509_STORE;

namespace quillmark {

// Symbolic name of a trust outcome ("S_OK", "CERT_E_EXPIRED"); empty for a
// code this checker never answers.
const char* TrustResultName(HRESULT ACode);
// The code as eight upper-case hex digits after "0x" ("0x800B0101").
std::string TrustResultHex(HRESULT ACode);

// A set of trust anchors. Building one reads certificate files; once built it
// is only read, so one store serves any number of checkers and threads.
class TTrustStore {
 public:
  // A file asked for that added no anchor, and why.
  struct TProblem {
    std::string FileName;
    std::string Reason;  // "not a regular file", "holds no certificate", an error text
  };

  // Certificate files larger than this are not read.
  static constexpr std::uint64_t kMaxCertificateFileSize = 64u << 20;

  TTrustStore();
  ~TTrustStore();
  TTrustStore(const TTrustStore&) = delete;
  TTrustStore& operator=(const TTrustStore&) = delete;

  // The system's CA bundle ($SSL_CERT_FILE, /etc/ssl/certs/ca-certificates.crt
  // or OpenSSL's default file; OpenSSL's default paths when none is readable).
  // Answers the number of anchors added.
  std::size_t AddSystemBundle();
  // Every certificate of a PEM (one or more) or DER file. Answers the number
  // added; 0, with a problem recorded, for a file that is missing, not a
  // regular file, unreadable or without a certificate. Files are opened
  // through the live host, which never waits on a FIFO or device.
  std::size_t AddCAFile(const std::string& AFileName);
  // Every *.pem, *.crt and *.cer file directly inside a folder, as
  // AddCAFile. A missing folder adds nothing and is no problem.
  std::size_t AddTrustFolder(const std::string& AFolder);

  // Adds the system bundle when the store is first used for a verification
  // instead of now: parsing a bundle of a few hundred roots costs more than
  // a whole scan of many unsigned files.
  void AddSystemBundleOnFirstUse() { FSystemBundleDeferred = true; }

  std::size_t Count() const { return FCount; }
  // The store to verify against (with the system bundle, once deferred).
  X509_STORE* Store() const;
  // The files given to AddCAFile and found by AddTrustFolder that added no
  // anchor, in the order they were read.
  const std::vector<TProblem>& Problems() const { return FProblems; }

  // A store of the system bundle (added on first use), the trust folder and
  // the extra files, built on first request for that combination and shared
  // afterwards.
  static std::shared_ptr<const TTrustStore> Shared(const std::string& ATrustFolder = {},
                                                   const std::vector<std::string>& ACAFiles = {});

 private:
  // Reads one file; a problem is recorded only when AReport is set.
  std::size_t AddFile(const std::string& AFileName, bool AReport);
  std::size_t AddPEMOrDER(const std::vector<std::uint8_t>& ABytes);

  X509_STORE* FStore;
  bool FSystemBundleDeferred = false;
  mutable std::once_flag FSystemBundleOnce;
  std::size_t FCount = 0;
  bool FDefaultPaths = false;
  std::vector<TProblem> FProblems;
};

// Signature checker of one file at a time; not safe for concurrent checks.
// Readable as the signer source of the signer-list SQL function.
//
// The image digest is made with positioned reads into a buffer of
// kReadBufferSize bytes that the checker keeps; the file is never mapped or
// read whole. Two limits stop a check before the digest, with the outcome
// ERROR_FILE_TOO_LARGE_HRESULT (not trusted) and a Reason():
//  - the file is larger than HashLimit() (kDefaultHashLimit unless set; the
//    engine sets its maximum file size);
//  - more than kMaxTrailingHole of the bytes to hash lie in the hole at the
//    end of a sparse file (past IReadOnlyFile::DataEnd()), which only
//    padding put there.
class TFileTrust : public ISignerInfo {
 public:
  static constexpr std::size_t kReadBufferSize = 256u << 10;
  static constexpr std::uint64_t kDefaultHashLimit = std::uint64_t{4} << 30;
  static constexpr std::uint64_t kMaxTrailingHole = 16u << 20;

  // Files are read through ATarget (the live host when null); anchors come
  // from AStore (the shared system store when null).
  explicit TFileTrust(std::shared_ptr<runtime::ITargetSystem> ATarget = nullptr,
                      std::shared_ptr<const TTrustStore> AStore = nullptr);
  // Constructs and runs Check(AFile, AGetExtendedInfo).
  TFileTrust(const std::string& AFile, bool AGetExtendedInfo, std::shared_ptr<runtime::ITargetSystem> ATarget = nullptr,
             std::shared_ptr<const TTrustStore> AStore = nullptr);

  // Opens AFile through the target, verifies it and answers IsTrustVerify().
  // With AGetExtendedInfo the signer's certificate details are read whenever
  // a signature was found, also when it does not verify.
  bool Check(const std::string& AFile, bool AGetExtendedInfo);
  // The same for a file the caller has open; AFileName only names it.
  bool Check(runtime::IReadOnlyFile& AFile, const std::string& AFileName, bool AGetExtendedInfo);

  void SetTrustStore(std::shared_ptr<const TTrustStore> AStore);
  const std::shared_ptr<const TTrustStore>& TrustStore() const { return FStore; }

  // Checks judge certificate validity at the time of a valid timestamp,
  // otherwise at this time (seconds since 1970; 0, the default, means now).
  void SetVerificationTime(std::int64_t AUnixTime) { FVerificationTime = AUnixTime; }

  // The largest file a check hashes; a larger one is not verified. 0
  // restores kDefaultHashLimit.
  void SetHashLimit(std::uint64_t ABytes) { FHashLimit = ABytes ? ABytes : kDefaultHashLimit; }
  std::uint64_t HashLimit() const { return FHashLimit; }

  const std::string& FileName() const { return FFileName; }
  bool IsFileAviable() const { return FIsFileAviable; }
  HRESULT ErrorCode() const { return FErrorCode; }
  // Verified, or failed only for an expired certificate or an unavailable
  // revocation check.
  bool IsTrustVerify() const {
    return FErrorCode == 0 || FErrorCode == CERT_E_EXPIRED || FErrorCode == CERT_E_REVOCATION_FAILURE;
  }
  // Unix time the validity was judged at when a timestamp decided it, else 0.
  std::int64_t TimestampTime() const { return FTimestampTime; }
  // Why the check stopped without an answer about the signature (a limit, a
  // file that changed while read); empty otherwise.
  const std::string& Reason() const { return FReason; }

  // What the certificate table holds beside the signature: bytes the
  // signature does not cover (after the signature inside its entry, further
  // entries, bytes after the last entry) and the number of entries after the
  // first. Windows leaves both out of the digest, so they do not change the
  // outcome; 0 when no signature was decoded.
  std::uint64_t UncoveredTableBytes() const { return FUncoveredTableBytes; }
  std::uint64_t ExtraCertificateEntries() const { return FExtraCertificateEntries; }

  // ISignerInfo: simple display names, serial as upper-case hex (most
  // significant byte first), SHA-1 thumbprint as 40 upper-case hex digits.
  std::string SerialNumber() const override { return FSerialNumber; }
  std::string IssuerName() const override { return FIssuerName; }
  std::string SignerName() const override { return FSignerName; }
  std::string Thumbprint() const override { return FThumbprint; }

 private:
  void Clear(const std::string& AFileName);
  // The outcome of the file's signature; fills the table facts and the signer.
  HRESULT Verify(runtime::IReadOnlyFile& AFile, TX509Ptr& ASigner);

  std::shared_ptr<runtime::ITargetSystem> FTarget;
  std::shared_ptr<const TTrustStore> FStore;
  std::int64_t FVerificationTime = 0;
  std::uint64_t FHashLimit = kDefaultHashLimit;
  std::vector<std::uint8_t> FBuffer;

  std::string FFileName;
  bool FIsFileAviable = false;
  HRESULT FErrorCode = TRUST_E_NOSIGNATURE;
  std::int64_t FTimestampTime = 0;
  std::string FReason;
  std::uint64_t FUncoveredTableBytes = 0;
  std::uint64_t FExtraCertificateEntries = 0;
  std::string FSerialNumber;
  std::string FIssuerName;
  std::string FSignerName;
  std::string FThumbprint;
};

}  // namespace quillmark
