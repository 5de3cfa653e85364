#include "db/authenticode.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <optional>

#include "support/le_reader.h"
#include "support/pe_image.h"

namespace quillmark {

namespace {

// --- OpenSSL ownership ---------------------------------------------------------

struct TFreeSignerInfo { void operator()(PKCS7_SIGNER_INFO* p) const { PKCS7_SIGNER_INFO_free(p); } };
struct TFreeMdCtx { void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); } };
struct TFreeTstInfo { void operator()(TS_TST_INFO* p) const { TS_TST_INFO_free(p); } };
struct TFreeObject { void operator()(ASN1_OBJECT* p) const { ASN1_OBJECT_free(p); } };
struct TFreeGeneralNames { void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); } };
struct TFreeOpenSSL { void operator()(void* p) const { OPENSSL_free(p); } };

// Object identifiers OpenSSL has no NID for.
constexpr const char* kOidSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kOidSpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
constexpr const char* kOidRfc3161Timestamp = "1.3.6.1.4.1.311.3.3.1";

// Offsets inside the headers: e_lfanew in the DOS header; the optional
// header after the NT signature and the file header; fields inside it.
constexpr std::size_t kDosLfanew = 0x3C;
constexpr std::size_t kOptionalHeaderStart = 4 + pe::SIZEOF_FILE_HEADER;
constexpr std::size_t kOptionalCheckSum = 64;
constexpr std::size_t kOptionalDirectoryCount32 = 92, kOptionalDirectoryCount64 = 108;

using le::LoadU16;
using le::LoadU32;

constexpr std::uint64_t Align8(std::uint64_t v) { return (v + 7) & ~std::uint64_t{7}; }

std::string OidText(const ASN1_OBJECT* obj) {
  if (!obj) return {};
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::optional<std::int64_t> UnixTime(const ASN1_TIME* t) {
  if (!t) return std::nullopt;
  // Seconds from the epoch, counted by OpenSSL itself (no host time zone).
  static const std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> epoch(ASN1_TIME_set(nullptr, 0), ASN1_TIME_free);
  int days = 0, seconds = 0;
  if (!epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), t) != 1) return std::nullopt;
  return std::int64_t{days} * 86400 + seconds;
}

std::span<const std::uint8_t> Bytes(const ASN1_STRING* s) {
  if (!s || !s->data || s->length <= 0) return {};
  return {s->data, static_cast<std::size_t>(s->length)};
}

// --- minimal DER reading ------------------------------------------------------------

// One element: its identifier octet, its whole encoding and its contents.
struct TDer {
  std::uint8_t Tag = 0;
  std::span<const std::uint8_t> Whole;
  std::span<const std::uint8_t> Content;
};

// Reads the element at the front of in (single-octet tags, definite lengths)
// and moves in past it.
std::optional<TDer> ReadDer(std::span<const std::uint8_t>& in) {
  if (in.size() < 2) return std::nullopt;
  TDer d;
  d.Tag = in[0];
  if ((d.Tag & 0x1F) == 0x1F) return std::nullopt;
  std::size_t pos = 2, len = in[1];
  if (len & 0x80) {
    std::size_t count = len & 0x7F;
    if (count == 0 || count > 4 || in.size() < 2 + count) return std::nullopt;
    len = 0;
    for (std::size_t i = 0; i < count; ++i) len = (len << 8) | in[2 + i];
    pos += count;
  }
  if (len > in.size() - pos) return std::nullopt;
  d.Whole = in.subspan(0, pos + len);
  d.Content = in.subspan(pos, len);
  in = in.subspan(pos + len);
  return d;
}

std::unique_ptr<ASN1_OBJECT, TFreeObject> DecodeOid(const TDer& oid) {
  const unsigned char* p = oid.Whole.data();
  return std::unique_ptr<ASN1_OBJECT, TFreeObject>(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid.Whole.size())));
}

