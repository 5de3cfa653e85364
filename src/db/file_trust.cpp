#include "db/file_trust.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <span>

#include "support/exceptions.h"
#include "support/pe_image.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

// --- OpenSSL ownership ---------------------------------------------------------

struct TFreePKCS7 { void operator()(PKCS7* p) const { PKCS7_free(p); } };
struct TFreeSignerInfo { void operator()(PKCS7_SIGNER_INFO* p) const { PKCS7_SIGNER_INFO_free(p); } };
struct TFreeStoreCtx { void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); } };
struct TFreeMdCtx { void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); } };
struct TFreeTstInfo { void operator()(TS_TST_INFO* p) const { TS_TST_INFO_free(p); } };
struct TFreeX509 { void operator()(X509* p) const { X509_free(p); } };
struct TFreeObject { void operator()(ASN1_OBJECT* p) const { ASN1_OBJECT_free(p); } };
struct TFreeGeneralNames { void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); } };
struct TFreeX509Stack { void operator()(STACK_OF(X509)* p) const { sk_X509_free(p); } };  // borrowed members
struct TFreeOpenSSL { void operator()(void* p) const { OPENSSL_free(p); } };

using TPKCS7Ptr = std::unique_ptr<PKCS7, TFreePKCS7>;
using TX509Ptr = std::unique_ptr<X509, TFreeX509>;

// Object identifiers OpenSSL has no NID for.
constexpr const char* kOidSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kOidSpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
constexpr const char* kOidRfc3161Timestamp = "1.3.6.1.4.1.311.3.3.1";

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
  std::tm tm{};
  if (ASN1_TIME_to_tm(t, &tm) != 1) return std::nullopt;
  return static_cast<std::int64_t>(timegm(&tm));
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
  if (auto type = ReadDer(dataBody); type && type->Tag == 0x06) {
    const unsigned char* p = type->Whole.data();
    std::unique_ptr<ASN1_OBJECT, TFreeObject> obj(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(type->Whole.size())));
    r.SubjectType = OidText(obj.get());
  }
  auto diBody = digestInfo->Content;
  auto algorithm = ReadDer(diBody);
  auto digest = ReadDer(diBody);
  if (!algorithm || algorithm->Tag != 0x30 || !digest || digest->Tag != 0x04) return std::nullopt;
  auto algBody = algorithm->Content;
  auto oid = ReadDer(algBody);
  if (!oid || oid->Tag != 0x06) return std::nullopt;
  const unsigned char* p = oid->Whole.data();
  std::unique_ptr<ASN1_OBJECT, TFreeObject> obj(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid->Whole.size())));
  if (obj) r.DigestAlgorithm = EVP_get_digestbyobj(obj.get());
  r.Digest = digest->Content;
  return r;
}

// --- digests and signatures -----------------------------------------------------------

bool DigestOf(const EVP_MD* md, std::span<const std::uint8_t> data, std::uint8_t* out, unsigned* outLen) {
  return md && EVP_Digest(data.data(), data.size(), out, outLen, md, nullptr) == 1;
}

bool SameBytes(std::span<const std::uint8_t> a, const std::uint8_t* b, std::size_t n) {
  return a.size() == n && std::memcmp(a.data(), b, n) == 0;
}

// Checks a SignerInfo's signature over content: the message digest among its
// authenticated attributes, and the signature over those attributes (or over
// the content itself when it has none).
HRESULT VerifySignerInfo(PKCS7_SIGNER_INFO* si, X509* cert, std::span<const std::uint8_t> content) {
  if (!si || !cert) return TRUST_E_NO_SIGNER_CERT;
  if (!si->digest_alg || !si->enc_digest) return TRUST_E_FAIL;
  const EVP_MD* md = EVP_get_digestbyobj(si->digest_alg->algorithm);
  if (!md) return TRUST_E_FAIL;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (!key) return TRUST_E_FAIL;

  std::unique_ptr<unsigned char, TFreeOpenSSL> attrs;
  std::span<const std::uint8_t> signedBytes = content;
  if (si->auth_attr && sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    ASN1_OCTET_STRING* expected = PKCS7_digest_from_attributes(si->auth_attr);
    if (!expected) return TRUST_E_BAD_DIGEST;
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLen = 0;
    if (!DigestOf(md, content, digest, &digestLen)) return TRUST_E_FAIL;
    if (!SameBytes({expected->data, static_cast<std::size_t>(expected->length)}, digest, digestLen))
      return TRUST_E_BAD_DIGEST;
    unsigned char* der = nullptr;
    int len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &der, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (len <= 0 || !der) return TRUST_E_FAIL;
    attrs.reset(der);
    signedBytes = {der, static_cast<std::size_t>(len)};
  }
  std::unique_ptr<EVP_MD_CTX, TFreeMdCtx> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) != 1) return NTE_BAD_SIGNATURE;
  int ok = EVP_DigestVerify(ctx.get(), si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length),
                            signedBytes.data(), signedBytes.size());
  return ok == 1 ? 0 : NTE_BAD_SIGNATURE;
}

