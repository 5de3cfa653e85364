// The rule base on its own: defaults, validation, progress and cancel,
// sessions, clamping, and threat records.
#include <gtest/gtest.h>

#include "engine/malware_heuristic.h"
#include "rules/rule_custom.h"
#include "rules/threat_custom.h"
#include "support/engine_fixture.h"
#include "support/exceptions.h"
#include "support/scripted_rule.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;

namespace {

ComPtr<TScriptedRule> NewRule(R type) { return ComPtr<TScriptedRule>(new TScriptedRule(nullptr, type)); }

struct RuleFramework : ::testing::Test {
  TScriptedRegistry reg{{}};
  TEngineFiles files;
};

TEST_F(RuleFramework, FreshRuleDefaults) {
  for (R t : AllRuleTypes()) {
    auto rule = NewRule(t);
    EXPECT_TRUE(rule->GetSelected());
    EXPECT_EQ(rule->GetPriority(), 13 - static_cast<int>(t));
    EXPECT_EQ(rule->GetResult()->GetPercentageMatch(), 0.0L);
    EXPECT_TRUE(rule->RuleResult().Threats().empty());
    EXPECT_EQ(rule->GetRuleType(), t);
  }
  EXPECT_EQ(NewRule(R::mhRuleSignedFile)->GetRuleName(), "RULE_NAME_RuleSignedFile");
}

TEST_F(RuleFramework, PublicAnalyzeValidatesAndClamps) {
  auto rule = NewRule(R::mhRuleEntropy);
  Scripts()[R::mhRuleEntropy].Percent = 150;
  int reports = 0;
  rule->SetOnProgress([&](IMalwareRule*, Extended, bool&) { ++reports; });

  Extended percent = -1;
  EXPECT_TRUE(rule->AnalyzeFile(files.PEFile(), percent));
  EXPECT_EQ(percent, 100.0L);
  EXPECT_EQ(rule->GetResult()->GetPercentageMatch(), 100.0L);
  EXPECT_EQ(reports, 2);

  Journal().Clear();
  reports = 0;
  EXPECT_FALSE(rule->AnalyzeFile(files.TextFile()));
  EXPECT_FALSE(rule->AnalyzeFile(""));
  const char block[8] = {};
  EXPECT_FALSE(rule->AnalyzeMemory(block, sizeof block)) << "file-only rule";
  EXPECT_TRUE(Journal().Checked.empty());
  EXPECT_EQ(reports, 0);

  const int before = CountLogEntries(".AnalyzeFile: exception", "[TScriptedRule]");
  EXPECT_FALSE(rule->AnalyzeFile(files.Missing()));
  EXPECT_EQ(CountLogEntries(".AnalyzeFile: exception", "[TScriptedRule]"), before + 1);
}

TEST_F(RuleFramework, MemoryValidation) {
  auto rule = NewRule(R::mhRuleEntropy);
  Scripts()[R::mhRuleEntropy].SupportsMemory = true;
  Scripts()[R::mhRuleEntropy].Percent = 33;
  const char block[8] = {1};
  EXPECT_FALSE(rule->AnalyzeMemory(nullptr, 8));
  EXPECT_FALSE(rule->AnalyzeMemory(block, 0));
  EXPECT_FALSE(rule->AnalyzeMemory(block, 0xFFFFFFFFu));
  Extended p = 0;
  EXPECT_TRUE(rule->AnalyzeMemory(block, 8, p));
  EXPECT_EQ(p, 33.0L);
}

TEST_F(RuleFramework, StopAtZeroPercentSkipsTheCheckAndTheFinalReport) {
  auto rule = NewRule(R::mhRuleNoIcon);
  std::vector<Extended> seen;
  rule->SetOnProgress([&](IMalwareRule* r, Extended p, bool& stop) {
    EXPECT_EQ(r, static_cast<IMalwareRule*>(rule.get()));
    seen.push_back(p);
    stop = true;
  });
  EXPECT_FALSE(rule->AnalyzeFile(files.PEFile()));
  EXPECT_TRUE(Journal().Checked.empty());
  EXPECT_EQ(seen, std::vector<Extended>{0});
  // the next analysis starts uncancelled
  rule->SetOnProgress(nullptr);
  EXPECT_TRUE(rule->AnalyzeFile(files.PEFile()));
}

TEST_F(RuleFramework, SessionsStackResults) {
  auto rule = NewRule(R::mhRuleNoIcon);
  ComPtr<IMalwareRuleResult> own = rule->GetResult();
  rule->BeginSession();
  ComPtr<IMalwareRuleResult> first = rule->GetResult();
  rule->BeginSession();
  ComPtr<IMalwareRuleResult> second = rule->GetResult();
  EXPECT_FALSE(first == own);
  EXPECT_FALSE(second == first);
  rule->EndSession();
  EXPECT_EQ(rule->GetResult(), first);
  rule->EndSession();
  EXPECT_EQ(rule->GetResult(), own);
  rule->EndSession();  // nothing left to end
  EXPECT_EQ(rule->GetResult(), own);
}

TEST_F(RuleFramework, InterfacesAnsweredByRulesAndResults) {
  auto rule = NewRule(R::mhRuleNoIcon);
  EXPECT_TRUE(rule.As<IMalwareRule>());
  EXPECT_TRUE(rule.As<IMalwareRuleInternal>());
  EXPECT_FALSE(rule.As<ILinkObjectInterface>());
  ComPtr<IMalwareRuleResult> result = rule->GetResult();
  auto link = result.As<ILinkObjectInterface>();
  ASSERT_TRUE(link);
  EXPECT_EQ(link->GetObject(), static_cast<void*>(&rule->RuleResult()));
  EXPECT_FALSE(result.As<IMalwareRule>());
}

// --- threat records -------------------------------------------------------------

class TThreatWithDefault : public TThreatGrouped {
 public:
  const char* ClassName() const override { return "TThreatWithDefault"; }
  Extended GetDefaultDangerPercent() const override { return 42; }
};

enum class TUpperGroup { Upper, lowerOnly };
}  // namespace