// The SpcIndirectDataContent: its contents (what the signature covers), the
// kind of subject and the digest of the image.
struct TIndirectData {
  std::span<const std::uint8_t> Content;
  std::string SubjectType;
  const EVP_MD* DigestAlgorithm = nullptr;
  std::span<const std::uint8_t> Digest;
};

std::optional<TIndirectData> ParseIndirectData(std::span<const std::uint8_t> der) {
  TIndirectData r;
  auto outer = ReadDer(der);
  if (!outer || outer->Tag != 0x30) return std::nullopt;
  r.Content = outer->Content;
  auto body = outer->Content;
  auto data = ReadDer(body);  // SpcAttributeTypeAndOptionalValue
  auto digestInfo = ReadDer(body);
  if (!data || data->Tag != 0x30 || !digestInfo || digestInfo->Tag != 0x30) return std::nullopt;
  auto dataBody = data->Content;
  if (auto type = ReadDer(dataBody); type && type->Tag == 0x06) r.SubjectType = OidText(DecodeOid(*type).get());
  auto diBody = digestInfo->Content;
  auto algorithm = ReadDer(diBody);
  auto digest = ReadDer(diBody);
  if (!algorithm || algorithm->Tag != 0x30 || !digest || digest->Tag != 0x04) return std::nullopt;
  auto algBody = algorithm->Content;
  auto oid = ReadDer(algBody);
  if (!oid || oid->Tag != 0x06) return std::nullopt;
  if (auto obj = DecodeOid(*oid)) r.DigestAlgorithm = EVP_get_digestbyobj(obj.get());
  r.Digest = digest->Content;
  return r;
}

// --- digests and messages -----------------------------------------------------------

bool DigestOf(const EVP_MD* md, std::span<const std::uint8_t> data, std::uint8_t* out, unsigned* outLen) {
  return md && EVP_Digest(data.data(), data.size(), out, outLen, md, nullptr) == 1;
}

bool SameBytes(std::span<const std::uint8_t> a, const std::uint8_t* b, std::size_t n) {
  return a.size() == n && std::memcmp(a.data(), b, n) == 0;
}

X509* FindCertificate(PKCS7_SIGNER_INFO* si, STACK_OF(X509)* first, STACK_OF(X509)* second) {
  if (!si || !si->issuer_and_serial) return nullptr;
  X509* c = nullptr;
  if (first) c = X509_find_by_issuer_and_serial(first, si->issuer_and_serial->issuer, si->issuer_and_serial->serial);
  if (!c && second)
    c = X509_find_by_issuer_and_serial(second, si->issuer_and_serial->issuer, si->issuer_and_serial->serial);
  return c;
}

STACK_OF(X509)* SignedCertificates(PKCS7* p7) {
  return p7 && PKCS7_type_is_signed(p7) && p7->d.sign ? p7->d.sign->cert : nullptr;
}

std::span<const std::uint8_t> SequenceBytes(const ASN1_TYPE* t) {
  if (!t || t->type != V_ASN1_SEQUENCE) return {};
  return Bytes(t->value.sequence);
}

TX509Ptr Reference(X509* cert) {
  if (cert) X509_up_ref(cert);
  return TX509Ptr(cert);
}

void AddReferences(std::vector<TX509Ptr>& out, STACK_OF(X509)* certs) {
  for (int k = 0; certs && k < sk_X509_num(certs); ++k) out.push_back(Reference(sk_X509_value(certs, k)));
}

