// The programs' manual pages and bash completion: they name every option the
// parsers know, render cleanly, complete what they should, and get installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/programs.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using quillmark::test::RunProgramCapture;
using quillmark::test::TTempDir;

const fs::path kSourceDir = fs::path(QUILLMARK_DATA_SOURCE_DIR).parent_path();
const fs::path kBuildDir = fs::path(QUILLMARK_BUILT_DATA_DIR).parent_path();

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::set<std::string> OptionTokens(const std::string& text) {
  static const std::regex option(R"((^|[^A-Za-z0-9-])(--?[A-Za-z0-9][A-Za-z0-9-]*))");
  std::set<std::string> tokens;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
    tokens.insert((*it)[2].str());
  return tokens;
}

// The options quillmark --help lists: its option table is the parser's own.
// Each line of the table starts with the option's names and value, then two
// or more spaces before the description.
std::set<std::string> QuillmarkOptions() {
  const auto help = RunProgramCapture({QUILLMARK_CLI_PATH, "--help"});
  EXPECT_EQ(help.Status, 0);
  std::set<std::string> options;
  for (const std::string& line : Lines(help.Output)) {
    if (line.rfind("  -", 0) != 0) continue;
    const std::string label = line.substr(2, line.find("  ", 2) - 2);
    for (const std::string& token : OptionTokens(label)) options.insert(token);
  }
  return options;
}

// The options of quillmark-dict: its usage lines, before the first blank line.
std::set<std::string> DictOptions() {
  const auto help = RunProgramCapture({QUILLMARK_DICT_PATH, "--help"});
  EXPECT_EQ(help.Status, 0);
  return OptionTokens(help.Output.substr(0, help.Output.find("\n\n")));
}

// The page with its hyphen escapes and font changes undone.
std::string PlainRoff(const std::string& roff) {
  std::string text = std::regex_replace(roff, std::regex(R"(\\f[BIRP])"), "");
  return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

// The part of a page from ".SH NAME" to the next ".SH".
std::string Section(const std::string& roff, const std::string& name) {
  const std::size_t start = roff.find(".SH " + name + "\n");
  if (start == std::string::npos) return {};
  const std::size_t end = roff.find("\n.SH ", start + 1);
  return roff.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool NamesOption(const std::string& text, const std::string& option) {
  const std::regex word("(^|[^A-Za-z0-9-])" + option + "($|[^A-Za-z0-9-])");
  return std::regex_search(text, word);
}

TEST(CliDocs, ManualPagesAndCompletionNameEveryOptionTheParsersKnow) {
  const std::string completion = ReadAll(kSourceDir / "completion" / "quillmark.bash");
  struct TCase {
    const char* Page;
    std::set<std::string> Options;
  };
  const TCase cases[] = {
      {"quillmark.1", QuillmarkOptions()},
      {"quillmark-dict.1", DictOptions()},
  };
  for (const TCase& c : cases) {
    // Both programs have many options; an empty list means the help changed
    // shape and this test no longer sees them.
    ASSERT_GE(c.Options.size(), 5u) << c.Page;
    const std::string options = PlainRoff(Section(ReadAll(kSourceDir / "man" / c.Page), "OPTIONS"));
    ASSERT_FALSE(options.empty()) << c.Page;
    for (const std::string& option : c.Options) {
      EXPECT_TRUE(NamesOption(options, option)) << option << " is not in the OPTIONS of " << c.Page;
      EXPECT_TRUE(NamesOption(completion, option)) << option << " is not in the completion";
    }
  }
  // The new conventions are among what the parser knows.
  const auto known = QuillmarkOptions();
  for (const char* option : {"-j", "--jobs", "-o", "--output", "-q", "--quiet", "-0", "--null", "--files-from",
                             "--exclude", "--exclude-dir", "--one-file-system", "--follow-symlinks", "--list-rules",
                             "--no-summary", "-V", "--version"})
    EXPECT_TRUE(known.count(option)) << option;
  EXPECT_TRUE(DictOptions().count("--version"));
}

TEST(CliDocs, ManualPagesRenderWithoutWarningsAndHaveTheirSections) {
  for (const char* page : {"quillmark.1", "quillmark-dict.1"}) {
    const std::string path = (kSourceDir / "man" / page).string();
    const auto render = RunProgramCapture({"groff", "-ww", "-man", "-z", path});
    EXPECT_EQ(render.Status, 0) << page << " (is groff installed?)";
    EXPECT_EQ(render.Output, "") << page;
    const std::string roff = ReadAll(path);
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "ENVIRONMENT",
                                "EXAMPLES"})
      EXPECT_FALSE(Section(roff, section).empty()) << page << " has no " << section;
  }
  // What the CLI's page must say about where things are.
  const std::string page = PlainRoff(ReadAll(kSourceDir / "man" / "quillmark.1"));
  for (const char* fact : {"QUILLMARK_LOG_DIR", "XDG_STATE_HOME", "TERM", "share/quillmark/Data", "Data/",
                           "quillmark.log", "dumb"})
    EXPECT_NE(page.find(fact), std::string::npos) << fact;
}

