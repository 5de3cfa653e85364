// Combination of stored rule results into the overall verdict.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/malware_heuristic.h"
#include "support/engine_fixture.h"
#include "support/scripted_rule.h"

using namespace quillmark;
using namespace quillmark::test;
using R = TMalwareRuleType;

namespace {

struct TCombinationCase {
  const char* Name;
  std::vector<Extended> Percents;  // one rule each, in type order from 0
  // index of the rule whose post-pass sets the overall percentage, and to what
  int PostPassRule = -1;
  Extended PostPassSets = 0;
  Extended Expected;
  std::vector<Extended> StoredAfter;  // rule percentages after the combination
};

class CombinationTest : public ::testing::TestWithParam<TCombinationCase> {};

TEST_P(CombinationTest, OverallPercentage) {
  const TCombinationCase& c = GetParam();
  std::vector<R> types;
  for (std::size_t i = 0; i < c.Percents.size(); ++i) types.push_back(static_cast<R>(i));
  TScriptedRegistry reg(types);
  for (std::size_t i = 0; i < c.Percents.size(); ++i) {
    Scripts()[types[i]].Percent = c.Percents[i];
    if (static_cast<int>(i) == c.PostPassRule) {
      Extended v = c.PostPassSets;
      Scripts()[types[i]].PostPass = [v](TMalwareHeuristicResult& r, TMalwareRuleResult&) { r.SetPercentageMatch(v); };
    }
  }
  TEngineFiles files;
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  EXPECT_TRUE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(e->GetResult()->GetPercentageMatch(), c.Expected);
  EXPECT_EQ(e->GetResult()->GetMalwareID(), 8000001);
  for (std::size_t i = 0; i < c.StoredAfter.size(); ++i)
    EXPECT_EQ(e->GetResult()->GetRules().at(types[i])->GetPercentageMatch(), c.StoredAfter[i]) << "rule " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CombinationTest,
    ::testing::Values(
        TCombinationCase{"MeanCountsZeros", {100, 50, 0}, -1, 0, 50, {100, 50, 0}},
        TCombinationCase{"SingleZero", {0}, -1, 0, 0, {0}},
        // 150 counts in full in the sum and is stored as 100
        TCombinationCase{"AboveHundredCountsInMean", {150, 0, 30}, -1, 0, 60, {100, 0, 30}},
        TCombinationCase{"MeanAboveHundredIsClamped", {150, 150}, -1, 0, 100, {100, 100}},
        // post-pass raises to 60 while the mean is 20
        TCombinationCase{"PostPassAboveMean", {20, 20, 20}, 1, 60, 60, {20, 20, 20}},
        // post-pass of the first rule decides: later rules are not summed, but no
        // stored result is left above 100
        TCombinationCase{"DecisivePostPass", {40, 150, 10}, 0, 100, 100, {40, 100, 10}},
        // an early verdict leaves no stored result above 100 either
        TCombinationCase{"DecisivePostPassAfterNegative", {50, -20, 150}, 0, 95, 95, {50, 0, 100}},
        // a post-pass below the mean does not lower it
        TCombinationCase{"PostPassBelowMean", {50, 70}, 0, 10, 60, {50, 70}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Combination, PostPassRunsOnlyForRulesAboveZero) {
  TScriptedRegistry reg({R::mhRuleSignedFile, R::mhRuleEntropy, R::mhRuleNoIcon});
  Scripts()[R::mhRuleSignedFile].Percent = 10;
  Scripts()[R::mhRuleEntropy].Percent = 0;
  Scripts()[R::mhRuleNoIcon].Percent = -5;
  TEngineFiles files;
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  ASSERT_TRUE(e->AnalyzeFile(files.PEFile()));
  EXPECT_EQ(Journal().PostPassed, std::vector<R>{R::mhRuleSignedFile});
}

TEST(Combination, NotANumberDoesNotCountAsFired) {
  TMalwareHeuristicResult* r = new TMalwareHeuristicResult();
  ComPtr<IMalwareHeuristicResult> hold(static_cast<IMalwareHeuristicResult*>(r));
  auto* nan = new TMalwareRuleResult();
  nan->SetPercentageMatch(std::numeric_limits<Extended>::quiet_NaN());
  auto* fifty = new TMalwareRuleResult();
  fifty->SetPercentageMatch(50);
  r->Rules()[R::mhRuleEntropy] = ComPtr<IMalwareRuleResult>(static_cast<IMalwareRuleResult*>(nan));
  r->Rules()[R::mhRuleNoIcon] = ComPtr<IMalwareRuleResult>(static_cast<IMalwareRuleResult*>(fifty));

  struct {
    std::initializer_list<R> types;
    bool andAnswer, orAnswer;
  } cases[] = {
      {{}, true, false},
      {{R::mhRuleNoIcon}, true, true},
      {{R::mhRuleEntropy}, false, false},
      {{R::mhRuleNoIcon, R::mhRuleEntropy}, false, true},
      {{R::mhRuleNoIcon, R::mhRuleAutoStart}, false, true},
  };
  for (auto& c : cases) {
    EXPECT_EQ(r->CheckRulesAnd(c.types), c.andAnswer);
    EXPECT_EQ(r->CheckRulesOr(c.types), c.orAnswer);
  }
  EXPECT_EQ(r->GetRulePercent(R::mhRuleAutoStart), 0.0L);
  EXPECT_EQ(r->GetRulePercent(R::mhRuleNoIcon), 50.0L);
  r->AddPercent(12.5L);
  EXPECT_EQ(r->GetPercentageMatch(), 12.5L);
  r->Reset();
  EXPECT_EQ(r->GetPercentageMatch(), 0.0L);
  EXPECT_TRUE(r->GetRules().empty());
  EXPECT_EQ(r->GetMalwareID(), 8000001);
}

}  // namespace
