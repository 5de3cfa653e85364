// Throw-away code-signing material for tests: a test root CA, an
// intermediate, code-signing certificates (valid, expired, with a chosen
// serial, from an unknown root...), a timestamping authority, and Authenticode
// signing of PE files with osslsigncode. Everything is generated once per test
// program run into a temporary folder.
//
//   const auto& pki = TTestPKI::Get();
//   store->AddCAFile(pki.Root.CertFile);
//   pki.Sign(unsignedExe, signedExe, pki.Leaf, {.Digest = "sha1"});
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/programs.h"
#include "support/temp_dir.h"

namespace quillmark::test {

// A certificate and its key as PEM files, with the texts a signature check
// is expected to read from it.
struct TTestCert {
  std::string CertFile;   // the certificate
  std::string KeyFile;    // its private key, unencrypted
  std::string ChainFile;  // the certificate, then its issuers up to the root
  std::string SubjectName;  // simple display name of the subject
  std::string IssuerName;   // simple display name of the issuer
  std::string SerialHex;    // encoded serial, upper-case hex
  std::string Thumbprint;   // SHA-1 of the DER certificate, upper-case hex
  std::int64_t NotBefore = 0;  // Unix times
  std::int64_t NotAfter = 0;
};

struct TSignOptions {
  std::string Digest = "sha256";  // osslsigncode -h: sha1, sha256...
  std::int64_t SigningTime = 0;   // signing time (Unix); 0 is now
  // An RFC 3161 timestamp by this authority at TimestampTime (0: now).
  const TTestCert* Tsa = nullptr;
  std::int64_t TimestampTime = 0;
};

class TTestPKI {
 public:
  // The material of this test run, generated on first use.
  static const TTestPKI& Get();

  static constexpr std::int64_t kDay = 86400;
  static constexpr std::int64_t kYear = 365 * kDay;
  // The moment the material was generated; validity periods are relative to it.
  std::int64_t Now = 0;

  TTestCert Root;          // self-signed test root (add it as a trust anchor)
  TTestCert Intermediate;  // CA under Root that issues the code-signing certificates
  TTestCert Leaf;          // valid code-signing certificate
  TTestCert Expired;       // code-signing certificate valid from Now-3y to Now-1y
  TTestCert Serial;        // serial number 0x010203
  TTestCert NoCommonName;  // subject with organisation and unit only
  TTestCert Crafted;       // common name with quotes and SQL in it
  TTestCert WrongUsage;    // extended key usage server authentication only
  TTestCert UnknownRoot;   // self-signed root nobody trusts
  TTestCert UnknownLeaf;   // code-signing certificate under UnknownRoot
  TTestCert Tsa;           // timestamping authority under Root

  // Signs the PE file in into out with osslsigncode; throws
  // std::runtime_error with the tool's output when it fails.
  void Sign(const std::string& in, const std::string& out, const TTestCert& signer,
            const TSignOptions& options = {}) const;

  // Adds to the primary signature of a signed PE file an Authenticode
  // (pre-RFC 3161) countersignature by tsa made at when, writing the result
  // to out. With overOtherData the countersignature's message digest covers
  // other bytes than the signature value, so it does not count.
  void AddAuthenticodeCountersignature(const std::string& in, const std::string& out, const TTestCert& tsa,
                                       std::int64_t when, bool overOtherData = false) const;

  const std::string Folder() const { return FDir->Path().string(); }

 private:
  TTestPKI();
  std::unique_ptr<TTempDir> FDir;
  mutable int FRuns = 0;
};

// The whole content of a file; throws std::runtime_error when unreadable.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);

// Where the certificate table of a PE image lies, as its security directory
// entry says; throws std::runtime_error for an image without one.
struct TCertificateTableInfo {
  std::size_t EntryOffset = 0;  // of the security directory entry
  std::size_t Offset = 0;
  std::size_t Size = 0;
};
TCertificateTableInfo CertificateTableOf(const std::vector<std::uint8_t>& image);

// A WIN_CERTIFICATE entry: dwLength, revision and type, then content, padded
// with zeros to a multiple of 8 bytes.
std::vector<std::uint8_t> WinCertificate(std::uint16_t revision, std::uint16_t type,
                                         const std::vector<std::uint8_t>& content);

// Appends bytes to the certificate table of a signed image whose table ends
// the file, as a tool that edits it after signing would, and updates the
// security directory's size. With intoFirstEntry the first WIN_CERTIFICATE's
// dwLength grows too, so the bytes lie inside it after the signature.
void GrowCertificateTable(std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& bytes,
                          bool intoFirstEntry = false);

}  // namespace quillmark::test