// --- certificate chains -----------------------------------------------------------------

struct TChainState {
  bool Expired = false;
};

// Validity-period failures are noted and passed over, so that any other
// fault of the chain wins over an expired certificate.
int ChainCallback(int ok, X509_STORE_CTX* ctx) {
  if (ok) return ok;
  int err = X509_STORE_CTX_get_error(ctx);
  if (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID) {
    if (auto* state = static_cast<TChainState*>(X509_STORE_CTX_get_ex_data(ctx, 0))) state->Expired = true;
    return 1;
  }
  return 0;
}

HRESULT MapChainError(int err) {
  switch (err) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      return CERT_E_CHAINING;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return CERT_E_EXPIRED;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return TRUST_E_CERT_SIGNATURE;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return TRUST_E_BASIC_CONSTRAINTS;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return CERT_E_WRONG_USAGE;
    case X509_V_ERR_CERT_REVOKED:
      return CERT_E_REVOKED;
    default:
      return TRUST_E_FAIL;
  }
}

// Builds the chain of leaf to an anchor of store, judging validity at time.
// Answers 0, CERT_E_EXPIRED when the only fault is a validity period, or the
// code of the fault.
HRESULT VerifyChain(X509_STORE* store, X509* leaf, STACK_OF(X509)* untrusted, std::int64_t at) {
  std::unique_ptr<X509_STORE_CTX, TFreeStoreCtx> ctx(X509_STORE_CTX_new());
  if (!ctx || !store || X509_STORE_CTX_init(ctx.get(), store, leaf, untrusted) != 1) return TRUST_E_FAIL;
  X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()), static_cast<time_t>(at));
  TChainState state;
  X509_STORE_CTX_set_ex_data(ctx.get(), 0, &state);
  X509_STORE_CTX_set_verify_cb(ctx.get(), ChainCallback);
  if (X509_verify_cert(ctx.get()) != 1) return MapChainError(X509_STORE_CTX_get_error(ctx.get()));
  return state.Expired ? CERT_E_EXPIRED : 0;
}

// A certificate with an extended key usage must allow code signing (or any use).
bool AllowsUsage(X509* cert, std::uint32_t usage) {
  if (!(X509_get_extension_flags(cert) & EXFLAG_XKUSAGE)) return true;
  return (X509_get_extended_key_usage(cert) & (usage | XKU_ANYEKU)) != 0;
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
  if (!t || t->type != V_ASN1_SEQUENCE || !t->value.sequence) return {};
  return {t->value.sequence->data, static_cast<std::size_t>(t->value.sequence->length)};
}

// --- timestamps -----------------------------------------------------------------------------

// Time of a valid Authenticode countersignature of si (a SignerInfo over the
// primary signature value, signed by a certificate of the message).
std::optional<std::int64_t> AuthenticodeTimestamp(X509_STORE* store, PKCS7* p7, PKCS7_SIGNER_INFO* si) {
  auto der = SequenceBytes(PKCS7_get_attribute(si, NID_pkcs9_countersignature));
  if (der.empty()) return std::nullopt;
  const unsigned char* p = der.data();
  std::unique_ptr<PKCS7_SIGNER_INFO, TFreeSignerInfo> cs(d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(der.size())));
  if (!cs) return std::nullopt;
  STACK_OF(X509)* certs = SignedCertificates(p7);
  X509* tsa = FindCertificate(cs.get(), certs, nullptr);
  std::span<const std::uint8_t> value(si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length));
  if (!tsa || VerifySignerInfo(cs.get(), tsa, value) != 0) return std::nullopt;
  ASN1_TYPE* st = PKCS7_get_signed_attribute(cs.get(), NID_pkcs9_signingTime);
  if (!st || (st->type != V_ASN1_UTCTIME && st->type != V_ASN1_GENERALIZEDTIME)) return std::nullopt;
  auto when = UnixTime(st->value.utctime);
  if (!when || !AllowsUsage(tsa, XKU_TIMESTAMP) || VerifyChain(store, tsa, certs, *when) != 0) return std::nullopt;
  return when;
}

