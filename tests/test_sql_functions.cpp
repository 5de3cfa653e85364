// The library's SQL functions, called through real SQL on a real connection.
#include <gtest/gtest.h>

#include "db/malware_common_classes.h"
#include "db/regexp_cache.h"
#include "db/sqlite_extensions_base.h"
#include "db/sqlite_extensions_crypt.h"
#include "db/sqlite_extensions_network.h"
#include "db/sqlite_extensions_signature.h"
#include "db/system_crypt.h"
#include "support/temp_dir.h"
#include "support/test_target.h"

using namespace quillmark;
using quillmark::runtime::TWindowsVersion;
using quillmark::test::TTempDir;
using quillmark::test::TTestTarget;

namespace {

class SqlFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    FDB = std::make_unique<TSQLiteDatabase>(FDir / "functions.db", TSQLiteOpenMode::omReadWriteCreate);
    FTarget = std::make_shared<TTestTarget>();
    FTarget->SetWindowsVersion(TWindowsVersion::wvWin7);  // ordinal 14
    FDB->SetTarget(FTarget);
    TSQLite3ExtensionsBase::RegisterFunctionCheckOSVersion(*FDB);
    TSQLite3ExtensionsBase::RegisterFunctionOSVersionFromString(*FDB);
    TSQLite3ExtensionsBase::RegisterFunctionRegExp(*FDB);
    TSQLite3ExtensionsCrypt::RegisterFunctionCryptDecodeString(*FDB);
    TSQLite3ExtensionsCrypt::RegisterFunctionCryptEncodeString(*FDB);
    TSQLite3ExtensionsNetwork::RegisterFunctionIPv4InRange(*FDB);
    TSQLite3ExtensionsSignature::RegisterFunctionCheckDigitalSignature(*FDB);
  }
  std::int64_t Int(const std::string& sql) { return FDB->GetTableValue(sql); }
  std::string Text(const std::string& sql) { return FDB->GetTableString(sql); }
  // The message of the statement's failure ("" when it succeeds).
  std::string Failure(const std::string& sql) {
    try {
      FDB->GetTableValue(sql);
      return "";
    } catch (const ESQLiteException& e) {
      return e.what();
    }
  }

  TTempDir FDir;
  std::unique_ptr<TSQLiteDatabase> FDB;
  std::shared_ptr<TTestTarget> FTarget;
};

TEST_F(SqlFunctions, CheckOSVersionJudgesTheTargetsVersion) {
  const std::pair<const char*, int> cases[] = {
      {"CheckOSVersion(NULL)", 1},
      {"CheckOSVersion(NULL, 'wvWinXP')", 1},  // NULL lower bound: the upper one is not read
      {"CheckOSVersion('wvUnknown', 'wvWinXP')", 1},  // ordinal 0 likewise
      {"CheckOSVersion('wvWin7')", 1},
      {"CheckOSVersion('wvWin8')", 0},
      {"CheckOSVersion('wvWinVista', 'wvWin7')", 1},
      {"CheckOSVersion('wvWinVista', 'wvWinServer2008')", 0},
      {"CheckOSVersion('wvWinXP', NULL)", 1},
      {"CheckOSVersion('nonsense')", 0},  // 255
      {"CheckOSVersion('wvWinXP', 'nonsense')", 1},
      {"CheckOSVersion('wvwin7')", 0},  // identifiers are exact
  };
  for (auto [call, expected] : cases) EXPECT_EQ(Int(std::string("select ") + call), expected) << call;

  FTarget->SetWindowsVersion(TWindowsVersion::wvWin11);
  EXPECT_EQ(Int("select CheckOSVersion('wvWin10')"), 1);
  EXPECT_EQ(Int("select CheckOSVersion('wvWinVista', 'wvWin10')"), 0);
}

TEST_F(SqlFunctions, OSVersionFromString) {
  EXPECT_EQ(Int("select OSVersionFromString('wvWin10')"), 20);
  EXPECT_EQ(Int("select OSVersionFromString('wvUnknown')"), 0);
  EXPECT_EQ(Int("select OSVersionFromString(NULL)"), 0);
  EXPECT_EQ(Int("select OSVersionFromString('Windows 10')"), 255);
}

TEST_F(SqlFunctions, ArityErrors) {
  for (const char* sql : {"select CheckOSVersion()", "select CheckOSVersion('a', 'b', 'c')",
                          "select CryptDecodeString()", "select CryptEncodeString('a', 1, 2)",
                          "select IPv4InRange(1)", "select IPv4InRange(1, 2, 3, 4)"}) {
    EXPECT_NE(Failure(sql).find("Wrong number of arguments"), std::string::npos) << sql;
  }
  // Fixed arities are enforced by the engine when the statement is prepared.
  for (const char* sql : {"select REGEXP('a')", "select OSVersionFromString()",
                          "select CHECKDIGITALSIGNATURE('a', 'b', 'c', 'd', 'e', 0)"})
    EXPECT_NE(Failure(sql), "") << sql;
}