// An RFC 3161 token over the primary signature value, when its signature and
// message imprint hold.
std::optional<TTimestampCandidate> Rfc3161Candidate(PKCS7* p7, std::span<const std::uint8_t> value,
                                                    std::span<const std::uint8_t> der) {
  if (der.empty()) return std::nullopt;
  const unsigned char* p = der.data();
  TPKCS7Ptr token(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (!token || !PKCS7_type_is_signed(token.get()) || !token->d.sign || !token->d.sign->contents) return std::nullopt;
  PKCS7* contents = token->d.sign->contents;
  if (OBJ_obj2nid(contents->type) != NID_id_smime_ct_TSTInfo || !contents->d.other ||
      contents->d.other->type != V_ASN1_OCTET_STRING)
    return std::nullopt;
  std::span<const std::uint8_t> tst = Bytes(contents->d.other->value.octet_string);
  PKCS7_SIGNER_INFO* tsi = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(token.get()), 0);
  X509* tsa = FindCertificate(tsi, SignedCertificates(token.get()), SignedCertificates(p7));
  if (tst.empty() || !tsi || !tsa || VerifySignerInfo(tsi, tsa, tst) != 0) return std::nullopt;

  const unsigned char* q = tst.data();
  std::unique_ptr<TS_TST_INFO, TFreeTstInfo> info(d2i_TS_TST_INFO(nullptr, &q, static_cast<long>(tst.size())));
  if (!info) return std::nullopt;
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  X509_ALGOR* algo = imprint ? TS_MSG_IMPRINT_get_algo(imprint) : nullptr;
  ASN1_OCTET_STRING* msg = imprint ? TS_MSG_IMPRINT_get_msg(imprint) : nullptr;
  if (!algo || !msg) return std::nullopt;
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned digestLen = 0;
  if (!DigestOf(EVP_get_digestbyobj(algo->algorithm), value, digest, &digestLen) ||
      !SameBytes(Bytes(msg), digest, digestLen))
    return std::nullopt;
  auto when = UnixTime(TS_TST_INFO_get_time(info.get()));
  if (!when || !AllowsUsage(tsa, XKU_TIMESTAMP)) return std::nullopt;

  TTimestampCandidate c;
  c.Time = *when;
  c.Authority = Reference(tsa);
  c.Rfc3161 = true;
  AddReferences(c.Certificates, SignedCertificates(token.get()));
  AddReferences(c.Certificates, SignedCertificates(p7));
  return c;
}

// An Authenticode (pre-RFC 3161) countersignature: a SignerInfo over the
// primary signature value, signed by a certificate of the message.
std::optional<TTimestampCandidate> CountersignatureCandidate(PKCS7* p7, PKCS7_SIGNER_INFO* si,
                                                             std::span<const std::uint8_t> value) {
  auto der = SequenceBytes(PKCS7_get_attribute(si, NID_pkcs9_countersignature));
  if (der.empty()) return std::nullopt;
  const unsigned char* p = der.data();
  std::unique_ptr<PKCS7_SIGNER_INFO, TFreeSignerInfo> cs(d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(der.size())));
  if (!cs) return std::nullopt;
  X509* tsa = FindCertificate(cs.get(), SignedCertificates(p7), nullptr);
  if (!tsa || VerifySignerInfo(cs.get(), tsa, value) != 0) return std::nullopt;
  ASN1_TYPE* st = PKCS7_get_signed_attribute(cs.get(), NID_pkcs9_signingTime);
  if (!st || (st->type != V_ASN1_UTCTIME && st->type != V_ASN1_GENERALIZEDTIME)) return std::nullopt;
  auto when = UnixTime(st->value.utctime);
  if (!when || !AllowsUsage(tsa, XKU_TIMESTAMP)) return std::nullopt;
  TTimestampCandidate c;
  c.Time = *when;
  c.Authority = Reference(tsa);
  AddReferences(c.Certificates, SignedCertificates(p7));
  return c;
}

// --- names -------------------------------------------------------------------------------------

std::string EntryText(const X509_NAME_ENTRY* e) {
  const ASN1_STRING* data = e ? X509_NAME_ENTRY_get_data(e) : nullptr;
  if (!data) return {};
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, data);
  if (n < 0 || !utf8) return {};
  std::unique_ptr<unsigned char, TFreeOpenSSL> hold(utf8);
  return std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
}