TEST(CliDocs, HelpDescribesTheKnowledgeFolderLookupAndDictHasAVersion) {
  // The help text with its line breaks undone.
  const std::string help =
      std::regex_replace(RunProgramCapture({QUILLMARK_CLI_PATH, "--help"}).Output, std::regex(R"(\s+)"), " ");
  EXPECT_EQ(help.find("next to this program"), std::string::npos);
  for (const char* step : {"Data/ beside the program, else ../share/quillmark/Data from the program's folder, else "
                           "the share/quillmark/Data folder of the installation"})
    EXPECT_NE(help.find(step), std::string::npos) << step << "\n" << help;

  const auto cli = RunProgramCapture({QUILLMARK_CLI_PATH, "--version"});
  for (const char* flag : {"--version", "-V"}) {
    const auto dict = RunProgramCapture({QUILLMARK_DICT_PATH, flag});
    EXPECT_EQ(dict.Status, 0) << flag;
    // The same version as the scanner's, of the same library.
    ASSERT_EQ(cli.Output.rfind("quillmark ", 0), 0u);
    EXPECT_EQ(dict.Output, "quillmark-dict " + cli.Output.substr(10)) << flag;
  }
}

// What the completion offers for the words typed so far (the last is the one
// being completed), run in folder `cwd`.
std::set<std::string> Complete(const std::string& function, const std::vector<std::string>& words,
                               const fs::path& cwd) {
  std::string array;
  for (const std::string& w : words) {
    std::string quoted = "'";
    for (char c : w) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    array += quoted + "' ";
  }
  const std::string script = "cd '" + cwd.string() + "' && source '" +
                             (kSourceDir / "completion" / "quillmark.bash").string() + "' && COMP_WORDS=(" + array +
                             ") && COMP_CWORD=" + std::to_string(words.size() - 1) + " && " + function +
                             " && printf '%s\\n' \"${COMPREPLY[@]}\"";
  const auto run = RunProgramCapture({"bash", "--norc", "--noprofile", "-c", script});
  EXPECT_EQ(run.Status, 0) << run.Output;
  std::set<std::string> offered;
  for (const std::string& line : Lines(run.Output))
    if (!line.empty()) offered.insert(line);
  return offered;
}

TEST(CliDocs, BashCompletionOffersCommandsOptionsRuleNamesAndFiles) {
  TTempDir dir;
  dir.WriteFile("data-file.txt", "x");
  dir.WriteFile("data-folder/inner.txt", "x");
  dir.WriteFile("-odd.exe", "x");
  const std::string cli = QUILLMARK_CLI_PATH;
  struct TCase {
    std::string Function;
    std::vector<std::string> Words;
    std::set<std::string> Offered;
  };
  const std::vector<TCase> cases = {
      {"_quillmark", {cli, "sc"}, {"scan"}},
      {"_quillmark", {cli, "--l"}, {"--list-rules"}},
      {"_quillmark", {cli, "scan", "--exc"}, {"--exclude", "--exclude-dir"}},
      {"_quillmark", {cli, "scan", "--fo"}, {"--follow-symlinks"}},
      // Rule names come from the program's own --list-rules.
      {"_quillmark", {cli, "scan", "--rule", "ent"}, {"entropy"}},
      {"_quillmark", {cli, "scan", "--no-rule", "=", "signed"}, {"signed-file"}},
      {"_quillmark", {cli, "scan", "--data", "data-"}, {"data-folder"}},
      {"_quillmark", {cli, "scan", "-o", "data-"}, {"data-file.txt", "data-folder"}},
      {"_quillmark", {cli, "scan", "--files-from", "=", "data-f"}, {"data-file.txt", "data-folder"}},
      {"_quillmark", {cli, "scan", "--threshold", ""}, {}},
      {"_quillmark", {cli, "scan", "data-"}, {"data-file.txt", "data-folder"}},
      {"_quillmark", {cli, "scan", "--", "-o"}, {"-odd.exe"}},
      {"_quillmark_dict", {"quillmark-dict", "b"}, {"build"}},
      {"_quillmark_dict", {"quillmark-dict", "build", "--kind", "sys"}, {"sysfiles"}},
      {"_quillmark_dict", {"quillmark-dict", "build", "--scheme-counts", ""}, {"occurrences", "log"}},
  };
  for (const TCase& c : cases) {
    std::string shown;
    for (std::size_t i = 1; i < c.Words.size(); ++i) shown += c.Words[i] + " ";
    EXPECT_EQ(Complete(c.Function, c.Words, dir.Path()), c.Offered) << shown;
  }
}

TEST(CliDocs, InstallPutsTheManualPagesAndTheCompletionInPlace) {
  TTempDir prefix;
  const auto install = RunProgramCapture({"cmake", "--install", kBuildDir.string(), "--prefix", prefix.Path().string()});
  ASSERT_EQ(install.Status, 0) << install.Output;
  for (const char* page : {"quillmark.1", "quillmark-dict.1"})
    EXPECT_EQ(ReadAll(prefix.Path() / "share" / "man" / "man1" / page), ReadAll(kSourceDir / "man" / page)) << page;
  for (const char* program : {"quillmark", "quillmark-dict"})
    EXPECT_EQ(ReadAll(prefix.Path() / "share" / "bash-completion" / "completions" / program),
              ReadAll(kSourceDir / "completion" / "quillmark.bash"))
        << program;
}

}  // namespace
