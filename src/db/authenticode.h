// Reading of Authenticode signatures from PE bytes, without a trust store:
// where the certificate table lies, its WIN_CERTIFICATE entries, the PKCS#7
// SignedData of the first entry with its SpcIndirectDataContent, signer and
// certificates, the timestamps and the signer's certificate texts. Every
// function here works on bytes alone (positioned reads or a buffer), so it can
// be fuzzed; the trust decision (chains, validity times) is made on top of it
// by TFileTrust.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quillmark/base.h"

// OpenSSL's types, declared by their structure tags so that this header needs
// no OpenSSL header (the sources that work on them include those). The tags
// also keep clear of <wincrypt.h>, which defines PKCS7_SIGNER_INFO as a macro.
typedef struct pkcs7_st PKCS7;
typedef struct x509_st X509;
typedef struct evp_md_st EVP_MD;
struct pkcs7_signer_info_st;  // PKCS7_SIGNER_INFO
struct stack_st_X509;         // STACK_OF(X509)

namespace quillmark {

constexpr HRESULT HResult(std::uint32_t v) { return static_cast<HRESULT>(v); }

// The WinVerifyTrust outcomes this system answers: on Windows the SDK's codes
// (<winerror.h>, through base.h), elsewhere constants of the same values.
#if !defined(_WIN32)
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
#endif
// HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE): the check stopped before the
// digest because the work it needs exceeds a limit; the signature is not
// verified.
constexpr HRESULT ERROR_FILE_TOO_LARGE_HRESULT = HResult(0x800700DF);

// WIN_CERTIFICATE header values of an Authenticode entry.
constexpr std::uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr std::uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;
constexpr std::size_t WIN_CERTIFICATE_HEADER_SIZE = 8;

// Positioned reads of the bytes under examination: copies up to n bytes at
// offset into buffer and answers the count copied (short only at the end).
using TReadAt = std::function<std::size_t(std::uint64_t offset, void* buffer, std::size_t n)>;

// A TReadAt over a buffer.
TReadAt ReadFromBuffer(std::span<const std::uint8_t> ABytes);

// --- where the signature lies -------------------------------------------------

// A half-open range of file offsets.
struct TByteRange {
  std::uint64_t From = 0;
  std::uint64_t To = 0;
  std::uint64_t Size() const { return To > From ? To - From : 0; }
};

// The certificate table of a PE file and the ranges the image digest covers.
struct TAuthenticodeLayout {
  // 0 when the file has a certificate table inside it; TRUST_E_SUBJECT_FORM_UNKNOWN
  // when it is not a PE image; TRUST_E_NOSIGNATURE when it has no table, or
  // one that lies outside the file or over its headers.
  HRESULT Code = TRUST_E_SUBJECT_FORM_UNKNOWN;
  std::uint64_t FileSize = 0;
  std::uint64_t CheckSumOffset = 0;        // the optional header's CheckSum field (4 bytes)
  std::uint64_t DirectoryEntryOffset = 0;  // the security directory entry (8 bytes)
  std::uint64_t TableOffset = 0;           // a file offset, not an RVA
  std::uint64_t TableSize = 0;

  // Every byte of the file except the checksum, the directory entry and the
  // table, in file order.
  std::array<TByteRange, 4> HashedRanges() const;
  std::uint64_t HashedBytes() const;
};

// Reads the DOS and NT headers of a file of AFileSize bytes (a few hundred
// bytes of reads) and locates its certificate table.
TAuthenticodeLayout LocateCertificateTable(const TReadAt& ARead, std::uint64_t AFileSize);

// --- the certificate table ------------------------------------------------------

struct TWinCertificate {
  std::uint64_t Offset = 0;  // of the entry, from the start of the table
  std::uint32_t Length = 0;  // dwLength: header and bCertificate, without alignment
  std::uint16_t Revision = 0;
  std::uint16_t CertificateType = 0;
};

// The WIN_CERTIFICATE entries of a table and the content of the first one,
// which holds the primary signature.
struct TCertificateTable {
  // At most this many entries are walked; a table with more reports this many.
  static constexpr std::size_t kMaxEntries = 1024;
  // The first entry's content is read into memory up to this size; a larger
  // one is not verified (ERROR_FILE_TOO_LARGE_HRESULT).
  static constexpr std::uint32_t kMaxSignatureSize = 16u << 20;

  // 0 when the first entry is an Authenticode signature entry (revision 2.0,
  // PKCS signed data, within the table); TRUST_E_NOSIGNATURE when it is not;
  // ERROR_FILE_TOO_LARGE_HRESULT when its content exceeds kMaxSignatureSize.
  HRESULT Code = TRUST_E_NOSIGNATURE;
  std::uint64_t Size = 0;
  // Entries in table order, each 8-byte aligned after the one before; the
  // walk stops at the first header that does not fit the table.
  std::vector<TWinCertificate> Entries;
  // Bytes of the table after the last walked entry and its alignment.
  std::uint64_t BytesAfterEntries = 0;
  // bCertificate of the first entry (dwLength - 8 bytes), followed by the
  // up to 7 table bytes that align the entry to 8 (when Code is 0).
  std::vector<std::uint8_t> FirstContent;
  std::uint32_t FirstContentLength = 0;  // dwLength - 8

