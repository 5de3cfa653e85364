// Authenticode trust of a file, answered with OpenSSL: the PKCS#7 SignedData
// of the PE certificate table is decoded, its signature over the
// SpcIndirectDataContent checked, the image digest recomputed over the file
// and compared, and the signer's chain built to a store of trust anchors.
// Outcomes carry the HRESULTs a WinVerifyTrust caller knows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/sqlite_extensions_signature.h"
#include "runtime/target_system.h"

typedef struct x509_store_st X509_STORE;

namespace quillmark {

using HRESULT = std::int32_t;

constexpr HRESULT HResult(std::uint32_t v) { return static_cast<HRESULT>(v); }

constexpr HRESULT TRUST_E_SUBJECT_FORM_UNKNOWN = HResult(0x800B0003);
constexpr HRESULT TRUST_E_NOSIGNATURE = HResult(0x800B0100);
constexpr HRESULT CERT_E_EXPIRED = HResult(0x800B0101);
constexpr HRESULT CERT_E_UNTRUSTEDROOT = HResult(0x800B0109);
constexpr HRESULT CERT_E_CHAINING = HResult(0x800B010A);
constexpr HRESULT TRUST_E_FAIL = HResult(0x800B010B);
constexpr HRESULT CERT_E_REVOKED = HResult(0x800B010C);
constexpr HRESULT CERT_E_REVOCATION_FAILURE = HResult(0x800B010E);
constexpr HRESULT CERT_E_WRONG_USAGE = HResult(0x800B0110);
constexpr HRESULT TRUST_E_NO_SIGNER_CERT = HResult(0x80096002);
constexpr HRESULT TRUST_E_CERT_SIGNATURE = HResult(0x80096004);
constexpr HRESULT TRUST_E_BAD_DIGEST = HResult(0x80096010);
constexpr HRESULT TRUST_E_BASIC_CONSTRAINTS = HResult(0x80096019);
constexpr HRESULT NTE_BAD_SIGNATURE = HResult(0x80090006);

// Symbolic name of a trust outcome ("S_OK", "CERT_E_EXPIRED"); empty for a
// code this checker never answers.
const char* TrustResultName(HRESULT ACode);
// The code as eight upper-case hex digits after "0x" ("0x800B0101").
std::string TrustResultHex(HRESULT ACode);

// WIN_CERTIFICATE header values of an Authenticode entry.
constexpr std::uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr std::uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;

// A set of trust anchors. Building one reads certificate files; once built it
// is only read, so one store serves any number of checkers and threads.
class TTrustStore {
 public:
  TTrustStore();
  ~TTrustStore();
  TTrustStore(const TTrustStore&) = delete;
  TTrustStore& operator=(const TTrustStore&) = delete;

  // The system's CA bundle ($SSL_CERT_FILE, /etc/ssl/certs/ca-certificates.crt
  // or OpenSSL's default file; OpenSSL's default paths when none is readable).
  // Answers the number of anchors added.
  std::size_t AddSystemBundle();
  // Every certificate of a PEM (one or more) or DER file. Answers the number
  // added; 0 for a missing or unreadable file.
  std::size_t AddCAFile(const std::string& AFileName);
  // Every *.pem, *.crt and *.cer file directly inside a folder.
  std::size_t AddTrustFolder(const std::string& AFolder);

  std::size_t Count() const { return FCount; }
  X509_STORE* Store() const { return FStore; }

  // A store of the system bundle, the trust folder and the extra files,
  // built on first request for that combination and shared afterwards.
  static std::shared_ptr<const TTrustStore> Shared(const std::string& ATrustFolder = {},
                                                   const std::vector<std::string>& ACAFiles = {});

 private:
  std::size_t AddPEMOrDER(const std::vector<std::uint8_t>& ABytes);

  X509_STORE* FStore;
  std::size_t FCount = 0;
  bool FDefaultPaths = false;
};

// Signature checker of one file at a time; not safe for concurrent checks.
// Readable as the signer source of the signer-list SQL function.
class TFileTrust : public ISignerInfo {
 public:
  // Files are read through ATarget (the live host when null); anchors come
  // from AStore (the shared system store when null).
  explicit TFileTrust(std::shared_ptr<runtime::ITargetSystem> ATarget = nullptr,
                      std::shared_ptr<const TTrustStore> AStore = nullptr);
  // Constructs and runs Check(AFile, AGetExtendedInfo).
  TFileTrust(const std::string& AFile, bool AGetExtendedInfo, std::shared_ptr<runtime::ITargetSystem> ATarget = nullptr,
             std::shared_ptr<const TTrustStore> AStore = nullptr);

  // Verifies AFile and answers IsTrustVerify(). With AGetExtendedInfo the
  // signer's certificate details are read whenever a signature was found,
  // also when it does not verify.
  bool Check(const std::string& AFile, bool AGetExtendedInfo);

  void SetTrustStore(std::shared_ptr<const TTrustStore> AStore);
  const std::shared_ptr<const TTrustStore>& TrustStore() const { return FStore; }

  // Checks judge certificate validity at the time of a valid timestamp,
  // otherwise at this time (seconds since 1970; 0, the default, means now).
  void SetVerificationTime(std::int64_t AUnixTime) { FVerificationTime = AUnixTime; }

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

  // ISignerInfo: simple display names, serial as upper-case hex (most
  // significant byte first), SHA-1 thumbprint as 40 upper-case hex digits.
  std::string SerialNumber() const override { return FSerialNumber; }
  std::string IssuerName() const override { return FIssuerName; }
  std::string SignerName() const override { return FSignerName; }
  std::string Thumbprint() const override { return FThumbprint; }

 private:
  std::shared_ptr<runtime::ITargetSystem> FTarget;
  std::shared_ptr<const TTrustStore> FStore;
  std::int64_t FVerificationTime = 0;

  std::string FFileName;
  bool FIsFileAviable = false;
  HRESULT FErrorCode = TRUST_E_NOSIGNATURE;
  std::int64_t FTimestampTime = 0;
  std::string FSerialNumber;
  std::string FIssuerName;
  std::string FSignerName;
  std::string FThumbprint;
};

}  // namespace quillmark