std::string AttributeText(const X509_NAME* name, int nid) {
  int i = name ? X509_NAME_get_index_by_NID(name, nid, -1) : -1;
  return i < 0 ? std::string() : EntryText(X509_NAME_get_entry(name, i));
}

// The simple display name of a certificate's subject or issuer: the first of
// common name, organisational unit, organisation and e-mail address in the
// name or in a directory name of the alternative-name extension; then an
// rfc822 name of that extension; then the name's first attribute.
std::string SimpleDisplayName(X509* cert, bool issuer) {
  const X509_NAME* name = issuer ? X509_get_issuer_name(cert) : X509_get_subject_name(cert);
  std::unique_ptr<GENERAL_NAMES, TFreeGeneralNames> alt(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(cert, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    std::string s = AttributeText(name, nid);
    if (!s.empty()) return s;
    for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
      const GENERAL_NAME* g = sk_GENERAL_NAME_value(alt.get(), i);
      if (g->type == GEN_DIRNAME && !(s = AttributeText(g->d.directoryName, nid)).empty()) return s;
    }
  }
  for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(alt.get(), i);
    if (g->type == GEN_EMAIL) {
      auto text = Bytes(g->d.rfc822Name);
      if (!text.empty()) return std::string(text.begin(), text.end());
    }
  }
  return name && X509_NAME_entry_count(name) > 0 ? EntryText(X509_NAME_get_entry(name, 0)) : std::string();
}

// The serial's encoded bytes (two's complement, as the certificate holds
// them), most significant first.
std::string SerialText(X509* cert) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  unsigned char* der = nullptr;
  int len = serial ? i2d_ASN1_INTEGER(serial, &der) : 0;
  if (len <= 0 || !der) return {};
  std::unique_ptr<unsigned char, TFreeOpenSSL> hold(der);
  std::span<const std::uint8_t> in(der, static_cast<std::size_t>(len));
  auto d = ReadDer(in);
  return d ? Hex(d->Content.data(), d->Content.size()) : std::string();
}

std::string ThumbprintText(X509* cert) {
  unsigned char* der = nullptr;
  int len = i2d_X509(cert, &der);
  if (len <= 0 || !der) return {};
  std::unique_ptr<unsigned char, TFreeOpenSSL> hold(der);
  std::uint8_t sha1[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (!DigestOf(EVP_sha1(), {der, static_cast<std::size_t>(len)}, sha1, &n)) return {};
  return Hex(sha1, n);
}

}  // namespace

TReadAt ReadFromBuffer(std::span<const std::uint8_t> ABytes) {
  return [ABytes](std::uint64_t offset, void* buffer, std::size_t n) -> std::size_t {
    if (offset >= ABytes.size()) return 0;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(n, ABytes.size() - offset));
    if (count) std::memcpy(buffer, ABytes.data() + offset, count);
    return count;
  };
}

// --- layout ------------------------------------------------------------------------------------

std::array<TByteRange, 4> TAuthenticodeLayout::HashedRanges() const {
  return {TByteRange{0, CheckSumOffset}, TByteRange{CheckSumOffset + 4, DirectoryEntryOffset},
          TByteRange{DirectoryEntryOffset + 8, TableOffset}, TByteRange{TableOffset + TableSize, FileSize}};
}

std::uint64_t TAuthenticodeLayout::HashedBytes() const {
  std::uint64_t n = 0;
  for (const TByteRange& r : HashedRanges()) n += r.Size();
  return n;
}