  std::span<const std::uint8_t> Signature() const {
    return std::span<const std::uint8_t>(FirstContent)
        .first(std::min<std::size_t>(FirstContent.size(), FirstContentLength));
  }
  // Entries after the first one.
  std::size_t ExtraEntries() const { return Entries.empty() ? 0 : Entries.size() - 1; }
  // Bytes of the table the signature does not cover, given how many bytes of
  // the first entry's content its encoding takes: everything but the first
  // header, the encoded signature and the zero bytes that align it to 8.
  std::uint64_t UncoveredBytes(std::size_t AEncodedLength) const;
};

// Walks the table of ASize bytes at ATableOffset.
TCertificateTable ReadCertificateTable(const TReadAt& ARead, std::uint64_t ATableOffset, std::uint64_t ASize);
// The same over a table held in memory.
TCertificateTable ParseCertificateTable(std::span<const std::uint8_t> ATable);

// --- the PKCS#7 SignedData ---------------------------------------------------------

struct TFreePKCS7 {
  void operator()(PKCS7* p) const;
};
using TPKCS7Ptr = std::unique_ptr<PKCS7, TFreePKCS7>;

// A decoded Authenticode signature. Pointers and spans lead into Message.
struct TAuthenticodeSignature {
  // The first structural fault in WinVerifyTrust's terms, 0 when none:
  // TRUST_E_NOSIGNATURE no SignedData with content; TRUST_E_FAIL no signer
  // or malformed indirect data; TRUST_E_NO_SIGNER_CERT the signer's
  // certificate is not in the message; TRUST_E_SUBJECT_FORM_UNKNOWN content
  // other than an indirect data of a PE image.
  HRESULT Code = TRUST_E_NOSIGNATURE;
  TPKCS7Ptr Message;
  std::size_t EncodedLength = 0;  // bytes of the blob the SignedData takes
  pkcs7_signer_info_st* SignerInfo = nullptr;  // PKCS7_SIGNER_INFO
  X509* SignerCertificate = nullptr;  // set from TRUST_E_NO_SIGNER_CERT on
  // The SpcIndirectDataContent's contents: what the signer's message digest covers.
  std::span<const std::uint8_t> IndirectContent;
  const EVP_MD* DigestAlgorithm = nullptr;  // null for an algorithm OpenSSL does not know
  std::span<const std::uint8_t> ImageDigest;

  // The certificates the message carries (borrowed).
  stack_st_X509* Certificates() const;  // STACK_OF(X509)
};

TAuthenticodeSignature ParseAuthenticodeSignature(std::span<const std::uint8_t> ABlob);

// Checks a SignerInfo's signature over content: the message digest among its
// authenticated attributes, and the signature over those attributes (or over
// the content itself without them). 0, TRUST_E_BAD_DIGEST, NTE_BAD_SIGNATURE,
// TRUST_E_NO_SIGNER_CERT or TRUST_E_FAIL.
HRESULT VerifySignerInfo(pkcs7_signer_info_st* ASigner, X509* ACert, std::span<const std::uint8_t> AContent);

struct TFreeX509 {
  void operator()(X509* p) const;
};
using TX509Ptr = std::unique_ptr<X509, TFreeX509>;

// A timestamp over the primary signature value whose own signature holds;
// whether its authority chains to a trusted root is left to the caller.
struct TTimestampCandidate {
  std::int64_t Time = 0;  // Unix time
  TX509Ptr Authority;
  std::vector<TX509Ptr> Certificates;  // what may complete the authority's chain
  bool Rfc3161 = false;
};

// RFC 3161 tokens first (in attribute order), then an Authenticode
// countersignature. Authorities without the timestamping usage are left out.
std::vector<TTimestampCandidate> TimestampCandidates(const TAuthenticodeSignature& ASignature);

// A certificate with an extended key usage must allow AUsage (XKU_*) or any use.
bool AllowsUsage(X509* ACert, std::uint32_t AUsage);

// --- the signer's texts -------------------------------------------------------------

// As CryptoAPI shows them: simple display names (common name first), the
// encoded serial as upper-case hex, most significant byte first, and the
// SHA-1 thumbprint as 40 upper-case hex digits.
struct TCertificateTexts {
  std::string SignerName;
  std::string IssuerName;
  std::string SerialNumber;
  std::string Thumbprint;
};
TCertificateTexts CertificateTexts(X509* ACert);

// --- the image digest ----------------------------------------------------------------

// Hashes AFileRanges with positioned reads through ABuffer (never more than
// its size at a time). False when the digest cannot be made or a read comes
// back short (the file changed while read).
bool DigestRanges(const TReadAt& ARead, std::span<const TByteRange> ARanges, const EVP_MD* AAlgorithm,
                  std::span<std::uint8_t> ABuffer, std::vector<std::uint8_t>& ADigest);

}  // namespace quillmark