TEST_F(SqlFunctions, RegExpIsUnanchoredCaselessUtf8AndNeverFails) {
  const std::pair<const char*, int> cases[] = {
      {"'ABCdef' REGEXP '^abc'", 1},
      {"'xxABCx' REGEXP 'abc'", 1},
      {"'xxABCx' REGEXP '^abc'", 0},
      {"'Microsoft Corporation' REGEXP '^microsoft corp(oration)?$'", 1},
      {"'ÄRGER GmbH' REGEXP 'ärger'", 1},
      {"'Ωmega' REGEXP '^.mega$'", 1},  // one character, not two bytes
      {"NULL REGEXP 'a'", 0},
      {"'a' REGEXP NULL", 0},
      {"'a(b' REGEXP '('", 0},  // invalid pattern: no match, no error
      {"'anything' REGEXP ''", 1},
      {"cast(x'61ff62' as text) REGEXP 'b'", 1},  // a subject that is not UTF-8
  };
  for (auto [expr, expected] : cases) EXPECT_EQ(Int(std::string("select ") + expr), expected) << expr;
}

TEST_F(SqlFunctions, RegExpCompilesEachDistinctPatternOnce) {
  FDB->ExecSQLChecked(
      "create table v (cmp TEXT);"
      "with recursive n(i) as (select 1 union all select i + 1 from n where i < 600) "
      "insert into v select case i % 3 when 0 then '^acme' when 1 then 'evil\\s+corp' else '(' end from n;");
  FDB->AddParamText(":company", "EVIL   Corp Ltd");
  EXPECT_EQ(Int("select count(*) from v where :company REGEXP cmp"), 200);
  EXPECT_EQ(FDB->RegExpCache().Compilations(), 3u);
}

TEST_F(SqlFunctions, CryptFunctions) {
  EXPECT_EQ(Text("select CryptDecodeString(CryptEncodeString('C:\\Windows\\System32'))"), "C:\\Windows\\System32");
  EXPECT_EQ(Text("select CryptEncodeString('abc')"), TCrypt::EncodeString("abc", 0x9E));
  EXPECT_EQ(Text("select CryptEncodeString('abc', 256 + 7)"), TCrypt::EncodeString("abc", 7));
  EXPECT_EQ(Text("select CryptDecodeString(CryptEncodeString('Ωmega', 7), 7)"), "Ωmega");
  // Always text, never NULL.
  EXPECT_EQ(Text("select typeof(CryptDecodeString(NULL))"), "text");
  EXPECT_EQ(Text("select typeof(CryptEncodeString(NULL))"), "text");
  EXPECT_EQ(Text("select CryptDecodeString('Zm9v YmFy')"), "");
  EXPECT_EQ(Text("select CryptDecodeString('')"), "");
}

TEST_F(SqlFunctions, IPv4InRangeIsAPerOctetBox) {
  // Addresses in the stored layout: first octet in the lowest byte.
  auto ip = [](unsigned a, unsigned b, unsigned c, unsigned d) {
    return std::to_string(static_cast<std::int32_t>(a | (b << 8) | (c << 16) | (d << 24)));
  };
  const std::tuple<std::string, int> cases[] = {
      {ip(10, 0, 0, 7) + ", " + ip(10, 0, 0, 7), 1},
      {ip(10, 0, 0, 7) + ", " + ip(10, 0, 0, 8), 0},
      {ip(10, 0, 0, 7) + ", " + ip(10, 0, 0, 7) + ", 0", 1},
      {ip(10, 0, 0, 7) + ", " + ip(10, 0, 0, 8) + ", 0", 0},
      {ip(10, 0, 0, 200) + ", " + ip(10, 0, 0, 5) + ", " + ip(10, 0, 1, 3), 0},  // between, but outside the box
      {ip(10, 0, 1, 7) + ", " + ip(10, 0, 0, 5) + ", " + ip(10, 0, 1, 9), 1},
      {ip(10, 0, 0, 200) + ", " + ip(10, 0, 0, 5) + ", " + ip(10, 0, 1, 9), 0},
      {ip(192, 168, 7, 250) + ", " + ip(192, 168, 0, 0) + ", " + ip(192, 168, 255, 255), 1},
      {ip(192, 169, 7, 250) + ", " + ip(192, 168, 0, 0) + ", " + ip(192, 168, 255, 255), 0},
      // Only the low 32 bits of each argument count.
      {std::to_string((1LL << 32) + 5) + ", 5", 1},
  };
  for (const auto& [args, expected] : cases) EXPECT_EQ(Int("select IPv4InRange(" + args + ")"), expected) << args;
}

// Signer details as a signature check reports them.
class TTestSigner : public ISignerInfo {
 public:
  TTestSigner(std::string s, std::string n, std::string i) : FSigner(std::move(s)), FSerial(std::move(n)), FIssuer(std::move(i)) {}
  std::string SignerName() const override { return FSigner; }
  std::string SerialNumber() const override { return FSerial; }
  std::string IssuerName() const override { return FIssuer; }
  std::string Thumbprint() const override { return "00"; }

 private:
  std::string FSigner, FSerial, FIssuer;
};