TAuthenticodeLayout LocateCertificateTable(const TReadAt& ARead, std::uint64_t AFileSize) {
  TAuthenticodeLayout l;
  l.FileSize = AFileSize;
  std::uint8_t dos[pe::SIZEOF_DOS_HEADER];
  if (AFileSize < pe::SIZEOF_DOS_HEADER || ARead(0, dos, sizeof dos) != sizeof dos || LoadU16(dos) != pe::DOS_SIGNATURE)
    return l;

  // The NT signature, the file header and the optional header up to the end
  // of its sixteen directory entries, as far as the file holds them.
  const std::uint64_t nt = LoadU32(dos + kDosLfanew);
  std::uint8_t h[kOptionalHeaderStart + pe::SIZEOF_NT_OPTIONAL64_FIXED + 8 * pe::NUMBEROF_DIRECTORY_ENTRIES];
  if (nt >= AFileSize) return l;
  const std::size_t got = ARead(nt, h, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof h, AFileSize - nt)));
  if (got < kOptionalHeaderStart + 2 || LoadU32(h) != pe::NT_SIGNATURE) return l;
  const std::uint16_t magic = LoadU16(h + kOptionalHeaderStart);
  if (magic != pe::NT_OPTIONAL_HDR32_MAGIC && magic != pe::NT_OPTIONAL_HDR64_MAGIC) return l;
  const bool plus = magic == pe::NT_OPTIONAL_HDR64_MAGIC;
  const std::size_t fixed = plus ? pe::SIZEOF_NT_OPTIONAL64_FIXED : pe::SIZEOF_NT_OPTIONAL32_FIXED;
  if (got < kOptionalHeaderStart + fixed) return l;

  l.Code = TRUST_E_NOSIGNATURE;
  const std::uint8_t* optional = h + kOptionalHeaderStart;
  const std::uint32_t directories = LoadU32(optional + (plus ? kOptionalDirectoryCount64 : kOptionalDirectoryCount32));
  const std::size_t entry = fixed + 8 * pe::DIRECTORY_ENTRY_SECURITY;
  l.CheckSumOffset = nt + kOptionalHeaderStart + kOptionalCheckSum;
  l.DirectoryEntryOffset = nt + kOptionalHeaderStart + entry;
  if (directories <= pe::DIRECTORY_ENTRY_SECURITY || got < kOptionalHeaderStart + entry + 8) return l;
  l.TableOffset = LoadU32(optional + entry);
  l.TableSize = LoadU32(optional + entry + 4);
  if (l.TableOffset == 0 || l.TableSize < WIN_CERTIFICATE_HEADER_SIZE) return l;
  if (l.TableOffset + l.TableSize > AFileSize || l.TableOffset < l.DirectoryEntryOffset + 8) return l;
  l.Code = 0;
  return l;
}

// --- certificate table ---------------------------------------------------------------------------

TCertificateTable ReadCertificateTable(const TReadAt& ARead, std::uint64_t ATableOffset, std::uint64_t ASize) {
  TCertificateTable t;
  t.Size = ASize;
  std::uint64_t at = 0;
  while (at + WIN_CERTIFICATE_HEADER_SIZE <= ASize && t.Entries.size() < TCertificateTable::kMaxEntries) {
    std::uint8_t h[WIN_CERTIFICATE_HEADER_SIZE];
    if (ARead(ATableOffset + at, h, sizeof h) != sizeof h) break;
    const TWinCertificate e{at, LoadU32(h), LoadU16(h + 4), LoadU16(h + 6)};
    if (e.Length < WIN_CERTIFICATE_HEADER_SIZE || e.Length > ASize - at) break;
    t.Entries.push_back(e);
    at += Align8(e.Length);
  }
  t.BytesAfterEntries = at < ASize ? ASize - at : 0;

  if (t.Entries.empty()) return t;
  const TWinCertificate& first = t.Entries.front();
  if (first.Revision != WIN_CERT_REVISION_2_0 || first.CertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA) return t;
  if (first.Length - WIN_CERTIFICATE_HEADER_SIZE > TCertificateTable::kMaxSignatureSize) {
    t.Code = ERROR_FILE_TOO_LARGE_HRESULT;
    return t;
  }
  const std::uint64_t end = std::min(Align8(first.Length), ASize);
  t.FirstContent.resize(static_cast<std::size_t>(end - WIN_CERTIFICATE_HEADER_SIZE));
  if (ARead(ATableOffset + WIN_CERTIFICATE_HEADER_SIZE, t.FirstContent.data(), t.FirstContent.size()) !=
      t.FirstContent.size()) {
    t.FirstContent.clear();
    return t;
  }
  t.FirstContentLength = first.Length - static_cast<std::uint32_t>(WIN_CERTIFICATE_HEADER_SIZE);
  t.Code = 0;
  return t;
}