// Time of a valid RFC 3161 token over the primary signature value.
std::optional<std::int64_t> Rfc3161Timestamp(X509_STORE* store, PKCS7* p7, PKCS7_SIGNER_INFO* si) {
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
    X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
    if (OidText(X509_ATTRIBUTE_get0_object(attr)) != kOidRfc3161Timestamp) continue;
    auto der = SequenceBytes(X509_ATTRIBUTE_get0_type(attr, 0));
    if (der.empty()) continue;
    const unsigned char* p = der.data();
    TPKCS7Ptr token(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    if (!token || !PKCS7_type_is_signed(token.get()) || !token->d.sign || !token->d.sign->contents) continue;
    PKCS7* contents = token->d.sign->contents;
    if (OBJ_obj2nid(contents->type) != NID_id_smime_ct_TSTInfo || !contents->d.other ||
        contents->d.other->type != V_ASN1_OCTET_STRING || !contents->d.other->value.octet_string)
      continue;
    std::span<const std::uint8_t> tst(contents->d.other->value.octet_string->data,
                                      static_cast<std::size_t>(contents->d.other->value.octet_string->length));
    PKCS7_SIGNER_INFO* tsi = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(token.get()), 0);
    X509* tsa = FindCertificate(tsi, SignedCertificates(token.get()), SignedCertificates(p7));
    if (!tsi || !tsa || VerifySignerInfo(tsi, tsa, tst) != 0) continue;

    const unsigned char* q = tst.data();
    std::unique_ptr<TS_TST_INFO, TFreeTstInfo> info(d2i_TS_TST_INFO(nullptr, &q, static_cast<long>(tst.size())));
    if (!info) continue;
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
    X509_ALGOR* algo = imprint ? TS_MSG_IMPRINT_get_algo(imprint) : nullptr;
    ASN1_OCTET_STRING* msg = imprint ? TS_MSG_IMPRINT_get_msg(imprint) : nullptr;
    if (!algo || !msg) continue;
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLen = 0;
    if (!DigestOf(EVP_get_digestbyobj(algo->algorithm),
                  {si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length)}, digest, &digestLen) ||
        !SameBytes({msg->data, static_cast<std::size_t>(msg->length)}, digest, digestLen))
      continue;
    auto when = UnixTime(TS_TST_INFO_get_time(info.get()));
    if (!when || !AllowsUsage(tsa, XKU_TIMESTAMP)) continue;

    std::unique_ptr<STACK_OF(X509), TFreeX509Stack> untrusted(sk_X509_new_null());
    for (STACK_OF(X509)* s : {SignedCertificates(token.get()), SignedCertificates(p7)})
      for (int k = 0; untrusted && s && k < sk_X509_num(s); ++k) sk_X509_push(untrusted.get(), sk_X509_value(s, k));
    if (VerifyChain(store, tsa, untrusted.get(), *when) == 0) return when;
  }
  return std::nullopt;
}

// --- names -------------------------------------------------------------------------------------

