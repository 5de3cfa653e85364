#include "support/signing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace quillmark::test {

namespace {

struct TFreeKey { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct TFreeCert { void operator()(X509* p) const { X509_free(p); } };
using TKeyPtr = std::unique_ptr<EVP_PKEY, TFreeKey>;
using TCertPtr = std::unique_ptr<X509, TFreeCert>;

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

TKeyPtr NewKey() {
  TKeyPtr key(EVP_RSA_gen(2048));
  Require(key != nullptr, "RSA key generation");
  return key;
}

std::string Hex(const unsigned char* p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += digits[p[i] >> 4], s += digits[p[i] & 15];
  return s;
}

// What to put in one certificate.
struct TCertSpec {
  std::vector<std::pair<std::string, std::string>> Subject;  // attribute short name, value
  std::string DisplayName;
  long Serial = 0;  // 0: random 64-bit serial
  std::int64_t NotBefore = 0, NotAfter = 0;
  bool CA = false;
  std::string ExtendedKeyUsage;  // as in an OpenSSL config ("codeSigning"), empty for none
};

struct TIssued {
  TCertPtr Cert;
  TKeyPtr Key;
  std::string Chain;  // PEM of the certificate and its issuers
};

std::string PemOf(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  Require(bio && PEM_write_bio_X509(bio, cert) == 1, "PEM certificate");
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string s(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return s;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Require(ext && X509_add_ext(cert, ext, -1) == 1, "certificate extension");
  X509_EXTENSION_free(ext);
}

// Issues a certificate for spec, signed by issuer (self-signed when null).
TIssued Issue(const TCertSpec& spec, const TIssued* issuer) {
  TIssued r;
  r.Key = NewKey();
  r.Cert.reset(X509_new());
  X509* x = r.Cert.get();
  Require(x && X509_set_version(x, 2) == 1, "certificate");
  ASN1_INTEGER* serial = X509_get_serialNumber(x);
  if (spec.Serial) {
    ASN1_INTEGER_set(serial, spec.Serial);
  } else {
    static std::uint64_t counter = static_cast<std::uint64_t>(std::time(nullptr)) << 20;
    ASN1_INTEGER_set_uint64(serial, (++counter) | 0x4000000000000000ull);
  }
  X509_NAME* name = X509_get_subject_name(x);
  for (const auto& [field, value] : spec.Subject)
    Require(X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1,
            "subject name");
  X509* signerCert = issuer ? issuer->Cert.get() : x;
  EVP_PKEY* signerKey = issuer ? issuer->Key.get() : r.Key.get();
  X509_set_issuer_name(x, X509_get_subject_name(signerCert));
  ASN1_TIME_set(X509_getm_notBefore(x), static_cast<time_t>(spec.NotBefore));
  ASN1_TIME_set(X509_getm_notAfter(x), static_cast<time_t>(spec.NotAfter));
  X509_set_pubkey(x, r.Key.get());
  AddExtension(x, signerCert, NID_basic_constraints, spec.CA ? "critical,CA:TRUE" : "critical,CA:FALSE");
  AddExtension(x, signerCert, NID_key_usage, spec.CA ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
  AddExtension(x, signerCert, NID_subject_key_identifier, "hash");
  if (issuer) AddExtension(x, signerCert, NID_authority_key_identifier, "keyid:always");
  if (!spec.ExtendedKeyUsage.empty()) AddExtension(x, signerCert, NID_ext_key_usage, spec.ExtendedKeyUsage);
  Require(X509_sign(x, signerKey, EVP_sha256()) > 0, "certificate signature");
  r.Chain = PemOf(x) + (issuer ? issuer->Chain : std::string());
  return r;
}

TTestCert Save(const TTempDir& dir, const std::string& stem, const TIssued& issued, const TCertSpec& spec,
               const std::string& issuerName) {
  TTestCert c;
  c.CertFile = dir.WriteFile(stem + ".pem", PemOf(issued.Cert.get()));
  c.ChainFile = dir.WriteFile(stem + "-chain.pem", issued.Chain);
  BIO* bio = BIO_new(BIO_s_mem());
  Require(bio && PEM_write_bio_PrivateKey(bio, issued.Key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM key");
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  c.KeyFile = dir.WriteFile(stem + ".key", std::string_view(data, static_cast<std::size_t>(n)));
  BIO_free(bio);

  c.SubjectName = spec.DisplayName;
  c.IssuerName = issuerName;
  unsigned char* der = nullptr;
  int len = i2d_ASN1_INTEGER(X509_get_serialNumber(issued.Cert.get()), &der);
  Require(len > 2 && der[1] < 0x80, "serial encoding");
  c.SerialHex = Hex(der + 2, static_cast<std::size_t>(len - 2));
  OPENSSL_free(der);
  unsigned char sha1[EVP_MAX_MD_SIZE];
  unsigned sha1Len = 0;
  Require(X509_digest(issued.Cert.get(), EVP_sha1(), sha1, &sha1Len) == 1, "thumbprint");
  c.Thumbprint = Hex(sha1, sha1Len);
  c.NotBefore = spec.NotBefore;
  c.NotAfter = spec.NotAfter;
  return c;
}

}  // namespace

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TCertificateTableInfo CertificateTableOf(const std::vector<std::uint8_t>& image) {
  auto u32 = [&](std::size_t at) {
    Require(at + 4 <= image.size(), "image too short");
    std::uint32_t v;
    std::memcpy(&v, image.data() + at, 4);
    return v;
  };
  const std::size_t optional = u32(60) + 24;
  Require(optional + 2 <= image.size(), "image too short");
  const bool plus = image[optional] == 0x0B && image[optional + 1] == 0x02;
  TCertificateTableInfo t;
  t.EntryOffset = optional + (plus ? 112 : 96) + 4 * 8;
  t.Offset = u32(t.EntryOffset);
  t.Size = u32(t.EntryOffset + 4);
  Require(t.Offset != 0 && t.Size >= 8, "no certificate table");
  return t;
}

std::vector<std::uint8_t> WinCertificate(std::uint16_t revision, std::uint16_t type,
                                         const std::vector<std::uint8_t>& content) {
  const std::uint32_t length = static_cast<std::uint32_t>(8 + content.size());
  std::vector<std::uint8_t> entry((length + 7) & ~7u, 0);
  std::memcpy(entry.data(), &length, 4);
  std::memcpy(entry.data() + 4, &revision, 2);
  std::memcpy(entry.data() + 6, &type, 2);
  std::copy(content.begin(), content.end(), entry.begin() + 8);
  return entry;
}

void GrowCertificateTable(std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& bytes,
                          bool intoFirstEntry) {
  const TCertificateTableInfo t = CertificateTableOf(image);
  Require(t.Offset + t.Size == image.size(), "the certificate table does not end the file");
  image.insert(image.end(), bytes.begin(), bytes.end());
  auto grow = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, image.data() + at, 4);
    v += static_cast<std::uint32_t>(bytes.size());
    std::memcpy(image.data() + at, &v, 4);
  };
  grow(t.EntryOffset + 4);
  if (intoFirstEntry) grow(t.Offset);
}

const TTestPKI& TTestPKI::Get() {
  static const TTestPKI pki;
  return pki;
}

TTestPKI::TTestPKI() : FDir(std::make_unique<TTempDir>()) {
  Now = static_cast<std::int64_t>(std::time(nullptr));
  const TTempDir& dir = *FDir;
  auto caSpec = [&](std::string cn) {
    TCertSpec s;
    s.Subject = {{"O", "Quillmark Tests"}, {"CN", cn}};
    s.DisplayName = std::move(cn);
    s.NotBefore = Now - 5 * kYear;
    s.NotAfter = Now + 10 * kYear;
    s.CA = true;
    return s;
  };
  auto leafSpec = [&](std::string cn) {
    TCertSpec s;
    s.Subject = {{"C", "DE"}, {"O", "Quillmark Tests"}, {"CN", cn}};
    s.DisplayName = std::move(cn);
    s.NotBefore = Now - kDay;
    s.NotAfter = Now + 2 * kYear;
    s.ExtendedKeyUsage = "codeSigning";
    return s;
  };

  TCertSpec rootSpec = caSpec("Quillmark Test Root CA");
  TIssued root = Issue(rootSpec, nullptr);
  Root = Save(dir, "root", root, rootSpec, rootSpec.DisplayName);

  TCertSpec interSpec = caSpec("Quillmark Test Code Signing CA");
  TIssued inter = Issue(interSpec, &root);
  Intermediate = Save(dir, "intermediate", inter, interSpec, Root.SubjectName);

  auto leaf = [&](const std::string& stem, const TCertSpec& spec, const TIssued& issuer, const std::string& issuerName) {
    return Save(dir, stem, Issue(spec, &issuer), spec, issuerName);
  };
  Leaf = leaf("leaf", leafSpec("Quillmark Test Publisher"), inter, Intermediate.SubjectName);

  TCertSpec expired = leafSpec("Quillmark Expired Publisher");
  expired.NotBefore = Now - 3 * kYear;
  expired.NotAfter = Now - kYear;
  Expired = leaf("expired", expired, inter, Intermediate.SubjectName);

  TCertSpec serial = leafSpec("Quillmark Serial Publisher");
  serial.Serial = 0x010203;
  Serial = leaf("serial", serial, inter, Intermediate.SubjectName);

  TCertSpec noCN = leafSpec("");
  noCN.Subject = {{"O", "Quillmark Org Only"}, {"OU", "Build Unit"}};
  noCN.DisplayName = "Build Unit";
  NoCommonName = leaf("nocn", noCN, inter, Intermediate.SubjectName);

  Crafted = leaf("crafted", leafSpec("Evil\" OR \"1\"=\"1'; DROP TABLE signed_list; --"), inter,
                 Intermediate.SubjectName);

  TCertSpec wrongUsage = leafSpec("Quillmark Web Server");
  wrongUsage.ExtendedKeyUsage = "serverAuth";
  WrongUsage = leaf("wrongusage", wrongUsage, inter, Intermediate.SubjectName);

  TCertSpec tsa = leafSpec("Quillmark Test Timestamping");
  tsa.NotBefore = Now - 5 * kYear;
  tsa.NotAfter = Now + 10 * kYear;
  tsa.ExtendedKeyUsage = "critical,timeStamping";
  Tsa = leaf("tsa", tsa, root, Root.SubjectName);

  TCertSpec unknownSpec = caSpec("Unknown Test Root");
  TIssued unknown = Issue(unknownSpec, nullptr);
  UnknownRoot = Save(dir, "unknownroot", unknown, unknownSpec, unknownSpec.DisplayName);
  UnknownLeaf = leaf("unknownleaf", leafSpec("Unknown Publisher"), unknown, UnknownRoot.SubjectName);
}

void TTestPKI::Sign(const std::string& in, const std::string& out, const TTestCert& signer,
                    const TSignOptions& options) const {
  std::vector<std::string> argv = {"osslsigncode", "sign", "-certs", signer.ChainFile, "-key", signer.KeyFile,
                                   "-h", options.Digest, "-n", "Quillmark test program"};
  if (options.SigningTime) argv.insert(argv.end(), {"-time", std::to_string(options.SigningTime)});
  if (options.Tsa) {
    argv.insert(argv.end(), {"-TSA-certs", options.Tsa->ChainFile, "-TSA-key", options.Tsa->KeyFile});
    if (options.TimestampTime) argv.insert(argv.end(), {"-TSA-time", std::to_string(options.TimestampTime)});
  }
  std::filesystem::remove(out);
  argv.insert(argv.end(), {"-in", in, "-out", out});
  std::string log = (FDir->Path() / ("osslsigncode-" + std::to_string(++FRuns) + ".log")).string();
  if (RunProgram(argv, log) != 0) {
    std::string text;
    try {
      auto bytes = ReadFileBytes(log);
      text.assign(bytes.begin(), bytes.end());
    } catch (const std::exception&) {
    }
    throw std::runtime_error("osslsigncode failed for " + in + ": " + text);
  }
}

void TTestPKI::AddAuthenticodeCountersignature(const std::string& in, const std::string& out, const TTestCert& tsa,
                                               std::int64_t when, bool overOtherData) const {
  auto bytes = ReadFileBytes(in);
  auto u32 = [&](std::size_t at) {
    Require(at + 4 <= bytes.size(), "file too short");
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); };
  const std::size_t optional = u32(60) + 24;
  const bool plus = bytes.at(optional) == 0x0B && bytes.at(optional + 1) == 0x02;
  const std::size_t entry = optional + (plus ? 112 : 96) + 4 * 8;
  const std::size_t table = u32(entry);
  Require(table != 0 && u32(table) > 8, "not a signed file");

  const unsigned char* p = bytes.data() + table + 8;
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, u32(table) - 8), PKCS7_free);
  Require(p7 != nullptr, "signature does not decode");
  PKCS7_SIGNER_INFO* primary = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);

  auto readPem = [](const std::string& file, auto reader) {
    BIO* bio = BIO_new_file(file.c_str(), "r");
    Require(bio != nullptr, "PEM file");
    auto* v = reader(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    Require(v != nullptr, "PEM content");
    return v;
  };
  TCertPtr cert(readPem(tsa.CertFile, PEM_read_bio_X509));
  TKeyPtr key(readPem(tsa.KeyFile, PEM_read_bio_PrivateKey));

  PKCS7_SIGNER_INFO* cs = PKCS7_SIGNER_INFO_new();
  Require(cs && PKCS7_SIGNER_INFO_set(cs, cert.get(), key.get(), EVP_sha256()) == 1, "countersignature");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digestLen = 0;
  std::string other = "other bytes";
  const unsigned char* covered = overOtherData ? reinterpret_cast<const unsigned char*>(other.data())
                                               : primary->enc_digest->data;
  std::size_t coveredLen = overOtherData ? other.size() : static_cast<std::size_t>(primary->enc_digest->length);
  Require(EVP_Digest(covered, coveredLen, digest, &digestLen, EVP_sha256(), nullptr) == 1, "digest");
  ASN1_OCTET_STRING* md = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(md, digest, static_cast<int>(digestLen));
  PKCS7_add_signed_attribute(cs, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data));
  PKCS7_add_signed_attribute(cs, NID_pkcs9_signingTime, V_ASN1_UTCTIME, ASN1_TIME_set(nullptr, static_cast<time_t>(when)));
  PKCS7_add_signed_attribute(cs, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, md);
  Require(PKCS7_SIGNER_INFO_sign(cs) == 1, "countersignature signing");

  unsigned char* der = nullptr;
  int len = i2d_PKCS7_SIGNER_INFO(cs, &der);
  PKCS7_SIGNER_INFO_free(cs);
  Require(len > 0, "countersignature encoding");
  ASN1_STRING* seq = ASN1_STRING_new();
  ASN1_STRING_set(seq, der, len);
  OPENSSL_free(der);
  Require(PKCS7_add_attribute(primary, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, seq) == 1, "attribute");
  Require(PKCS7_add_certificate(p7.get(), cert.get()) == 1, "certificate");

  der = nullptr;
  len = i2d_PKCS7(p7.get(), &der);
  Require(len > 0, "signature encoding");
  std::size_t length = 8 + static_cast<std::size_t>(len), padded = (length + 7) & ~std::size_t{7};
  bytes.resize(table + padded, 0);
  std::memcpy(bytes.data() + table + 8, der, static_cast<std::size_t>(len));
  OPENSSL_free(der);
  put32(table, static_cast<std::uint32_t>(length));
  put32(entry + 4, static_cast<std::uint32_t>(padded));
  WriteBytes(out, bytes);
}

}  // namespace quillmark::test
