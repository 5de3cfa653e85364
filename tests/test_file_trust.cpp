#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "db/authenticode.h"
#include "db/file_trust.h"
#include "runtime/target_system.h"
#include "support/pe_image.h"
#include "support/pe_writer.h"
#include "support/signing.h"
#include "support/temp_dir.h"

namespace quillmark {
namespace {

using test::TPEBuilder;
using test::Filled;
using test::TPEKind;
using test::TSignOptions;
using test::TTestCert;
using test::TTestPKI;

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
void SetU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void SetU16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

using TTableInfo = test::TCertificateTableInfo;
TTableInfo Table(const std::vector<std::uint8_t>& bytes) { return test::CertificateTableOf(bytes); }

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
                    .AddSection(".text", Filled(0x600, 1, 13), test::kCodeSection)
                    .AddSection(".data", Filled(0x200, 7, 13), test::kDataSection)
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

  // The shared store holds the system bundle beside the added files (read
  // when the store first verifies a signature), and is built once per
  // combination.
  auto shared = TTrustStore::Shared(folder.Path().string(), {Pki().Root.CertFile});
  EXPECT_EQ(shared, TTrustStore::Shared(folder.Path().string(), {Pki().Root.CertFile}));
  const std::size_t beforeUse = shared->Count();
  EXPECT_EQ(TFileTrust(SignedLeaf(), false, nullptr, shared).ErrorCode(), 0);
  EXPECT_GT(shared->Count(), beforeUse);
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

// --- the parser, on bytes alone ------------------------------------------------------

TEST_F(FileTrustTest, ParserReadsSignedImagesWithoutAStore) {
  struct {
    const char* Name;
    TPEKind Kind;
    const char* Digest;
    int DigestNid;
  } const cases[] = {
      {"sha256-pe32", TPEKind::pe32, "sha256", NID_sha256},
      {"sha1-pe32plus", TPEKind::pe32Plus, "sha1", NID_sha1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto bytes = test::ReadFileBytes(Signed(c.Name, Pki().Leaf, c.Kind, {.Digest = c.Digest}));
    const TTableInfo where = Table(bytes);
    const TAuthenticodeLayout layout = LocateCertificateTable(ReadFromBuffer(bytes), bytes.size());
    ASSERT_EQ(layout.Code, 0);
    EXPECT_EQ(layout.TableOffset, where.Offset);
    EXPECT_EQ(layout.TableSize, where.Size);
    EXPECT_EQ(layout.DirectoryEntryOffset, where.EntryOffset);

    const TCertificateTable table =
        ParseCertificateTable(std::span<const std::uint8_t>(bytes).subspan(where.Offset, where.Size));
    ASSERT_EQ(table.Code, 0);
    EXPECT_EQ(table.Entries.size(), 1u);
    const TAuthenticodeSignature signature = ParseAuthenticodeSignature(table.Signature());
    ASSERT_EQ(signature.Code, 0);
    EXPECT_EQ(table.UncoveredBytes(signature.EncodedLength), 0u);
    ASSERT_NE(signature.DigestAlgorithm, nullptr);
    EXPECT_EQ(EVP_MD_get_type(signature.DigestAlgorithm), c.DigestNid);
    const TCertificateTexts texts = CertificateTexts(signature.SignerCertificate);
    EXPECT_EQ(texts.SignerName, Pki().Leaf.SubjectName);
    EXPECT_EQ(texts.IssuerName, Pki().Leaf.IssuerName);
    EXPECT_EQ(texts.SerialNumber, Pki().Leaf.SerialHex);
    EXPECT_EQ(texts.Thumbprint, Pki().Leaf.Thumbprint);
    EXPECT_EQ(VerifySignerInfo(signature.SignerInfo, signature.SignerCertificate, signature.IndirectContent), 0);

    // The digest osslsigncode signed is the one of the hashed ranges, made
    // here in pieces of 7 bytes.
    std::vector<std::uint8_t> buffer(7), digest;
    ASSERT_TRUE(DigestRanges(ReadFromBuffer(bytes), layout.HashedRanges(), signature.DigestAlgorithm, buffer, digest));
    EXPECT_EQ(std::vector<std::uint8_t>(signature.ImageDigest.begin(), signature.ImageDigest.end()), digest);
  }
}

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(CertificateTableWalk, EntriesAlignmentAndUncoveredBytes) {
  // The walk does not decode the content: 13 bytes stand for a signature.
  const std::vector<std::uint8_t> content(13, 0x30);
  const auto entry = test::WinCertificate(WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA, content);  // 24 bytes
  auto with = [](std::vector<std::uint8_t> b, std::size_t at, std::uint8_t v) {
    b.at(at) = v;
    return b;
  };
  auto unpadded = entry;
  unpadded.resize(21);
  struct {
    const char* Name;
    std::vector<std::uint8_t> Table;
    HRESULT Code;
    std::size_t Entries;
    std::uint64_t After;
    std::size_t Encoded;  // bytes of the content taken by the "signature"
    std::uint64_t Uncovered;
  } const cases[] = {
      {"one entry, zero padding", entry, 0, 1, 0, 13, 0},
      {"one entry, no padding at the end of the table", unpadded, 0, 1, 0, 13, 0},
      {"one entry, a byte in its padding", with(entry, 22, 0x41), 0, 1, 0, 13, 3},
      {"signature shorter than the content", entry, 0, 1, 0, 10, 6},
      {"a second entry", Concat({entry, test::WinCertificate(0x0200, 0x0001, {1, 2, 3, 4, 5})}), 0, 2, 0, 13, 16},
      {"bytes after the last entry", Concat({entry, {1, 2, 3, 4, 5}}), 0, 1, 5, 13, 5},
      {"a zero header ends the walk", Concat({entry, std::vector<std::uint8_t>(16, 0)}), 0, 1, 16, 13, 16},
      {"dwLength beyond the table", with(entry, 0, 25), TRUST_E_NOSIGNATURE, 0, 24, 0, 0},
      {"dwLength below a header", with(entry, 0, 7), TRUST_E_NOSIGNATURE, 0, 24, 0, 0},
      {"revision 1.0", with(entry, 5, 0x01), TRUST_E_NOSIGNATURE, 1, 0, 0, 0},
      {"an X.509 entry first", with(entry, 6, 0x01), TRUST_E_NOSIGNATURE, 1, 0, 0, 0},
      {"shorter than a header", {8, 0, 0, 2, 2, 0}, TRUST_E_NOSIGNATURE, 0, 6, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TCertificateTable t = ParseCertificateTable(c.Table);
    EXPECT_EQ(t.Code, c.Code);
    EXPECT_EQ(t.Entries.size(), c.Entries);
    EXPECT_EQ(t.ExtraEntries(), c.Entries ? c.Entries - 1 : 0);
    EXPECT_EQ(t.BytesAfterEntries, c.After);
    EXPECT_EQ(t.UncoveredBytes(c.Encoded), c.Uncovered);
    if (c.Code == 0) {
      EXPECT_EQ(std::vector<std::uint8_t>(t.Signature().begin(), t.Signature().end()), content);
    }
  }
}

TEST(CertificateTableWalk, HugeTablesAreWalkedAndReadOnlyInBoundedParts) {
  // 2000 entries of a bare header: the walk stops counting at its cap and
  // reports the rest as bytes after the entries.
  std::vector<std::uint8_t> headers;
  for (int i = 0; i < 2000; ++i) headers = Concat({headers, test::WinCertificate(0x0200, 0x0002, {})});
  const TCertificateTable many = ParseCertificateTable(headers);
  EXPECT_EQ(many.Code, 0);
  EXPECT_EQ(many.Entries.size(), TCertificateTable::kMaxEntries);
  EXPECT_EQ(many.BytesAfterEntries, (2000 - TCertificateTable::kMaxEntries) * 8);

  // A first entry that claims more than the signature size cap is not read
  // into memory; nothing here holds the 3 GiB the table claims.
  const std::uint64_t tableSize = std::uint64_t{3} << 30;
  std::uint64_t largest = 0;
  auto read = [&](std::uint64_t offset, void* buffer, std::size_t n) -> std::size_t {
    largest = std::max<std::uint64_t>(largest, n);
    std::memset(buffer, 0, n);
    if (offset == 0 && n >= 8) {
      const std::uint32_t length = TCertificateTable::kMaxSignatureSize + 9;
      std::memcpy(buffer, &length, 4);
      std::memcpy(static_cast<std::uint8_t*>(buffer) + 4, &WIN_CERT_REVISION_2_0, 2);
      std::memcpy(static_cast<std::uint8_t*>(buffer) + 6, &WIN_CERT_TYPE_PKCS_SIGNED_DATA, 2);
    }
    return n;
  };
  const TCertificateTable big = ReadCertificateTable(read, 0, tableSize);
  EXPECT_EQ(big.Code, ERROR_FILE_TOO_LARGE_HRESULT);
  EXPECT_TRUE(big.FirstContent.empty());
  EXPECT_LE(largest, 8u);
}

// --- bytes the signature does not cover ---------------------------------------------

TEST_F(FileTrustTest, BytesTheSignatureDoesNotCoverAreCountedAndChangeNothing) {
  const auto original = test::ReadFileBytes(SignedLeaf());
  const auto second = test::WinCertificate(WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA, Filled(40, 3, 13));
  struct {
    const char* Name;
    std::function<void(std::vector<std::uint8_t>&)> Change;
    std::uint64_t Uncovered;
    std::uint64_t Extra;
  } const cases[] = {
      {"as signed", [](auto&) {}, 0, 0},
      {"data after the signature inside its entry", [](auto& b) { test::GrowCertificateTable(b, Filled(24, 5, 13), true); },
       24, 0},
      {"a second WIN_CERTIFICATE", [&](auto& b) { test::GrowCertificateTable(b, second); }, second.size(), 1},
      {"bytes after the last entry", [](auto& b) { test::GrowCertificateTable(b, Filled(5, 9, 13)); }, 5, 0},
      {"a second entry and bytes after it",
       [&](auto& b) { test::GrowCertificateTable(b, Concat({second, Filled(3, 1, 13)})); }, second.size() + 3, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto bytes = original;
    c.Change(bytes);
    TFileTrust trust = CheckBytes("uncovered.exe", bytes);
    EXPECT_EQ(trust.ErrorCode(), 0) << std::hex << trust.ErrorCode();
    EXPECT_EQ(trust.UncoveredTableBytes(), c.Uncovered);
    EXPECT_EQ(trust.ExtraCertificateEntries(), c.Extra);
    EXPECT_EQ(trust.Reason(), "");
    ExpectSigner(trust, Pki().Leaf);
  }
  // The counts belong to the latest check.
  TFileTrust trust = CheckBytes("uncovered.exe", original);
  EXPECT_EQ(trust.UncoveredTableBytes(), 0u);
  EXPECT_FALSE(trust.Check(Unsigned(TPEKind::pe32), true));
  EXPECT_EQ(trust.ExtraCertificateEntries(), 0u);
}

// --- reading: one open file, bounded reads, limits ------------------------------------

// An open file that records how it is read, and refuses to be mapped.
class TRecordingFile : public runtime::IReadOnlyFile {
 public:
  explicit TRecordingFile(std::unique_ptr<runtime::IReadOnlyFile> file) : FFile(std::move(file)) {}
  std::uint64_t Size() const override { return FFile->Size(); }
  std::unique_ptr<runtime::IFileView> Map(std::uint64_t, std::size_t) override {
    ++Maps;
    throw runtime::EOSError(EPERM, "mapping refused");
  }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t n) override {
    Largest = std::max(Largest, n);
    std::size_t got = FFile->ReadAt(offset, buffer, n);
    Total += got;
    return got;
  }
  std::uint64_t DataEnd() override { return FFile->DataEnd(); }

  int Maps = 0;
  std::size_t Largest = 0;
  std::uint64_t Total = 0;

 private:
  std::unique_ptr<runtime::IReadOnlyFile> FFile;
};

TEST_F(FileTrustTest, AnOpenFileIsReadOnceInBoundedPiecesAndNeverMapped) {
  static const std::string large = [] {
    const std::string in = Dir().WriteFile(
        "large.exe", TPEBuilder(TPEKind::pe32).AddSection(".text", Filled(3u << 20, 2, 13), test::kCodeSection).Build().Bytes());
    const std::string out = Dir() / "large-signed.exe";
    Pki().Sign(in, out, Pki().Leaf);
    return out;
  }();
  TRecordingFile file(runtime::LiveHost()->OpenFileForRead(large));
  TFileTrust trust = Checker();
  EXPECT_TRUE(trust.Check(file, "C:\\large.exe", true));
  EXPECT_EQ(trust.ErrorCode(), 0);
  EXPECT_EQ(trust.FileName(), "C:\\large.exe");
  EXPECT_TRUE(trust.IsFileAviable());
  ExpectSigner(trust, Pki().Leaf);
  EXPECT_EQ(file.Maps, 0);
  EXPECT_LE(file.Largest, TFileTrust::kReadBufferSize);
  // Every byte once, and the headers and the table's headers again.
  EXPECT_GE(file.Total, file.Size() - Table(test::ReadFileBytes(large)).Size);
  EXPECT_LE(file.Total, file.Size() + 4096);
}

// A copy of bytes at path, grown to size with a hole; false when the file
// system does not keep the hole (then the sparse cases cannot be shown).
bool WriteSparse(const std::string& path, const std::vector<std::uint8_t>& bytes, std::uint64_t size) {
  test::WriteBytes(path, bytes);
  if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) return false;
  auto file = runtime::LiveHost()->OpenFileForRead(path);
  return file->Size() == size && file->DataEnd() < size;
}

TEST_F(FileTrustTest, LimitsStopTheDigestBeforeItIsMade) {
  const auto original = test::ReadFileBytes(SignedLeaf());
  const TTableInfo t = Table(original);
  auto tableGrownBy = [&](std::uint64_t n) {
    auto b = original;
    SetU32(b, t.EntryOffset + 4, static_cast<std::uint32_t>(t.Size + n));
    return b;
  };
  const std::uint64_t GiB = std::uint64_t{1} << 30;
  struct {
    const char* Name;
    std::vector<std::uint8_t> Bytes;
    std::uint64_t Size;  // grown to this with a hole
    std::uint64_t HashLimit;
    HRESULT Code;
    const char* Reason;  // found in Reason(); empty: none
    bool SignerRead;
    std::uint64_t Uncovered;
  } const cases[] = {
      // Padding an attacker appends after the table makes the digest fail,
      // but only after hashing it all: a hole of 2 GiB is not hashed.
      {"2 GiB hole after the table", original, original.size() + 2 * GiB, 0, ERROR_FILE_TOO_LARGE_HRESULT,
       "into the hole at the end of the sparse file", true, 0},
      {"8 GiB hole after the table", original, original.size() + 8 * GiB, 0, ERROR_FILE_TOO_LARGE_HRESULT,
       "more than the limit of 4294967296 bytes", false, 0},
      {"8 MiB hole after the table", original, original.size() + (8u << 20), 0, TRUST_E_BAD_DIGEST, "", true, 0},
      // A hole inside the certificate table is not hashed at all.
      {"3 GiB hole inside the table", tableGrownBy(3 * GiB), original.size() + 3 * GiB, 0, 0, "", true, 3 * GiB},
      {"a file above the limit", original, original.size(), 1024, ERROR_FILE_TOO_LARGE_HRESULT,
       "more than the limit of 1024 bytes", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = Dir() / "padded.exe";
    if (c.Size > c.Bytes.size()) {
      if (!WriteSparse(path, c.Bytes, c.Size)) GTEST_SKIP() << "the file system keeps no holes";
    } else {
      test::WriteBytes(path, c.Bytes);
    }
    TFileTrust trust = Checker();
    trust.SetHashLimit(c.HashLimit);
    trust.Check(path, true);
    std::filesystem::remove(path);
    EXPECT_EQ(trust.ErrorCode(), c.Code) << std::hex << trust.ErrorCode();
    EXPECT_EQ(trust.IsTrustVerify(), c.Code == 0);
    if (*c.Reason) {
      EXPECT_NE(trust.Reason().find(c.Reason), std::string::npos) << trust.Reason();
    } else {
      EXPECT_EQ(trust.Reason(), "");
    }
    EXPECT_EQ(trust.UncoveredTableBytes(), c.Uncovered);
    if (c.SignerRead) {
      ExpectSigner(trust, Pki().Leaf);
    } else {
      ExpectNoSigner(trust);
    }
  }
  TFileTrust trust = Checker();
  trust.SetHashLimit(0);
  EXPECT_EQ(trust.HashLimit(), TFileTrust::kDefaultHashLimit);
}

TEST(LiveHostDataEnd, EndsWhereTheStoredDataEnds) {
  test::TTempDir dir;
  constexpr std::uint64_t kChunk = 64u << 10;  // a multiple of any block size
  const std::vector<std::uint8_t> data(kChunk, 0x5A);
  struct {
    const char* Name;
    std::vector<std::uint64_t> DataAt;  // chunks written at these offsets
    std::uint64_t Size;
    std::uint64_t DataEnd;
  } const cases[] = {
      {"empty", {}, 0, 0},
      {"no hole", {0, kChunk}, 2 * kChunk, 2 * kChunk},
      {"a trailing hole", {0}, 1024 * kChunk, kChunk},
      {"holes between data, then a trailing hole", {0, 10 * kChunk, 500 * kChunk}, 4096 * kChunk, 501 * kChunk},
      {"a hole in the middle only", {0, 99 * kChunk}, 100 * kChunk, 100 * kChunk},
      {"nothing but a hole", {}, 100 * kChunk, 0},
  };
  bool holesKept = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir / "sparse.bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    for (std::uint64_t at : c.DataAt)
      ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(c.Size)), 0);
    ::close(fd);
    const std::uint64_t end = runtime::LiveHost()->OpenFileForRead(path)->DataEnd();
    if (c.DataEnd < c.Size && end == c.Size) continue;  // a file system that shows no holes
    holesKept = holesKept || c.DataEnd < c.Size;
    EXPECT_EQ(end, c.DataEnd);
  }
  if (!holesKept) GTEST_SKIP() << "the file system keeps no holes";
}

// --- trust anchors that cannot be used ------------------------------------------------

TEST_F(FileTrustTest, TrustStoreNamesEveryFileThatAddedNoAnchor) {
  test::TTempDir folder;
  const std::string root = folder / "a-root.pem";
  std::filesystem::copy_file(Pki().Root.CertFile, root);
  const std::string key = folder / "key.pem";
  std::filesystem::copy_file(Pki().Leaf.KeyFile, key);
  const std::string notes = folder.WriteFile("notes.crt", std::string_view("not a certificate"));
  const std::string fifo = folder / "fifo.pem";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(folder.Path() / "folder.cer");
  std::filesystem::create_symlink(fifo, folder.Path() / "link.cer");

  // Nothing here blocks: the FIFO has no writer and never will.
  TTrustStore store;
  EXPECT_EQ(store.AddTrustFolder(folder.Path().string()), 1u);
  using P = TTrustStore::TProblem;
  auto same = [](const std::vector<P>& a, const std::vector<P>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const P& x, const P& y) {
             return x.FileName == y.FileName && x.Reason == y.Reason;
           });
  };
  const std::vector<P> fromFolder = {{fifo, "not a regular file"},
                                     {key, "holds no certificate"},
                                     {folder / "link.cer", "not a regular file"},
                                     {notes, "holds no certificate"}};
  EXPECT_TRUE(same(store.Problems(), fromFolder));

  EXPECT_EQ(store.AddCAFile(Dir() / "missing.pem"), 0u);
  EXPECT_EQ(store.AddCAFile(folder / "folder.cer"), 0u);
  EXPECT_EQ(store.AddCAFile(fifo), 0u);
  EXPECT_EQ(store.AddCAFile(Pki().Intermediate.CertFile), 1u);
  std::vector<P> all = fromFolder;
  all.push_back({Dir() / "missing.pem", std::strerror(ENOENT)});
  all.push_back({folder / "folder.cer", "a folder"});
  all.push_back({fifo, "not a regular file"});
  EXPECT_TRUE(same(store.Problems(), all));
  EXPECT_EQ(store.Count(), 2u);

  // A missing trust folder is no problem: it is optional.
  TTrustStore none;
  EXPECT_EQ(none.AddTrustFolder(Dir() / "no-such-folder"), 0u);
  EXPECT_TRUE(none.Problems().empty());
}