std::string EntryText(const X509_NAME_ENTRY* e) {
  const ASN1_STRING* data = e ? X509_NAME_ENTRY_get_data(e) : nullptr;
  if (!data) return {};
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, data);
  if (n < 0 || !utf8) return {};
  std::string s(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
  OPENSSL_free(utf8);
  return s;
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
    if (g->type == GEN_EMAIL && g->d.rfc822Name)
      return std::string(reinterpret_cast<const char*>(g->d.rfc822Name->data),
                         static_cast<std::size_t>(g->d.rfc822Name->length));
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

// --- the check of one image ---------------------------------------------------------------------

struct TVerification {
  HRESULT Code = TRUST_E_NOSIGNATURE;
  TX509Ptr Signer;  // the primary signer's certificate, when the message has it
  std::int64_t TimestampTime = 0;
};

// Hashes every byte of the image except the checksum, the certificate-table
// directory entry and the certificate table, straight from the mapping.
bool ImageDigest(const EVP_MD* md, std::span<const std::uint8_t> file, std::uint64_t checkSum, std::uint64_t entry,
                 std::uint64_t tableStart, std::uint64_t tableEnd, std::uint8_t* out, unsigned* outLen) {
  std::unique_ptr<EVP_MD_CTX, TFreeMdCtx> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
  const std::pair<std::uint64_t, std::uint64_t> ranges[] = {
      {0, checkSum}, {checkSum + 4, entry}, {entry + 8, tableStart}, {tableEnd, file.size()}};
  for (auto [from, to] : ranges)
    if (to > from && EVP_DigestUpdate(ctx.get(), file.data() + from, to - from) != 1) return false;
  return EVP_DigestFinal_ex(ctx.get(), out, outLen) == 1;
}

TVerification VerifyImage(std::span<const std::uint8_t> file, X509_STORE* store, std::int64_t now) {
  TVerification v;
  TPEImage image(file);
  if (!image.IsValid()) {
    v.Code = TRUST_E_SUBJECT_FORM_UNKNOWN;
    return v;
  }
  // The certificate table: the directory entry gives a file offset, not an RVA.
  auto dir = image.DataDirectory(IMAGE_DIRECTORY_ENTRY_SECURITY);
  if (!dir || dir->VirtualAddress == 0 || dir->Size < 8) return v;
  const std::uint64_t checkSum = image.CheckSumOffset(), entry = dir->EntryOffset;
  const std::uint64_t tableStart = dir->VirtualAddress, tableEnd = tableStart + dir->Size;
  if (tableEnd > file.size() || checkSum + 4 > entry || tableStart < entry + 8) return v;

  // The first WIN_CERTIFICATE holds the primary signature.
  auto length = image.ReadU32(tableStart);
  auto revision = image.ReadU16(tableStart + 4), type = image.ReadU16(tableStart + 6);
  if (!length || *length < 8 || *length > dir->Size || revision != WIN_CERT_REVISION_2_0 ||
      type != WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    return v;
  auto blob = image.Slice(tableStart + 8, *length - 8);
  const unsigned char* p = blob.data();
  TPKCS7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(blob.size())));
  if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign || !p7->d.sign->contents) return v;

  // From here on a signature exists; faults are failures of it.
  v.Code = TRUST_E_FAIL;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
  if (!si) return v;
  X509* signer = FindCertificate(si, SignedCertificates(p7.get()), nullptr);
  if (!signer) {
    v.Code = TRUST_E_NO_SIGNER_CERT;
    return v;
  }
  X509_up_ref(signer);
  v.Signer.reset(signer);

  PKCS7* contents = p7->d.sign->contents;
  if (OidText(contents->type) != kOidSpcIndirectData) {
    v.Code = TRUST_E_SUBJECT_FORM_UNKNOWN;
    return v;
  }
  auto indirect = ParseIndirectData(SequenceBytes(contents->d.other));
  if (!indirect) return v;
  if (indirect->SubjectType != kOidSpcPeImageData) {
    v.Code = TRUST_E_SUBJECT_FORM_UNKNOWN;
    return v;
  }
  if (HRESULT rc = VerifySignerInfo(si, signer, indirect->Content); rc != 0) {
    v.Code = rc;
    return v;
  }
  if (!indirect->DigestAlgorithm) return v;
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned digestLen = 0;
  if (!ImageDigest(indirect->DigestAlgorithm, file, checkSum, entry, tableStart, tableEnd, digest, &digestLen))
    return v;
  if (!SameBytes(indirect->Digest, digest, digestLen)) {
    v.Code = TRUST_E_BAD_DIGEST;
    return v;
  }

  std::int64_t at = now;
  if (auto ts = Rfc3161Timestamp(store, p7.get(), si)) at = v.TimestampTime = *ts;
  else if (auto ts2 = AuthenticodeTimestamp(store, p7.get(), si)) at = v.TimestampTime = *ts2;

  v.Code = VerifyChain(store, signer, SignedCertificates(p7.get()), at);
  if ((v.Code == 0 || v.Code == CERT_E_EXPIRED) && !AllowsUsage(signer, XKU_CODE_SIGN)) v.Code = CERT_E_WRONG_USAGE;
  return v;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& name) {
  std::vector<std::uint8_t> bytes;
  try {
    auto file = runtime::LiveHost()->OpenFileForRead(name);
    std::uint64_t size = file->Size();
    if (size > (64u << 20)) return bytes;  // no certificate file is this large
    bytes.resize(static_cast<std::size_t>(size));
    bytes.resize(file->ReadAt(0, bytes.data(), bytes.size()));
  } catch (const std::exception&) {
    bytes.clear();
  }
  return bytes;
}

}  // namespace

