#include <gtest/gtest.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "db/file_trust.h"
#include "runtime/target_system.h"
#include "support/pe_writer.h"
#include "support/signing.h"
#include "support/temp_dir.h"

namespace quillmark {
namespace {

using test::TPEBuilder;
using test::TPEKind;
using test::TSignOptions;
using test::TTestCert;
using test::TTestPKI;

std::vector<std::uint8_t> Filled(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13);
  return v;
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
void SetU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void SetU16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

// Where the certificate table of a signed image lies.
struct TTableInfo {
  std::size_t EntryOffset;  // of the security directory entry
  std::size_t Offset;
  std::size_t Size;
};

TTableInfo Table(const std::vector<std::uint8_t>& bytes) {
  TPEImage image(bytes.data(), bytes.size());
  auto dir = image.DataDirectory(IMAGE_DIRECTORY_ENTRY_SECURITY);
  if (!image.IsValid() || !dir) throw std::runtime_error("no certificate table");
  return {static_cast<std::size_t>(dir->EntryOffset), dir->VirtualAddress, dir->Size};
}

// Signed fixtures, built once per run and shared by the tests.
class FileTrustTest : public ::testing::Test {
 protected:
  static const TTestPKI& Pki() { return TTestPKI::Get(); }

  static test::TTempDir& Dir() {
    static test::TTempDir dir;
    return dir;
  }

  static std::string Unsigned(TPEKind kind) {
    static std::map<TPEKind, std::string> files;
    auto& f = files[kind];
    if (f.empty()) {
      auto pe = TPEBuilder(kind)
                    .AddSection(".text", Filled(0x600, 1), test::kCodeSection)
                    .AddSection(".data", Filled(0x200, 7), test::kDataSection)
                    .Build();
      f = Dir().WriteFile(kind == TPEKind::pe32 ? "plain32.exe" : "plain64.exe", pe.Bytes());
    }
    return f;
  }

  // The unsigned image of kind signed by cert; cached under name.
  static std::string Signed(const std::string& name, const TTestCert& cert, TPEKind kind = TPEKind::pe32,
                            const TSignOptions& options = {}) {
    static std::map<std::string, std::string> files;
    auto& f = files[name];
    if (f.empty()) {
      std::string out = Dir() / (name + ".exe");
      Pki().Sign(Unsigned(kind), out, cert, options);
      f = out;
    }
    return f;
  }
  static std::string SignedLeaf() { return Signed("leaf256", Pki().Leaf); }

  // A store of the test root only.
  static std::shared_ptr<const TTrustStore> TestStore() {
    static std::shared_ptr<const TTrustStore> store = [] {
      auto s = std::make_shared<TTrustStore>();
      s->AddCAFile(Pki().Root.CertFile);
      return s;
    }();
    return store;
  }

  static TFileTrust Checker() { return TFileTrust(runtime::LiveHost(), TestStore()); }

  // Writes bytes as a new file and checks it with details.
  static TFileTrust CheckBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    TFileTrust trust = Checker();
    trust.Check(Dir().WriteFile(name, bytes), true);
    return trust;
  }