TCertificateTable ParseCertificateTable(std::span<const std::uint8_t> ATable) {
  return ReadCertificateTable(ReadFromBuffer(ATable), 0, ATable.size());
}

std::uint64_t TCertificateTable::UncoveredBytes(std::size_t AEncodedLength) const {
  if (Code != 0 || AEncodedLength > FirstContentLength) return 0;
  const std::uint64_t signedEnd = WIN_CERTIFICATE_HEADER_SIZE + AEncodedLength;
  const std::uint64_t alignedEnd = std::min(Align8(signedEnd), Size);
  bool zeroPadding = true;
  for (std::uint64_t i = signedEnd; i < alignedEnd && zeroPadding; ++i)
    zeroPadding = FirstContent[static_cast<std::size_t>(i - WIN_CERTIFICATE_HEADER_SIZE)] == 0;
  const std::uint64_t covered = zeroPadding ? alignedEnd : signedEnd;
  return Size > covered ? Size - covered : 0;
}

// --- PKCS#7 ----------------------------------------------------------------------------------------

void TFreePKCS7::operator()(PKCS7* p) const { PKCS7_free(p); }
void TFreeX509::operator()(X509* p) const { X509_free(p); }

STACK_OF(X509) * TAuthenticodeSignature::Certificates() const { return SignedCertificates(Message.get()); }

TAuthenticodeSignature ParseAuthenticodeSignature(std::span<const std::uint8_t> ABlob) {
  TAuthenticodeSignature s;
  if (ABlob.empty() || ABlob.size() > static_cast<std::size_t>(LONG_MAX)) return s;
  const unsigned char* p = ABlob.data();
  TPKCS7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(ABlob.size())));
  if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign || !p7->d.sign->contents) {
    ERR_clear_error();
    return s;
  }
  s.EncodedLength = static_cast<std::size_t>(p - ABlob.data());
  s.Message = std::move(p7);
  PKCS7* message = s.Message.get();

  // From here on a signature exists; faults are failures of it.
  s.Code = TRUST_E_FAIL;
  s.SignerInfo = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(message), 0);
  if (!s.SignerInfo) return s;
  s.SignerCertificate = FindCertificate(s.SignerInfo, SignedCertificates(message), nullptr);
  if (!s.SignerCertificate) {
    s.Code = TRUST_E_NO_SIGNER_CERT;
    return s;
  }
  PKCS7* contents = message->d.sign->contents;
  if (OidText(contents->type) != kOidSpcIndirectData) {
    s.Code = TRUST_E_SUBJECT_FORM_UNKNOWN;
    return s;
  }
  auto indirect = ParseIndirectData(SequenceBytes(contents->d.other));
  if (!indirect) return s;
  if (indirect->SubjectType != kOidSpcPeImageData) {
    s.Code = TRUST_E_SUBJECT_FORM_UNKNOWN;
    return s;
  }
  s.IndirectContent = indirect->Content;
  s.DigestAlgorithm = indirect->DigestAlgorithm;
  s.ImageDigest = indirect->Digest;
  s.Code = 0;
  return s;
}