TEST_F(SqlFunctions, CheckDigitalSignatureModes) {
  // One list row per mode, told apart by its flag.
  const std::int64_t modes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, 0x100000004LL};
  FDB->ExecSQLChecked("create table signed_list (flag INTEGER, sname TEXT, snum TEXT, iname TEXT, mode INTEGER)");
  for (std::size_t k = 0; k < std::size(modes); ++k) {
    FDB->AddParamInt(":flag", static_cast<std::int64_t>(k));
    FDB->AddParamInt(":mode", modes[k]);
    FDB->ExecSQL("insert into signed_list values (:flag, '^good', '^AA', 'root', :mode)");
  }
  // For each mode: the answers for the eight signers whose signer/serial/issuer
  // match (bits 4/2/1 of the position) or not.
  const char* expected[] = {
      "00001111",  // 0: signer
      "00001111",  // 1: signer
      "00110011",  // 2: serial
      "01010101",  // 3: issuer
      "00000001",  // 4: all three
      "01011111",  // 5: signer or issuer
      "01111111",  // 6: any
      "00010011",  // 7: (signer or issuer) and serial
      "00010101",  // 8: (signer or serial) and issuer
      "00001111",  // 9: signer
      "00001111",  // -1: signer
      "00000001",  // low 32 bits are 4
  };
  for (std::size_t k = 0; k < std::size(modes); ++k) {
    std::string got;
    for (int c = 0; c < 8; ++c) {
      TTestSigner signer(c & 4 ? "Good Corp" : "Bad Corp", c & 2 ? "AA0102" : "BB0102",
                         c & 1 ? "Test Root CA" : "Other CA");
      got += TSQLite3ExtensionsSignature::CountSignedListMatches(*FDB, signer, static_cast<int>(k)) > 0 ? '1' : '0';
    }
    EXPECT_EQ(got, expected[k]) << "mode " << modes[k];
  }
}

TEST_F(SqlFunctions, CheckDigitalSignatureEmptyValuesAndNullPatterns) {
  // Empty values never match, even an empty pattern; NULL patterns match any non-empty value.
  EXPECT_EQ(Int("select CHECKDIGITALSIGNATURE('', 'AA', 'CA', '', '', '', 0)"), 0);
  EXPECT_EQ(Int("select CHECKDIGITALSIGNATURE('S', '', 'CA', NULL, NULL, NULL, 2)"), 0);
  EXPECT_EQ(Int("select CHECKDIGITALSIGNATURE('S', 'AA', 'CA', NULL, NULL, NULL, 4)"), 1);
  EXPECT_EQ(Int("select CHECKDIGITALSIGNATURE('S', '', 'CA', NULL, NULL, NULL, 4)"), 0);
  EXPECT_EQ(Int("select CHECKDIGITALSIGNATURE('', '', 'CA', NULL, NULL, NULL, 5)"), 1);
  EXPECT_EQ(Int("select CHECKDIGITALSIGNATURE(NULL, NULL, NULL, NULL, NULL, NULL, 6)"), 0);
  EXPECT_EQ(Int("select CHECKDIGITALSIGNATURE('S', 'AA', 'CA', '(', NULL, NULL, 0)"), 0);  // invalid pattern

  // A file without a signature is never looked up: no query runs, so even a
  // connection without the list answers 0.
  TSQLiteDatabase bare(FDir / "bare.db", TSQLiteOpenMode::omReadWriteCreate);
  EXPECT_EQ(TSQLite3ExtensionsSignature::CountSignedListMatches(bare, TNoSignerInfo(), 0), 0);
  EXPECT_THROW(TSQLite3ExtensionsSignature::CountSignedListMatches(bare, TTestSigner("S", "", ""), 0),
               ESQLiteException);
}

TEST_F(SqlFunctions, CraftedSignerNameCannotRewriteTheQuery) {
  FDB->ExecSQLChecked(
      "create table signed_list (flag INTEGER, sname TEXT, snum TEXT, iname TEXT, mode INTEGER);"
      "insert into signed_list values (1, '^Trusted Publisher$', NULL, NULL, 0);");
  // Closes the string, makes every row match and comments the rest out.
  const std::string crafted = R"(x" , '', '', sname, snum, iname, 6) = 1 or 1=1) --)";
  TTestSigner attacker(crafted, "", "");

  // Pasting the escaped text into SQL, as the quoting convention would, is
  // not safe: a backslash does not end an SQLite string, so the white list
  // accepts the attacker.
  TCustomSqlLiteDataBase quoting;
  std::string pasted = "select count(*) from signed_list where flag=1 and (CHECKDIGITALSIGNATURE(\"" +
                       quoting.EscapeString(crafted) + "\", \"\", \"\", sname, snum, iname, mode) = 1)";
  EXPECT_GT(Int(pasted), 0);

  // Bound as a parameter, the value is only a value.
  EXPECT_EQ(TSQLite3ExtensionsSignature::CountSignedListMatches(*FDB, attacker, 1), 0);
  EXPECT_EQ(TSQLite3ExtensionsSignature::CountSignedListMatches(*FDB, TTestSigner("Trusted Publisher", "", ""), 1), 1);
}

}  // namespace
