// Knowledge-file settings, the message table and the debug log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/malware_heuristic.h"
#include "engine/settings.h"
#include "runtime/log_file.h"
#include "runtime/target_system.h"
#include "support/debug_log.h"
#include "support/exceptions.h"
#include "support/localizer.h"

using namespace quillmark;

namespace {

struct LocalizerGuard {
  ~LocalizerGuard() { TMalwareLocalizer::Update(nullptr); }
};

TEST(Settings, DefaultsLieInTheHostProgramsDataFolder) {
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  ComPtr<IMalwareHeuristicSettings> s = e->GetSettings();
  // Data/ beside the program; the installed data folder when there is none.
  std::string folder = runtime::HostExecutableFolder() + "Data/";
  if (!std::filesystem::is_directory(folder)) {
    folder = runtime::HostExecutableFolder() + "../share/quillmark/Data/";
    if (!std::filesystem::is_directory(folder)) folder = std::string(QUILLMARK_INSTALL_DATADIR) + "/Data/";
  }
  EXPECT_EQ(s->GetDictionaryBlackWhiteListsFileName(), folder + "hbwlists.mdict");
  EXPECT_EQ(s->GetDictionaryFileDetailsFileName(), folder + "hsysfiles.mdict");
  EXPECT_EQ(s->GetDictionaryHarmonyNameSchemeFileName(), folder + "hwscheme.mdict");
  EXPECT_EQ(s->GetDictionaryThreatsInfoFileName(), folder + "hmthinfo.mdict");
  // the host program's folder, not the test's working folder
  EXPECT_EQ(folder.front(), '/');

  s->SetDictionaryThreatsInfoFileName("/x/threats.db");
  EXPECT_EQ(s->GetDictionaryThreatsInfoFileName(), "/x/threats.db");
  EXPECT_EQ(&e->Settings(), s.As<ILinkObjectInterface>()->GetObject());
}

TEST(Settings, ConcurrentWritersNeverTearAName) {
  ComPtr<IMalwareHeuristicSettings> s(new TMalwareHeuristicSettings());
  const std::string a(300, 'a'), b(300, 'b');
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) s->SetDictionaryFileDetailsFileName(i % 2 ? a : b);
  });
  for (int i = 0; i < 20000; ++i) {
    std::string v = s->GetDictionaryFileDetailsFileName();
    ASSERT_TRUE(v == a || v == b || v.find("hsysfiles") != std::string::npos);
  }
  writer.join();
}

TEST(Localizer, MessagesAreTheirKeysUntilATableSaysOtherwise) {
  LocalizerGuard guard;
  using S = TMalwareLocalizerStr;
  EXPECT_EQ(TMalwareLocalizer::GetMsg(S::MSG_FILE_NOT_FOUND), "MSG_FILE_NOT_FOUND");
  EXPECT_EQ(TMalwareLocalizer::GetRuleName(TMalwareRuleType::mhRuleSignedFile), "RULE_NAME_RuleSignedFile");

  std::vector<std::string> table{"msg_file_not_found=File \"%0:s\" was not found", "MSG_NONE=",
                                 "RULE_NAME_RuleEntropy=Entropy", "RULE_NAME_=R:"};
  ComPtr<TMalwareHeuristic> e(new TMalwareHeuristic());
  e->UpdateLocalization(&table);
  EXPECT_EQ(TMalwareLocalizer::MsgF(S::MSG_FILE_NOT_FOUND, {"a.exe"}), "File \"a.exe\" was not found");
  EXPECT_EQ(TMalwareLocalizer::GetMsg(S::MSG_NONE), "MSG_NONE") << "an empty value counts as absent";
  // the prefix itself is looked up first
  EXPECT_EQ(TMalwareLocalizer::GetRuleName(TMalwareRuleType::mhRuleEntropy), "R:RuleEntropy");

  e->UpdateLocalization(nullptr);
  EXPECT_EQ(TMalwareLocalizer::GetMsg(S::MSG_FILE_NOT_FOUND), "MSG_FILE_NOT_FOUND");
  EXPECT_EQ(TMalwareLocalizer::GetRuleName(TMalwareRuleType::mhRuleEntropy), "RULE_NAME_RuleEntropy");
}

TEST(Localizer, PositionalFormatting) {
  struct {
    const char* format;
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {
      {"%s and %s", {"a", "b"}, "a and b"},
      {"%1:s before %0:s", {"a", "b"}, "b before a"},
      {"%0:d%%", {"7"}, "7%"},
      {"%2:s missing", {"a"}, "%2:s missing"},
      {"trailing %", {}, "trailing %"},
  };
  for (auto& c : cases) EXPECT_EQ(FormatPositional(c.format, c.args), c.expected) << c.format;
}

TEST(DebugLog, EntriesCarryLevelPaddedModuleTextAndOwner) {
  TDebugLog log("quillmark-log-test", "Quillmark.dll", 0);
  EXPECT_EQ(log.ModuleName(), std::string("Quillmark.dll") + std::string(17, ' ') + " ");
  std::filesystem::remove(log.FileName());
  log.LogError(TLogLevel::llError, "AnalyzeMemory", Exception("boom"), "TMalwareHeuristic");
  log.WriteLog(TLogLevel::llInfo, "filtered out at the default level", "X");
  std::ifstream in(log.FileName());
  std::string line, extra;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_FALSE(std::getline(in, extra)) << extra;
  EXPECT_NE(line.find("[ERROR]"), std::string::npos) << line;
  EXPECT_NE(line.find("Quillmark.dll                  AnalyzeMemory: exception Exception: boom"), std::string::npos)
      << line;
  EXPECT_NE(line.find("[TMalwareHeuristic]"), std::string::npos) << line;
}

TEST(DebugLog, LongModuleNameGetsOnlyTheSeparatorAndBdsGetsNoLog) {
  const std::string longName(40, 'm');
  TDebugLog log("quillmark-log-test-2", longName, 0);
  EXPECT_EQ(log.ModuleName(), longName + " ");

  TDebugLog none("BDS", "Quillmark.dll", 0);
  EXPECT_TRUE(none.FileName().empty());
  EXPECT_EQ(none.LogLevel(), TLogLevel::llNone);
  none.LogError(TLogLevel::llError, "AnalyzeFile", Exception("x"), "T");  // does nothing
}

TEST(DebugLog, LibraryLogIsNamedAfterTheHostProgramInTheConfiguredFolder) {
  const std::string file = DebugLog().FileName();
  EXPECT_EQ(std::filesystem::path(file).filename().string(), runtime::HostExecutableName() + ".log");
  EXPECT_EQ(std::filesystem::path(file).parent_path().string(), runtime::TDebugLogFile::LogFolder());
}

}  // namespace