template <>
struct quillmark::TEnumIdentifiers<TUpperGroup> {
  static std::string_view Identifier(TUpperGroup v) { return v == TUpperGroup::Upper ? "Upper" : "lowerOnly"; }
};

namespace {
class TUpperThreat : public TThreatGroupedOf<TUpperGroup> {
 public:
  const char* ClassName() const override { return "TUpperThreat"; }
};

TEST(ThreatRecords, NamesAndPercents) {
  auto plain = TThreat::Create<TThreat>(0);
  EXPECT_EQ(plain->Name(), "TThreat.Base");
  EXPECT_EQ(plain->DangerPercent(), 0.0L) << "0 is kept, not replaced by the default";

  auto grouped = TThreatGrouped::Create<TThreatGrouped>(TThreatSubGroup::tsgDangerous, 10);
  EXPECT_EQ(grouped->Name(), "TThreatGrouped.Dangerous.Base");
  EXPECT_EQ(grouped->Name(), "TThreatGrouped.Dangerous.Base") << "cached prefix gives the same name";

  auto withDefault = TThreatWithDefault::Create<TThreatWithDefault>(TThreatSubGroup::tsgCrytical, -1);
  EXPECT_EQ(withDefault->DangerPercent(), 42.0L);
  EXPECT_EQ(withDefault->Name(), "TThreatWithDefault.Crytical.Base");

  EXPECT_EQ(TUpperThreat::Create<TUpperThreat>(TUpperGroup::Upper, 1)->Name(), "TUpperThreat.Upper.Base");
  EXPECT_EQ(TUpperThreat::Create<TUpperThreat>(TUpperGroup::lowerOnly, 1)->Name(), "TUpperThreat.Only.Base");
}

TEST(ThreatRecords, NegativePercentWithoutClassDefaultIsAnAbstractError) {
  EXPECT_THROW(TThreat::Create<TThreat>(-1), EAbstractError);
  EXPECT_THROW((TThreatGrouped::Create<TThreatGrouped>(TThreatSubGroup::tsgNormal, -0.5L)), EAbstractError);
}

TEST(ThreatRecords, ResultOwnsAddedRecordsUntilReset) {
  ComPtr<TMalwareRuleResult> r(new TMalwareRuleResult());
  r->AddThreat<TThreat>(5);
  r->AddThreat<TThreatGrouped>(TThreatSubGroup::tsgSuspicious, 7);
  ASSERT_EQ(r->Threats().size(), 2u);
  EXPECT_EQ(r->Threats()[1]->Name(), "TThreatGrouped.Suspicious.Base");
  r->SetPercentageMatch(9);
  r->Reset();
  EXPECT_TRUE(r->Threats().empty());
  EXPECT_EQ(r->GetPercentageMatch(), 0.0L);
}

}  // namespace