HRESULT VerifySignerInfo(PKCS7_SIGNER_INFO* ASigner, X509* ACert, std::span<const std::uint8_t> AContent) {
  if (!ASigner || !ACert) return TRUST_E_NO_SIGNER_CERT;
  if (!ASigner->digest_alg || !ASigner->enc_digest) return TRUST_E_FAIL;
  const EVP_MD* md = EVP_get_digestbyobj(ASigner->digest_alg->algorithm);
  if (!md) return TRUST_E_FAIL;
  EVP_PKEY* key = X509_get0_pubkey(ACert);
  if (!key) return TRUST_E_FAIL;

  std::unique_ptr<unsigned char, TFreeOpenSSL> attrs;
  std::span<const std::uint8_t> signedBytes = AContent;
  if (ASigner->auth_attr && sk_X509_ATTRIBUTE_num(ASigner->auth_attr) > 0) {
    ASN1_OCTET_STRING* expected = PKCS7_digest_from_attributes(ASigner->auth_attr);
    if (!expected) return TRUST_E_BAD_DIGEST;
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLen = 0;
    if (!DigestOf(md, AContent, digest, &digestLen)) return TRUST_E_FAIL;
    if (!SameBytes(Bytes(expected), digest, digestLen)) return TRUST_E_BAD_DIGEST;
    unsigned char* der = nullptr;
    int len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(ASigner->auth_attr), &der, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (len <= 0 || !der) return TRUST_E_FAIL;
    attrs.reset(der);
    signedBytes = {der, static_cast<std::size_t>(len)};
  }
  std::unique_ptr<EVP_MD_CTX, TFreeMdCtx> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) != 1) return NTE_BAD_SIGNATURE;
  auto signature = Bytes(ASigner->enc_digest);
  int ok = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), signedBytes.data(), signedBytes.size());
  return ok == 1 ? 0 : NTE_BAD_SIGNATURE;
}

std::vector<TTimestampCandidate> TimestampCandidates(const TAuthenticodeSignature& ASignature) {
  std::vector<TTimestampCandidate> out;
  PKCS7* p7 = ASignature.Message.get();
  PKCS7_SIGNER_INFO* si = ASignature.SignerInfo;
  if (!p7 || !si) return out;
  const auto value = Bytes(si->enc_digest);
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
    X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
    if (OidText(X509_ATTRIBUTE_get0_object(attr)) != kOidRfc3161Timestamp) continue;
    if (auto c = Rfc3161Candidate(p7, value, SequenceBytes(X509_ATTRIBUTE_get0_type(attr, 0))))
      out.push_back(std::move(*c));
  }
  if (auto c = CountersignatureCandidate(p7, si, value)) out.push_back(std::move(*c));
  ERR_clear_error();
  return out;
}

bool AllowsUsage(X509* ACert, std::uint32_t AUsage) {
  if (!(X509_get_extension_flags(ACert) & EXFLAG_XKUSAGE)) return true;
  return (X509_get_extended_key_usage(ACert) & (AUsage | XKU_ANYEKU)) != 0;
}

TCertificateTexts CertificateTexts(X509* ACert) {
  TCertificateTexts t;
  if (!ACert) return t;
  t.SerialNumber = SerialText(ACert);
  t.IssuerName = SimpleDisplayName(ACert, true);
  t.SignerName = SimpleDisplayName(ACert, false);
  t.Thumbprint = ThumbprintText(ACert);
  ERR_clear_error();
  return t;
}

// --- digest --------------------------------------------------------------------------------------

bool DigestRanges(const TReadAt& ARead, std::span<const TByteRange> ARanges, const EVP_MD* AAlgorithm,
                  std::span<std::uint8_t> ABuffer, std::vector<std::uint8_t>& ADigest) {
  ADigest.clear();
  if (!AAlgorithm || ABuffer.empty()) return false;
  std::unique_ptr<EVP_MD_CTX, TFreeMdCtx> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), AAlgorithm, nullptr) != 1) return false;
  for (const TByteRange& r : ARanges) {
    for (std::uint64_t at = r.From; at < r.To;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(ABuffer.size(), r.To - at));
      if (ARead(at, ABuffer.data(), n) != n || EVP_DigestUpdate(ctx.get(), ABuffer.data(), n) != 1) return false;
      at += n;
    }
  }
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return false;
  ADigest.assign(digest, digest + len);
  return true;
}

}  // namespace quillmark
