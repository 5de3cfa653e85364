// The rule-specific result classes: each answers its own interface by GUID
// beside the common ones, keeps its class name, and Reset puts every field
// back to its initial value (not just the percent and the threats).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "quillmark/rule_results.h"
#include "rules/dangerous_file_name.h"
#include "rules/double_extension.h"
#include "rules/entropy.h"
#include "rules/harmony_name.h"
#include "rules/incorrect_file_location.h"
#include "rules/no_company_info.h"
#include "rules/no_icon.h"
#include "rules/open_network_ports.h"
#include "rules/signed_file.h"
#include "rules/suspicious_path.h"

namespace quillmark {
namespace {

// One result class: how to make one, the interface it must answer (null GUID
// for none), how to fill every field, and what a fresh one reads.
struct TResultCase {
  const char* ClassName;
  GUID Interface;
  std::function<TMalwareRuleResult*()> Create;
  std::function<void(TMalwareRuleResult&)> Fill;
  std::function<bool(TMalwareRuleResult&)> IsFresh;
};

template <class T>
TResultCase Case(const char* AName, GUID AInterface, std::function<void(T&)> AFill, std::function<bool(T&)> AFresh) {
  return {AName, AInterface, [] { return new T(); },
          [AFill](TMalwareRuleResult& r) { AFill(static_cast<T&>(r)); },
          [AFresh](TMalwareRuleResult& r) { return AFresh(static_cast<T&>(r)); }};
}

std::vector<TResultCase> Cases() {
  using DE = TMalwareRuleResultDoubleExtension;
  using SF = TMalwareRuleResultSignedFile;
  using SP = TMalwareRuleResultSuspiciousPath;
  using NC = TMalwareRuleResultNoCompanyInfo;
  using OP = TMalwareRuleResultOpenNetworkPorts;
  return {
      Case<DE>("TMalwareRuleResultDoubleExtension", IMalwareRuleResultDoubleExtension::IID,
               [](DE& r) { r.FSecondExt = ".pdf", r.FSecondExtImageIndex = 3, r.FNameWithoutSecondExt = "a.exe"; },
               [](DE& r) { return r.GetSecondExt().empty() && r.GetSecondExtImageIndex() == -1 && r.GetNameWithoutSecondExt().empty(); }),
      Case<SF>("TMalwareRuleResultSignedFile", IMalwareRuleResultSignedFile::IID,
               [](SF& r) {
                 r.SetSigner("Signer", "01", "Issuer");
                 r.SetInBlacklist(true), r.SetInWhitelist(true);
                 r.FTrusted = true, r.FTrustResult = S_OK, r.FCertThumbprint = "AB";
               },
               [](SF& r) {
                 return r.GetSignerName().empty() && !r.GetInBlacklist() && !r.InWhitelist() && !r.Trusted() &&
                        r.TrustResult() == TRUST_E_NOSIGNATURE && r.FCertThumbprint.empty();
               }),
      Case<SP>("TMalwareRuleResultSuspiciousPath", IMalwareRuleResultSuspiciousPath::IID,
               [](SP& r) { r.FFolderType = TSuspiciousPathResultFolder::sprFolderTemp, r.FFolder = "/tmp"; },
               [](SP& r) { return r.GetFolderType() == TSuspiciousPathResultFolder::sprFolderUnknown && r.GetFolder().empty(); }),
      Case<NC>("TMalwareRuleResultNoCompanyInfo", IMalwareRuleResultNoCompanyInfo::IID,
               [](NC& r) { r.SetInBlacklist(true), r.SetEvidence(true, "Acme", "040904B0"); },
               [](NC& r) { return !r.GetInBlacklist() && !r.HasVersionInfo() && r.CompanyName().empty() && r.VersionTable().empty(); }),
      Case<OP>("TMalwareRuleResultOpenNetworkPorts", IMalwareRuleResultOpenNetworkPorts::IID,
               [](OP& r) { r.Ports().push_back({}); }, [](OP& r) { return r.GetPorts().empty(); }),
      Case<TMalwareRuleResultEntropy>("TMalwareRuleResultEntropy", IMalwareRuleResultEntropy::IID,
               [](auto& r) { r.SetEntropy(7.5L); }, [](auto& r) { return r.GetEntropyValue() == 0; }),
      Case<TMalwareRuleResultHarmonyName>("TMalwareRuleResultHarmonyName", IMalwareRuleResultHarmonyName::IID,
               [](auto& r) { r.FTotalFactor = 1, r.FAverageFactor = 2, r.FIsGuid = true; },
               [](auto& r) { return r.GetTotalFactor() == 0 && r.GetAverageFactor() == 0 && !r.GetIsGuid(); }),
      Case<TMalwareRuleResultDangerousFileName>("TMalwareRuleResultDangerousFileName",
               IMalwareRuleResultDangerousFileName::IID, [](auto& r) { r.FCauses = 3; },
               [](auto& r) { return r.GetCauses() == 0; }),
      Case<TMalwareRuleResultIncorrectFileLocation>("TMalwareRuleResultIncorrectFileLocation",
               IMalwareRuleResultIncorrectFileLocation::IID, [](auto& r) { r.FPaths = {"C:\\Windows"}; },
               [](auto& r) { return r.GetPaths().empty(); }),
      Case<TMalwareRuleResultNoIcon>("TMalwareRuleResultNoIcon", GUID{}, [](auto& r) { r.SetEvidence(true, "#3"); },
               [](auto& r) { return !r.IconFound() && r.ResourceTypes().empty(); }),
  };
}

TEST(RuleResultClasses, AnswerTheirInterfaceAndResetEveryField) {
  for (const TResultCase& c : Cases()) {
    SCOPED_TRACE(c.ClassName);
    ComPtr<TMalwareRuleResult> result(c.Create());
    EXPECT_STREQ(result->ClassName(), c.ClassName);
    ASSERT_TRUE(c.IsFresh(*result));

    // Its own interface, the common ones, nothing else; every interface
    // pointer leads back to the same object and reads the same percent.
    result->SetPercentageMatch(40);
    void* common = nullptr;
    ASSERT_EQ(result->QueryInterface(IMalwareRuleResult::IID, &common), S_OK);
    EXPECT_EQ(static_cast<IMalwareRuleResult*>(common)->GetPercentageMatch(), 40);
    static_cast<IMalwareRuleResult*>(common)->Release();
    if (c.Interface != GUID{}) {
      void* own = nullptr;
      ASSERT_EQ(result->QueryInterface(c.Interface, &own), S_OK);
      EXPECT_EQ(static_cast<IMalwareRuleResult*>(own)->GetPercentageMatch(), 40);
      static_cast<IUnknown*>(own)->Release();
    }
    void* none = nullptr;
    EXPECT_EQ(result->QueryInterface(IMalwareRule::IID, &none), E_NOINTERFACE);

    c.Fill(*result);
    result->AddThreat<TThreat>(50);
    EXPECT_FALSE(c.IsFresh(*result));
    result->Reset();
    EXPECT_TRUE(c.IsFresh(*result));
    EXPECT_EQ(result->PercentageMatch(), 0);
    EXPECT_TRUE(result->Threats().empty());
  }
}

}  // namespace
}  // namespace quillmark