// --- TTrustStore ------------------------------------------------------------------------------------

TTrustStore::TTrustStore() : FStore(X509_STORE_new()) {
  if (!FStore) throw Exception("X509_STORE_new failed");
}

TTrustStore::~TTrustStore() { X509_STORE_free(FStore); }

std::size_t TTrustStore::AddPEMOrDER(const std::vector<std::uint8_t>& ABytes) {
  if (ABytes.empty()) return 0;
  std::size_t added = 0;
  auto add = [&](X509* cert) {
    if (!cert) return;
    if (X509_STORE_add_cert(FStore, cert) == 1) ++added;
    X509_free(cert);
  };
  if (BIO* bio = BIO_new_mem_buf(ABytes.data(), static_cast<int>(ABytes.size()))) {
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) add(cert);
    BIO_free(bio);
  }
  if (added == 0) {
    const unsigned char* p = ABytes.data();
    add(d2i_X509(nullptr, &p, static_cast<long>(ABytes.size())));
  }
  ERR_clear_error();
  FCount += added;
  return added;
}

std::size_t TTrustStore::AddCAFile(const std::string& AFileName) {
  if (AFileName.empty()) return 0;
  return AddPEMOrDER(ReadWholeFile(AFileName));
}

std::size_t TTrustStore::AddSystemBundle() {
  std::vector<std::string> candidates;
  if (std::string env = runtime::LiveHost()->GetEnvironmentVariable(X509_get_default_cert_file_env()); !env.empty())
    candidates.push_back(std::move(env));
  candidates.emplace_back("/etc/ssl/certs/ca-certificates.crt");
  candidates.emplace_back(X509_get_default_cert_file());
  for (const auto& name : candidates)
    if (std::size_t n = AddCAFile(name)) return n;
  // No bundle file: let OpenSSL look up its hashed certificate folder.
  if (!FDefaultPaths && X509_STORE_set_default_paths(FStore) == 1) FDefaultPaths = true;
  ERR_clear_error();
  return 0;
}

std::size_t TTrustStore::AddTrustFolder(const std::string& AFolder) {
  std::size_t added = 0;
  if (AFolder.empty()) return 0;
  const std::string prefix = AFolder.back() == '/' ? AFolder : AFolder + "/";
  std::vector<std::string> files;
  for (const auto& e : runtime::LiveHost()->ListDirectory(AFolder)) {
    auto dot = e.Name.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : LowerCase(e.Name.substr(dot));
    if (!e.IsDirectory && (ext == ".pem" || ext == ".crt" || ext == ".cer")) files.push_back(prefix + e.Name);
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) added += AddCAFile(f);
  return added;
}

std::shared_ptr<const TTrustStore> TTrustStore::Shared(const std::string& ATrustFolder,
                                                       const std::vector<std::string>& ACAFiles) {
  static std::mutex lock;
  static std::map<std::pair<std::string, std::vector<std::string>>, std::shared_ptr<const TTrustStore>> stores;
  std::lock_guard<std::mutex> guard(lock);
  auto& slot = stores[{ATrustFolder, ACAFiles}];
  if (!slot) {
    auto store = std::make_shared<TTrustStore>();
    store->AddSystemBundle();
    store->AddTrustFolder(ATrustFolder);
    for (const auto& f : ACAFiles) store->AddCAFile(f);
    slot = std::move(store);
  }
  return slot;
}

