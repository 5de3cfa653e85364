// quillmark-dict: compiles the knowledge databases from data/ and dumps them.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "dict_compiler.h"
#include "quillmark/exports.h"

namespace {

constexpr const char* kUsage =
    "Usage: quillmark-dict build -k|--kind threats|bwlists|sysfiles|scheme\n"
    "                            [--scheme-counts occurrences|log] -o|--output FILE.mdict SOURCE...\n"
    "       quillmark-dict dump FILE.mdict\n"
    "       quillmark-dict -h|--help | -V|--version\n"
    "\n"
    "build compiles the text sources (TSV) of one kind into a knowledge file,\n"
    "replacing FILE.mdict only once it is complete; dump writes a knowledge file\n"
    "back as text on standard output. See quillmark-dict(1).\n"
    "\n"
    "Exit status: 0 done, 1 a source or database could not be read or written,\n"
    "2 a usage error.\n";

int Usage(const std::string& problem) {
  std::cerr << "quillmark-dict: " << problem << "\nTry 'quillmark-dict --help' for more information.\n";
  return 2;
}

std::string VersionText() {
  using namespace quillmark;  // S_OK: our constant here, the SDK's macro on Windows
  DLLVERSIONINFO2 info{};
  info.info1.cbSize = sizeof info;
  if (DllGetVersion(&info) != S_OK) return "quillmark-dict (unknown version)\n";
  return "quillmark-dict " + std::to_string(info.info1.dwMajorVersion) + "." +
         std::to_string(info.info1.dwMinorVersion) + "." + std::to_string(info.info1.dwBuildNumber) + "\n";
}

// Writes text to stdout; 0, or 2 when that failed.
int Print(const std::string& text) {
  std::cout << text << std::flush;
  return std::cout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillmark::dict;
  bool help = false, version = false;
  std::string kind, output, schemeCounts, dumpFile;
  std::vector<std::string> sources;

  CLI::App app("", "quillmark-dict");
  app.set_help_flag();
  app.allow_extras(true);  // unknown arguments are said by us
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("-h,--help", help)->disable_flag_override();
  app.add_flag("-V,--version", version)->disable_flag_override();
  CLI::App* build = app.add_subcommand("build");
  build->set_help_flag();
  build->allow_extras(true);
  build->add_flag("-h,--help", help)->disable_flag_override();
  build->add_option("-k,--kind", kind)->allow_extra_args(false);
  build->add_option("--scheme-counts", schemeCounts)->allow_extra_args(false);
  build->add_option("-o,--output", output)->allow_extra_args(false);
  build->add_option("sources", sources);
  CLI::App* dump = app.add_subcommand("dump");
  dump->set_help_flag();
  dump->allow_extras(true);
  dump->add_flag("-h,--help", help)->disable_flag_override();
  dump->add_option("file", dumpFile);

  if (argc <= 1) return Usage("no command given");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // "--kind: 1 required TEXT missing": an option without its value.
    const std::string what = e.what();
    if (const auto colon = what.find(": "); what.rfind("--", 0) == 0 && colon != std::string::npos &&
                                           what.find("required", colon) != std::string::npos)
      return Usage("option '" + what.substr(0, colon) + "' needs a value");
    return Usage(what);
  }
  for (const CLI::App* level : {&app, build, dump}) {
    for (const std::string& extra : level->remaining()) {
      if (extra == "--") continue;  // the parser keeps the end of the options here
      if (!extra.empty() && extra[0] == '-') return Usage("unknown option " + extra);
      return Usage(level == &app ? "unknown command " + extra : "unexpected argument " + extra);
    }
  }
  if (help) return Print(kUsage);
  if (version) return Print(VersionText());

  try {
    if (dump->parsed()) {
      if (dumpFile.empty()) return Usage("dump takes one database file");
      Dump(dumpFile, std::cout);
      return std::cout.flush() ? 0 : 1;
    }
    if (build->parsed()) {
      if (kind.empty()) return Usage("build needs --kind");
      if (output.empty()) return Usage("build needs -o FILE");
      if (sources.empty()) return Usage("build needs at least one source");
      TBuildOptions options;
      if (!schemeCounts.empty()) options.SchemeCounts = SchemeCountsFromName(schemeCounts);
      Build(KindFromName(kind), sources, output, options);
      return 0;
    }
    return Usage("no command given");
  } catch (const std::exception& e) {
    std::cerr << "quillmark-dict: " << e.what() << "\n";
    return 1;
  }
}
