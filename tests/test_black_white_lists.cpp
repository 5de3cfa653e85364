// The black and white lists: signer, company-name and address checks against
// knowledge files built by the real dictionary compiler (or written through
// the SQLite layer where the compiler refuses the content), and the shipped
// list data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/black_white_lists.h"
#include "support/signing.h"
#include "support/temp_dir.h"

using namespace quillmark;
using quillmark::test::TTempDir;

namespace {

struct TSigner : ISignerInfo {
  std::string Name, Serial, Issuer;
  TSigner(std::string n, std::string s, std::string i) : Name(std::move(n)), Serial(std::move(s)), Issuer(std::move(i)) {}
  std::string SignerName() const override { return Name; }
  std::string SerialNumber() const override { return Serial; }
  std::string IssuerName() const override { return Issuer; }
  std::string Thumbprint() const override { return {}; }
};

// Compiles TSV sources with quillmark-dict into dir/name.
std::string Compile(const TTempDir& dir, const std::string& name, const std::vector<std::string>& sources) {
  std::vector<std::string> argv{QUILLMARK_DICT_PATH, "build", "--kind", "bwlists"};
  for (std::size_t i = 0; i < sources.size(); ++i)
    argv.push_back(dir.WriteFile("src" + std::to_string(i) + "_" + name + ".tsv", sources[i]));
  const std::string out = dir / name;
  argv.insert(argv.end(), {"-o", out});
  const std::string log = dir / (name + ".log");
  if (test::RunProgram(argv, log) != 0) ADD_FAILURE() << "quillmark-dict failed, see " << log;
  return out;
}

std::unique_ptr<TMalwareDataBaseBlackWhiteLists> OpenLists(const std::string& file) {
  auto lists = TCustomSqlLiteDataBase::Create<TMalwareDataBaseBlackWhiteLists>();
  lists->Open(file);
  return lists;
}

constexpr auto kBlack = TListType::mdBlackList;
constexpr auto kWhite = TListType::mdWhiteList;

const char* kSignerRows =
    "list\tsigner\tserial\tissuer\tmode\n"
    "black\t^Evil Corp$\t\t\t0\n"
    "black\t\t^0A0B0C$\t\t2\n"
    "black\t^Thief Ltd$\t^(00)?DEADBEEF$\t^Some CA$\t7\n"
    "white\t^Good Corp$\t\t^Good CA$\t4\n"
    "white\t^Both Inc$\t\t\t0\n"
    "black\t^Both Inc$\t\t\t0\n";

}  // namespace

TEST(BlackWhiteLists, SignerRowsByListAndMode) {
  TTempDir dir;
  auto lists = OpenLists(Compile(dir, "signers.mdict", {kSignerRows}));
  ASSERT_TRUE(lists->HasConnection());
  struct Case {
    const char* name;
    TSigner signer;
    bool black, white;
  };
  const Case cases[] = {
      {"listed name", {"Evil Corp", "01", "Any CA"}, true, false},
      {"name compared without regard to case", {"EVIL CORP", "01", "Any CA"}, true, false},
      {"longer name that contains a listed one", {"Evil Corp Holdings", "01", "Any CA"}, false, false},
      {"listed serial whatever the name", {"Nobody", "0A0B0C", "Any CA"}, true, false},
      {"serial row with an empty serial", {"Nobody", "", "Any CA"}, false, false},
      {"stolen serial under its owner's name", {"Thief Ltd", "00DEADBEEF", "Other CA"}, true, false},
      {"stolen serial under its issuer", {"Someone", "DEADBEEF", "Some CA"}, true, false},
      {"owner's other certificate", {"Thief Ltd", "DEADBEEF01", "Some CA"}, false, false},
      {"white-listed name and issuer", {"Good Corp", "1234", "Good CA"}, false, true},
      {"white-listed name under another issuer", {"Good Corp", "1234", "Bad CA"}, false, false},
      {"on both lists", {"Both Inc", "77", "X"}, true, true},
      {"empty values are never looked up", {"", "", ""}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lists->CheckDigitalSignature(c.signer, kBlack), c.black);
    EXPECT_EQ(lists->CheckDigitalSignature(c.signer, kWhite), c.white);
  }
}