  static void ExpectSigner(const TFileTrust& trust, const TTestCert& cert) {
    EXPECT_EQ(trust.SignerName(), cert.SubjectName);
    EXPECT_EQ(trust.IssuerName(), cert.IssuerName);
    EXPECT_EQ(trust.SerialNumber(), cert.SerialHex);
    EXPECT_EQ(trust.Thumbprint(), cert.Thumbprint);
  }
  static void ExpectNoSigner(const TFileTrust& trust) {
    EXPECT_EQ(trust.SignerName(), "");
    EXPECT_EQ(trust.IssuerName(), "");
    EXPECT_EQ(trust.SerialNumber(), "");
    EXPECT_EQ(trust.Thumbprint(), "");
  }
};

TEST_F(FileTrustTest, UnsignedFileHasNoSignatureAndNoDetails) {
  for (TPEKind kind : {TPEKind::pe32, TPEKind::pe32Plus}) {
    TFileTrust trust = Checker();
    EXPECT_FALSE(trust.Check(Unsigned(kind), true));
    EXPECT_TRUE(trust.IsFileAviable());
    EXPECT_EQ(trust.ErrorCode(), TRUST_E_NOSIGNATURE);
    EXPECT_EQ(trust.FileName(), Unsigned(kind));
    ExpectNoSigner(trust);
  }
}

struct TOutcomeCase {
  const char* Name;
  std::function<const TTestCert&(const TTestPKI&)> Cert;
  TPEKind Kind;
  std::function<TSignOptions(const TTestPKI&)> Options;
  HRESULT Code;
  bool Trusted;
  bool Timestamped;
};

TEST_F(FileTrustTest, SignedFilesAnswerTheWinTrustOutcome) {
  auto leaf = [](const TTestPKI& p) -> const TTestCert& { return p.Leaf; };
  auto expired = [](const TTestPKI& p) -> const TTestCert& { return p.Expired; };
  auto plain = [](const TTestPKI&) { return TSignOptions{}; };
  auto sha1 = [](const TTestPKI&) { return TSignOptions{.Digest = "sha1"}; };
  // The expired certificate was valid two years ago.
  auto backThen = [](const TTestPKI& p) { return TSignOptions{.SigningTime = p.Now - 2 * TTestPKI::kYear}; };
  auto stampedBackThen = [](const TTestPKI& p) {
    return TSignOptions{.SigningTime = p.Now - 2 * TTestPKI::kYear, .Tsa = &p.Tsa,
                        .TimestampTime = p.Now - 2 * TTestPKI::kYear};
  };
  auto stampedNow = [](const TTestPKI& p) { return TSignOptions{.Tsa = &p.Tsa, .TimestampTime = p.Now}; };
  const TOutcomeCase cases[] = {
      {"sha256-pe32", leaf, TPEKind::pe32, plain, 0, true, false},
      {"sha256-pe32plus", leaf, TPEKind::pe32Plus, plain, 0, true, false},
      {"sha1-pe32", leaf, TPEKind::pe32, sha1, 0, true, false},
      {"sha1-pe32plus", leaf, TPEKind::pe32Plus, sha1, 0, true, false},
      {"leaf-stamped", leaf, TPEKind::pe32, stampedNow, 0, true, true},
      {"unknown-root", [](const TTestPKI& p) -> const TTestCert& { return p.UnknownLeaf; }, TPEKind::pe32, plain,
       CERT_E_UNTRUSTEDROOT, false, false},
      {"expired", expired, TPEKind::pe32, backThen, CERT_E_EXPIRED, true, false},
      {"expired-stamped-in-validity", expired, TPEKind::pe32Plus, stampedBackThen, 0, true, true},
      {"expired-stamped-after-expiry", expired, TPEKind::pe32, [](const TTestPKI& p) {
         return TSignOptions{.SigningTime = p.Now - 2 * TTestPKI::kYear, .Tsa = &p.Tsa, .TimestampTime = p.Now};
       }, CERT_E_EXPIRED, true, true},
      {"server-certificate", [](const TTestPKI& p) -> const TTestCert& { return p.WrongUsage; }, TPEKind::pe32, plain,
       CERT_E_WRONG_USAGE, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTestCert& cert = c.Cert(Pki());
    TFileTrust trust = Checker();
    EXPECT_EQ(trust.Check(Signed(c.Name, cert, c.Kind, c.Options(Pki())), true), c.Trusted);
    EXPECT_EQ(trust.ErrorCode(), c.Code) << std::hex << trust.ErrorCode();
    EXPECT_EQ(trust.IsTrustVerify(), c.Trusted);
    EXPECT_EQ(trust.TimestampTime() != 0, c.Timestamped);
    ExpectSigner(trust, cert);
  }
}

TEST_F(FileTrustTest, AuthenticodeCountersignatureDecidesTheValidityTime) {
  const std::int64_t then = Pki().Now - 2 * TTestPKI::kYear;  // the expired certificate was valid
  const std::string base = Signed("expired-for-countersignature", Pki().Expired, TPEKind::pe32,
                                  {.SigningTime = then});
  struct {
    const char* Name;
    std::int64_t When;
    bool OverOtherData;
    HRESULT Code;
    bool Timestamped;
  } const cases[] = {
      {"made while valid", then, false, 0, true},
      {"made after expiry", Pki().Now, false, CERT_E_EXPIRED, true},
      {"not over the signature", then, true, CERT_E_EXPIRED, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string out = Dir() / "countersigned.exe";
    Pki().AddAuthenticodeCountersignature(base, out, Pki().Tsa, c.When, c.OverOtherData);
    TFileTrust trust = Checker();
    EXPECT_TRUE(trust.Check(out, true));
    EXPECT_EQ(trust.ErrorCode(), c.Code) << std::hex << trust.ErrorCode();
    EXPECT_EQ(trust.TimestampTime(), c.Timestamped ? c.When : 0);
    ExpectSigner(trust, Pki().Expired);
  }
}

TEST_F(FileTrustTest, CertificateDetailsReadAsCryptoApiShowsThem) {
  struct {
    const char* Name;
    const TTestCert& Cert;
    const char* Signer;
    const char* Serial;
  } const cases[] = {
      {"serial", Pki().Serial, "Quillmark Serial Publisher", "010203"},
      {"nocn", Pki().NoCommonName, "Build Unit", nullptr},
      {"crafted", Pki().Crafted, "Evil\" OR \"1\"=\"1'; DROP TABLE signed_list; --", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TFileTrust trust = Checker();
    EXPECT_TRUE(trust.Check(Signed(c.Name, c.Cert), true));
    EXPECT_EQ(trust.SignerName(), c.Signer);
    EXPECT_EQ(trust.IssuerName(), "Quillmark Test Code Signing CA");
    if (c.Serial) {
      EXPECT_EQ(trust.SerialNumber(), c.Serial);
    }
    EXPECT_EQ(trust.Thumbprint().size(), 40u);
    EXPECT_EQ(trust.Thumbprint(), c.Cert.Thumbprint);
  }
}

TEST_F(FileTrustTest, DetailsOnlyOnRequestAndClearedByTheNextCheck) {
  TFileTrust trust = Checker();
  EXPECT_TRUE(trust.Check(SignedLeaf(), false));
  EXPECT_EQ(trust.ErrorCode(), 0);
  ExpectNoSigner(trust);

  EXPECT_TRUE(trust.Check(SignedLeaf(), true));
  ExpectSigner(trust, Pki().Leaf);
  EXPECT_FALSE(trust.Check(Unsigned(TPEKind::pe32), true));
  ExpectNoSigner(trust);

  // Usable wherever the signer-list query wants a signer.
  EXPECT_TRUE(trust.Check(SignedLeaf(), true));
  const ISignerInfo& info = trust;
  EXPECT_EQ(info.SignerName(), Pki().Leaf.SubjectName);
  EXPECT_EQ(info.SerialNumber(), Pki().Leaf.SerialHex);
}

TEST_F(FileTrustTest, ConstructorChecksAtOnce) {
  TFileTrust trust(SignedLeaf(), true, nullptr, TestStore());
  EXPECT_TRUE(trust.IsTrustVerify());
  EXPECT_EQ(trust.SignerName(), Pki().Leaf.SubjectName);
}

TEST_F(FileTrustTest, FilesThatCannotBeChecked) {
  TFileTrust trust = Checker();
  EXPECT_FALSE(trust.Check("", true));
  EXPECT_FALSE(trust.IsFileAviable());
  EXPECT_EQ(trust.ErrorCode(), TRUST_E_NOSIGNATURE);

  EXPECT_FALSE(trust.Check(Dir() / "missing.exe", true));
  EXPECT_FALSE(trust.IsFileAviable());
  EXPECT_EQ(trust.ErrorCode(), TRUST_E_NOSIGNATURE);

  for (const char* text : {"", "MZ", "just some text, not a program"}) {
    EXPECT_FALSE(trust.Check(Dir().WriteFile("text.exe", std::string_view(text)), true));
    EXPECT_TRUE(trust.IsFileAviable());
    EXPECT_EQ(trust.ErrorCode(), TRUST_E_SUBJECT_FORM_UNKNOWN);
  }
}

TEST_F(FileTrustTest, ChangesAfterSigningBreakTheDigestButNotTheDetails) {
  const auto original = test::ReadFileBytes(SignedLeaf());
  const TTableInfo table = Table(original);
  TPEImage image(original.data(), original.size());
  const std::size_t code = image.Sections().at(0).PointerToRawData;
  const std::size_t checksum = static_cast<std::size_t>(image.CheckSumOffset());

  struct {
    const char* Name;
    std::function<void(std::vector<std::uint8_t>&)> Change;
    HRESULT Code;
  } const cases[] = {
      {"code byte", [&](auto& b) { b[code + 5] ^= 0x01; }, TRUST_E_BAD_DIGEST},
      {"header byte", [&](auto& b) { b[0x40] ^= 0x80; }, TRUST_E_BAD_DIGEST},
      {"last byte before the table", [&](auto& b) { b[table.Offset - 1] ^= 0x01; }, TRUST_E_BAD_DIGEST},
      {"bytes appended after the table", [&](auto& b) { b.insert(b.end(), 16, 0x00); }, TRUST_E_BAD_DIGEST},
      // The checksum is outside the digest: a changed checksum still verifies.
      {"checksum", [&](auto& b) { SetU32(b, checksum, 0x12345678); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto bytes = original;
    c.Change(bytes);
    TFileTrust trust = CheckBytes("tampered.exe", bytes);
    EXPECT_EQ(trust.ErrorCode(), c.Code) << std::hex << trust.ErrorCode();
    EXPECT_EQ(trust.IsTrustVerify(), c.Code == 0);
    ExpectSigner(trust, Pki().Leaf);
  }
}

TEST_F(FileTrustTest, ChangedSignatureValueFailsWithTheSignerStillRead) {
  auto bytes = test::ReadFileBytes(SignedLeaf());
  const TTableInfo table = Table(bytes);
  const unsigned char* p = bytes.data() + table.Offset + 8;
  PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(table.Size - 8));
  ASSERT_NE(p7, nullptr);
  ASN1_OCTET_STRING* value = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0)->enc_digest;
  std::vector<std::uint8_t> signature(value->data, value->data + value->length);
  PKCS7_free(p7);
  auto at = std::search(bytes.begin(), bytes.end(), signature.begin(), signature.end());
  ASSERT_NE(at, bytes.end());
  at[static_cast<std::ptrdiff_t>(signature.size() / 2)] ^= 0x01;

  TFileTrust trust = CheckBytes("badsignature.exe", bytes);
  EXPECT_FALSE(trust.IsTrustVerify());
  EXPECT_EQ(trust.ErrorCode(), NTE_BAD_SIGNATURE);
  ExpectSigner(trust, Pki().Leaf);
}

TEST_F(FileTrustTest, HostileCertificateTablesAnswerNoSignature) {
  const auto original = test::ReadFileBytes(SignedLeaf());
  const TTableInfo t = Table(original);
  const auto entry = t.EntryOffset;
  const auto size = static_cast<std::uint32_t>(original.size());
  struct {
    const char* Name;
    std::function<void(std::vector<std::uint8_t>&)> Change;
  } const cases[] = {
      {"offset past the end", [&](auto& b) { SetU32(b, entry, size + 8); }},
      {"offset near 4 GiB", [&](auto& b) { SetU32(b, entry, 0xFFFFFFF8); }},
      {"size past the end", [&](auto& b) { SetU32(b, entry + 4, static_cast<std::uint32_t>(t.Size) + 1); }},
      {"size 4 GiB", [&](auto& b) { SetU32(b, entry + 4, 0xFFFFFFFF); }},
      {"size below a header", [&](auto& b) { SetU32(b, entry + 4, 7); }},
      {"offset zero", [&](auto& b) { SetU32(b, entry, 0); }},
      {"offset inside the headers", [&](auto& b) { SetU32(b, entry, 0x40); }},
      {"offset on the directory entry", [&](auto& b) { SetU32(b, entry, static_cast<std::uint32_t>(entry)); }},
      {"no directory entry", [&](auto& b) { SetU32(b, entry - 4 * 8 - 4, 4); }},  // NumberOfRvaAndSizes
      {"dwLength beyond the table", [&](auto& b) { SetU32(b, t.Offset, static_cast<std::uint32_t>(t.Size) + 8); }},
      {"dwLength 4 GiB", [&](auto& b) { SetU32(b, t.Offset, 0xFFFFFFFF); }},
      {"dwLength below the header", [&](auto& b) { SetU32(b, t.Offset, 4); }},
      {"dwLength header only", [&](auto& b) { SetU32(b, t.Offset, 8); }},
      {"revision 1.0", [&](auto& b) { SetU16(b, t.Offset + 4, 0x0100); }},
      {"type X.509", [&](auto& b) { SetU16(b, t.Offset + 6, 0x0001); }},
      {"garbage PKCS#7", [&](auto& b) { std::fill(b.begin() + static_cast<std::ptrdiff_t>(t.Offset + 8), b.end(), 0x41); }},
      {"zeroed PKCS#7", [&](auto& b) { std::fill(b.begin() + static_cast<std::ptrdiff_t>(t.Offset + 8), b.end(), 0); }},
      {"file cut inside the table", [&](auto& b) { b.resize(t.Offset + t.Size / 2); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto bytes = original;
    c.Change(bytes);
    TFileTrust trust = CheckBytes("hostile.exe", bytes);
    EXPECT_FALSE(trust.IsTrustVerify());
    EXPECT_EQ(trust.ErrorCode(), TRUST_E_NOSIGNATURE) << std::hex << trust.ErrorCode();
    ExpectNoSigner(trust);
  }
}

// A PKCS#7 blob cut anywhere never decodes into a signature.
TEST_F(FileTrustTest, TruncatedSignatureNeverVerifies) {
  const auto original = test::ReadFileBytes(SignedLeaf());
  const TTableInfo t = Table(original);
  const std::size_t blob = U32(original, t.Offset) - 8;
  for (std::size_t cut = 0; cut < blob; cut += (cut < 256 ? 1 : 29)) {
    auto bytes = original;
    bytes.resize(t.Offset + 8 + cut);
    SetU32(bytes, t.Offset, static_cast<std::uint32_t>(8 + cut));
    SetU32(bytes, t.EntryOffset + 4, static_cast<std::uint32_t>(8 + cut));
    TFileTrust trust = CheckBytes("cut.exe", bytes);
    ASSERT_FALSE(trust.IsTrustVerify()) << "cut at " << cut;
  }
}

// Single flipped bits anywhere in the signature must not crash the reader;
// wherever the flip lands in signed data, the file must stop verifying.
TEST_F(FileTrustTest, FlippedBitsInTheSignatureAreContained) {
  const auto original = test::ReadFileBytes(SignedLeaf());
  const TTableInfo t = Table(original);
  for (std::size_t i = t.Offset + 8; i < t.Offset + t.Size; i += 5) {
    auto bytes = original;
    bytes[i] ^= 0x04;
    TFileTrust trust = CheckBytes("flip.exe", bytes);
    if (trust.ErrorCode() == 0) {
      // Only bytes outside what is signed or chained may change unnoticed.
      EXPECT_EQ(trust.SignerName(), Pki().Leaf.SubjectName) << "offset " << i;
    }
  }
}

TEST_F(FileTrustTest, TrustAnchorsComeFromFilesFoldersAndTheSharedStore) {
  test::TTempDir folder;
  std::filesystem::copy_file(Pki().Root.CertFile, folder.Path() / "test-root.pem");
  folder.WriteFile("readme.txt", std::string_view("not a certificate"));

  auto fromFolder = std::make_shared<TTrustStore>();
  EXPECT_EQ(fromFolder->AddTrustFolder(folder.Path().string()), 1u);
  EXPECT_TRUE(TFileTrust(SignedLeaf(), false, nullptr, fromFolder).IsTrustVerify());

  auto empty = std::make_shared<TTrustStore>();
  EXPECT_EQ(empty->AddCAFile(Dir() / "missing.pem"), 0u);
  TFileTrust untrusted(SignedLeaf(), false, nullptr, empty);
  EXPECT_EQ(untrusted.ErrorCode(), CERT_E_UNTRUSTEDROOT);

  // The shared store holds the system bundle beside the added files, and is
  // built once per combination.
  auto shared = TTrustStore::Shared(folder.Path().string(), {Pki().Root.CertFile});
  EXPECT_EQ(shared, TTrustStore::Shared(folder.Path().string(), {Pki().Root.CertFile}));
  EXPECT_GT(shared->Count(), 2u);
  EXPECT_EQ(TFileTrust(SignedLeaf(), false, nullptr, shared).ErrorCode(), 0);
  // The system bundle alone does not know the test root.
  EXPECT_EQ(TFileTrust(SignedLeaf(), false).ErrorCode(), CERT_E_UNTRUSTEDROOT);
}

TEST_F(FileTrustTest, ValidityIsJudgedAtTheVerificationTime) {
  TFileTrust trust = Checker();
  trust.SetVerificationTime(Pki().Now + 3 * TTestPKI::kYear);  // after the leaf expires
  EXPECT_TRUE(trust.Check(SignedLeaf(), true));
  EXPECT_EQ(trust.ErrorCode(), CERT_E_EXPIRED);
  trust.SetVerificationTime(Pki().Now - 3 * TTestPKI::kYear);  // before it was issued
  EXPECT_EQ((trust.Check(SignedLeaf(), true), trust.ErrorCode()), CERT_E_EXPIRED);
}

}  // namespace
}  // namespace quillmark