// --- TFileTrust -------------------------------------------------------------------------------------

TFileTrust::TFileTrust(std::shared_ptr<runtime::ITargetSystem> ATarget, std::shared_ptr<const TTrustStore> AStore)
    : FTarget(ATarget ? std::move(ATarget) : runtime::LiveHost()),
      FStore(AStore ? std::move(AStore) : TTrustStore::Shared()) {}

TFileTrust::TFileTrust(const std::string& AFile, bool AGetExtendedInfo, std::shared_ptr<runtime::ITargetSystem> ATarget,
                       std::shared_ptr<const TTrustStore> AStore)
    : TFileTrust(std::move(ATarget), std::move(AStore)) {
  Check(AFile, AGetExtendedInfo);
}

void TFileTrust::SetTrustStore(std::shared_ptr<const TTrustStore> AStore) {
  FStore = AStore ? std::move(AStore) : TTrustStore::Shared();
}

bool TFileTrust::Check(const std::string& AFile, bool AGetExtendedInfo) {
  FFileName = AFile;
  FErrorCode = TRUST_E_NOSIGNATURE;
  FIsFileAviable = false;
  FTimestampTime = 0;
  FSerialNumber.clear();
  FIssuerName.clear();
  FSignerName.clear();
  FThumbprint.clear();
  if (AFile.empty()) return false;

  std::unique_ptr<runtime::IReadOnlyFile> file;
  try {
    file = FTarget->OpenFileForRead(AFile);
  } catch (const std::exception&) {
    return false;
  }
  if (!file) return false;
  FIsFileAviable = true;

  try {
    std::unique_ptr<runtime::IFileView> view;
    std::span<const std::uint8_t> bytes;
    if (std::uint64_t size = file->Size(); size > 0) {
      view = file->Map(0, static_cast<std::size_t>(size));
      if (view && view->Data()) bytes = {view->Data(), view->Size()};
    }
    std::int64_t now = FVerificationTime ? FVerificationTime : static_cast<std::int64_t>(std::time(nullptr));
    TVerification v = VerifyImage(bytes, FStore->Store(), now);
    FErrorCode = v.Code;
    FTimestampTime = v.TimestampTime;
    if (AGetExtendedInfo && FErrorCode != TRUST_E_NOSIGNATURE && v.Signer) {
      try {
        FSerialNumber = SerialText(v.Signer.get());
        FIssuerName = SimpleDisplayName(v.Signer.get(), true);
        FSignerName = SimpleDisplayName(v.Signer.get(), false);
        FThumbprint = ThumbprintText(v.Signer.get());
      } catch (const std::exception&) {
        // the fields keep what was read before the fault
      }
    }
  } catch (const std::exception&) {
    FErrorCode = TRUST_E_FAIL;
  }
  ERR_clear_error();
  return IsTrustVerify();
}

// --- outcome names ------------------------------------------------------------------------------

const char* TrustResultName(HRESULT ACode) {
  switch (static_cast<std::uint32_t>(ACode)) {
    case 0: return "S_OK";
    case 0x800B0003: return "TRUST_E_SUBJECT_FORM_UNKNOWN";
    case 0x800B0100: return "TRUST_E_NOSIGNATURE";
    case 0x800B0101: return "CERT_E_EXPIRED";
    case 0x800B0109: return "CERT_E_UNTRUSTEDROOT";
    case 0x800B010A: return "CERT_E_CHAINING";
    case 0x800B010B: return "TRUST_E_FAIL";
    case 0x800B010C: return "CERT_E_REVOKED";
    case 0x800B010E: return "CERT_E_REVOCATION_FAILURE";
    case 0x800B0110: return "CERT_E_WRONG_USAGE";
    case 0x80096002: return "TRUST_E_NO_SIGNER_CERT";
    case 0x80096004: return "TRUST_E_CERT_SIGNATURE";
    case 0x80096010: return "TRUST_E_BAD_DIGEST";
    case 0x80096019: return "TRUST_E_BASIC_CONSTRAINTS";
    case 0x80090006: return "NTE_BAD_SIGNATURE";
    default: return "";
  }
}

std::string TrustResultHex(HRESULT ACode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(ACode)));
  return buf;
}

}  // namespace quillmark