TEST(BlackWhiteLists, CraftedValuesAreDataNotSQL) {
  // Written into the SQL text, even with a backslash before each quote, these
  // would close the string and rewrite the condition so that every row
  // matched; bound as parameters they are plain names.
  TTempDir dir;
  auto lists = OpenLists(Compile(dir, "crafted.mdict",
                                 {kSignerRows, "list\tcompany\nblack\t^\\s*Evil Corp\\s*$\nwhite\t^Good Corp$\n"}));
  const std::vector<std::string> crafted = {
      "x\", \"\", \"\", \".*\", \"\", \"\", 0) = 1 or (1=1) or (\"",
      "Evil\" OR \"1\"=\"1'; DROP TABLE signed_list; --",
      "\\\" or 1=1 --",
      "Good Corp\") or (\"1",
  };
  for (const std::string& name : crafted) {
    SCOPED_TRACE(name);
    TSigner signer(name, name, name);
    EXPECT_FALSE(lists->CheckDigitalSignature(signer, kBlack));
    EXPECT_FALSE(lists->CheckDigitalSignature(signer, kWhite));
    EXPECT_FALSE(lists->CheckCompanyName(name, kBlack));
    EXPECT_FALSE(lists->CheckCompanyName(name, kWhite));
  }
  // The lists are intact and still answer.
  EXPECT_TRUE(lists->CheckDigitalSignature(TSigner("Evil Corp", "1", "CA"), kBlack));
  EXPECT_TRUE(lists->CheckCompanyName("Evil Corp", kBlack));
  // A name that holds quotes matches a pattern written for it.
  auto quoted = OpenLists(Compile(dir, "quoted.mdict", {"list\tcompany\nblack\t^Evil \"Corp\"$\n"}));
  EXPECT_TRUE(quoted->CheckCompanyName("Evil \"Corp\"", kBlack));
}