// --- fuzzing corpora ----------------------------------------------------------------

std::filesystem::path FuzzCorpusFolder() {
  return std::filesystem::path(QUILLMARK_DATA_SOURCE_DIR).parent_path() / "fuzz" / "corpus";
}

// The seeds and findings of the Authenticode fuzz targets, replayed here so
// that the sanitizer build of the suite runs them too.
TEST(AuthenticodeFuzzCorpus, EveryInputIsReadWithoutFault) {
  std::size_t inputs = 0;
  for (const char* target : {"authenticode_table", "authenticode_pkcs7"}) {
    const auto folder = FuzzCorpusFolder() / target;
    if (!std::filesystem::is_directory(folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      SCOPED_TRACE(entry.path().string());
      const auto bytes = test::ReadFileBytes(entry.path().string());
      ++inputs;
      const TCertificateTable table = ParseCertificateTable(bytes);
      const TAuthenticodeSignature signature =
          ParseAuthenticodeSignature(table.Code == 0 ? table.Signature() : std::span<const std::uint8_t>(bytes));
      EXPECT_LE(signature.EncodedLength, bytes.size());
      if (signature.SignerCertificate) (void)CertificateTexts(signature.SignerCertificate);
      (void)TimestampCandidates(signature);
      const TAuthenticodeLayout layout = LocateCertificateTable(ReadFromBuffer(bytes), bytes.size());
      if (layout.Code == 0) {
        EXPECT_LE(layout.TableOffset + layout.TableSize, bytes.size());
        EXPECT_EQ(ReadCertificateTable(ReadFromBuffer(bytes), layout.TableOffset, layout.TableSize).Size,
                  layout.TableSize);
      }
    }
  }
  if (inputs == 0) GTEST_SKIP() << "no corpus under " << FuzzCorpusFolder();
}

// Writes the seed corpora of the Authenticode fuzz targets from the signed
// fixtures of this suite. Run by hand, from the source folder:
//   QUILLMARK_FUZZ_CORPUS_DIR=fuzz/corpus ./build/tests/quillmark_tests --gtest_also_run_disabled_tests
//   --gtest_filter='*WriteAuthenticodeFuzzCorpus*'
TEST_F(FileTrustTest, DISABLED_WriteAuthenticodeFuzzCorpus) {
  const char* out = std::getenv("QUILLMARK_FUZZ_CORPUS_DIR");
  if (!out || !*out) GTEST_SKIP() << "QUILLMARK_FUZZ_CORPUS_DIR is not set";
  const std::filesystem::path tables = std::filesystem::path(out) / "authenticode_table";
  const std::filesystem::path messages = std::filesystem::path(out) / "authenticode_pkcs7";
  std::filesystem::create_directories(tables);
  std::filesystem::create_directories(messages);

  const std::int64_t then = Pki().Now - 2 * TTestPKI::kYear;
  const std::string countersigned = Dir() / "countersigned-seed.exe";
  Pki().AddAuthenticodeCountersignature(Signed("expired-seed", Pki().Expired, TPEKind::pe32, {.SigningTime = then}),
                                        countersigned, Pki().Tsa, then);
  auto extras = test::ReadFileBytes(SignedLeaf());
  test::GrowCertificateTable(extras, Concat({test::WinCertificate(0x0200, 0x0001, Filled(20, 4, 13)), Filled(3, 1, 13)}));
  const std::string withExtras = Dir().WriteFile("extras-seed.exe", extras);

  const std::vector<std::pair<std::string, std::string>> files = {
      {"leaf-sha256-pe32", SignedLeaf()},
      {"leaf-sha1-pe32plus", Signed("sha1-pe32plus", Pki().Leaf, TPEKind::pe32Plus, {.Digest = "sha1"})},
      {"rfc3161-stamped",
       Signed("leaf-stamped", Pki().Leaf, TPEKind::pe32, {.Tsa = &Pki().Tsa, .TimestampTime = Pki().Now})},
      {"authenticode-countersigned", countersigned},
      {"no-common-name", Signed("nocn", Pki().NoCommonName)},
      {"second-entry-and-trailing-bytes", withExtras},
  };
  for (const auto& [name, file] : files) {
    const auto bytes = test::ReadFileBytes(file);
    const TTableInfo t = Table(bytes);
    const std::vector<std::uint8_t> table(bytes.begin() + static_cast<std::ptrdiff_t>(t.Offset),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(t.Offset + t.Size));
    test::WriteBytes(tables / (name + ".table"), table);
    const TAuthenticodeSignature signature = ParseAuthenticodeSignature(ParseCertificateTable(table).Signature());
    ASSERT_EQ(signature.Code, 0) << name;
    if (name == "second-entry-and-trailing-bytes") continue;  // the message is the leaf's
    test::WriteBytes(messages / (name + ".p7"),
                     std::span<const std::uint8_t>(table).subspan(8, signature.EncodedLength));
  }
  // Two whole signed files, for the table as the headers locate it.
  for (const auto& [name, file] : {files[0], files[1]})
    test::WriteBytes(tables / (name + ".exe"), test::ReadFileBytes(file));
}

}  // namespace
}  // namespace quillmark