TEST(BlackWhiteLists, CompanyNamesByList) {
  TTempDir dir;
  auto lists = OpenLists(Compile(dir, "companies.mdict",
                                 {"list\tcompany\nblack\t^\\s*Bad Vendor( Ltd\\.?)?\\s*$\nwhite\t^Nice Vendor$\n"}));
  struct Case {
    const char* company;
    bool black, white;
  };
  const Case cases[] = {
      {"Bad Vendor", true, false},      {"  bad vendor ltd.  ", true, false}, {"Bad Vendor Fans Club", false, false},
      {"Not Bad Vendor", false, false}, {"Nice Vendor", false, true},         {"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.company);
    EXPECT_EQ(lists->CheckCompanyName(c.company, kBlack), c.black);
    EXPECT_EQ(lists->CheckCompanyName(c.company, kWhite), c.white);
  }
}

TEST(BlackWhiteLists, AddressRanges) {
  TTempDir dir;
  // Compiled: a network and a single address.
  auto compiled = OpenLists(Compile(dir, "nets.mdict", {"first\tlast\n10.0.0.0/8\t\n192.168.1.200\t\n"}));
  auto ip = [](int a, int b, int c, int d) { return static_cast<TIPv4>(a | b << 8 | c << 16 | d << 24); };
  EXPECT_TRUE(compiled->CheckIPv4(ip(10, 1, 2, 3)));
  EXPECT_TRUE(compiled->CheckIPv4(ip(192, 168, 1, 200)));  // above 2^31: stored unsigned, bound signed
  EXPECT_FALSE(compiled->CheckIPv4(ip(192, 168, 1, 201)));
  EXPECT_FALSE(compiled->CheckIPv4(ip(11, 0, 0, 1)));
  EXPECT_FALSE(compiled->CheckIPv4(0));

  // Rows the compiler would refuse: the answer is the vmin of the first
  // matching row, so a first match stored as 0 or as a negative number does
  // not count, even when a later row matches too.
  const std::string raw = dir / "raw.mdict";
  {
    TSQLiteDatabase db(raw, TSQLiteOpenMode::omReadWriteCreate);
    db.ExecSQLChecked(
        "create table niplist (vmin INTEGER, vmax INTEGER);"
        "insert into niplist values (-16777206, NULL);"     // 10.0.0.255 stored signed
        "insert into niplist values (0, 167772170);"        // box 0.0.0.0 .. 10.0.0.10, vmin 0
        "insert into niplist values (167772170, 0);"        // 10.0.0.10
        "insert into niplist values (10, 4278190090);");   // 10.0.0.0 .. 10.0.0.255
  }
  auto lists = OpenLists(raw);
  EXPECT_FALSE(lists->CheckIPv4(ip(10, 0, 0, 255)));
  EXPECT_FALSE(lists->CheckIPv4(ip(10, 0, 0, 10)));
  EXPECT_TRUE(lists->CheckIPv4(ip(10, 0, 0, 77)));
}

TEST(BlackWhiteLists, WithoutAFileEveryCheckAnswersFalse) {
  TTempDir dir;
  auto lists = OpenLists(dir / "missing.mdict");
  EXPECT_TRUE(lists->IsOpened());
  EXPECT_FALSE(lists->HasConnection());
  EXPECT_FALSE(lists->CheckDigitalSignature(TSigner("Evil Corp", "1", "CA"), kBlack));
  EXPECT_FALSE(lists->CheckCompanyName("Evil Corp", kBlack));
  EXPECT_FALSE(lists->CheckIPv4(0x0100000A));
}

TEST(BlackWhiteLists, ShippedSignerAndCompanyLists) {
  auto lists = OpenLists(std::string(QUILLMARK_BUILT_DATA_DIR) + "/hbwlists.mdict");
  ASSERT_TRUE(lists->HasConnection());
  const std::string vs2010 = "VeriSign Class 3 Code Signing 2010 CA";
  struct Case {
    const char* name;
    TSigner signer;
    bool black, white;
  };
  const Case signers[] = {
      {"leaked NVIDIA certificate (2011-2014)", {"NVIDIA Corporation", "43BB437D609866286DD839E1D00309F5", vs2010}, true, true},
      {"leaked NVIDIA certificate (2015-2018)", {"NVIDIA Corporation", "14781BC862E8DC503A559346F5DCC518", vs2010}, true, true},
      {"another NVIDIA certificate", {"NVIDIA Corporation", "0AB1", "DigiCert SHA2 Assured ID Code Signing CA"}, false, true},
      {"Microsoft", {"Microsoft Corporation", "33000001", "Microsoft Code Signing PCA 2011"}, false, true},
      {"Windows", {"Microsoft Windows", "33000002", "Microsoft Windows Production PCA 2011"}, false, true},
      {"Microsoft's name from a foreign CA", {"Microsoft Corporation", "01", "Cheap Code Signing CA"}, false, false},
      {"a longer name around Microsoft's", {"Microsoft Corporation Ltd", "01", "Microsoft Code Signing PCA 2011"}, false, false},
      {"attestation-signed driver", {"Microsoft Windows Hardware Compatibility Publisher", "01",
                                     "Microsoft Windows Third Party Component CA 2014"}, false, false},
      {"Google", {"Google LLC", "0E4418E2DEDE36DD2974C3443AFB5CE5", "DigiCert Trusted G4 Code Signing RSA4096 SHA384 2021 CA1"}, false, true},
      {"unknown publisher", {"Quillmark Test Publisher", "01", "Quillmark Test Code Signing CA"}, false, false},
  };
  for (const Case& c : signers) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lists->CheckDigitalSignature(c.signer, kBlack), c.black);
    EXPECT_EQ(lists->CheckDigitalSignature(c.signer, kWhite), c.white);
  }
  struct Company {
    const char* name;
    bool black;
  };
  const Company companies[] = {
      {"NSO Group Technologies Ltd", true}, {" Intellexa S.A. ", true},       {"cytrox ad", true},
      {"NSO Group Fan Software", false},    {"Intellexant Limited", false},   {"Candiru Fishing Supplies", false},
      {"Microsoft Corporation", false},     {"Hacking Team Tools Inc.", false},
  };
  for (const Company& c : companies) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lists->CheckCompanyName(c.name, kBlack), c.black);
  }
}
