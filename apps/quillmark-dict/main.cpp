// quillmark-dict: compiles the knowledge databases from data/ and dumps them.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "dict_compiler.h"

namespace {

constexpr const char* kUsage =
    "usage: quillmark-dict build --kind threats|bwlists|sysfiles|scheme SOURCE... -o FILE.mdict\n"
    "                            [--scheme-counts occurrences|log]\n"
    "       quillmark-dict dump FILE.mdict\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "quillmark-dict: " << problem << "\n";
  std::cerr << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillmark::dict;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  if (args[0] == "-h" || args[0] == "--help") {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (args[0] == "dump") {
      if (args.size() != 2) return Usage("dump takes one database file");
      Dump(args[1], std::cout);
      return 0;
    }
    if (args[0] == "build") {
      std::string kind, output;
      std::vector<std::string> sources;
      TBuildOptions options;
      for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--kind" || args[i] == "-k") {
          if (++i == args.size()) return Usage("--kind needs a value");
          kind = args[i];
        } else if (args[i].rfind("--kind=", 0) == 0) {
          kind = args[i].substr(7);
        } else if (args[i] == "--scheme-counts") {
          if (++i == args.size()) return Usage("--scheme-counts needs a value");
          options.SchemeCounts = SchemeCountsFromName(args[i]);
        } else if (args[i] == "-o" || args[i] == "--output") {
          if (++i == args.size()) return Usage("-o needs a file name");
          output = args[i];
        } else if (!args[i].empty() && args[i][0] == '-') {
          return Usage("unknown option " + args[i]);
        } else {
          sources.push_back(args[i]);
        }
      }
      if (kind.empty()) return Usage("build needs --kind");
      if (output.empty()) return Usage("build needs -o FILE");
      if (sources.empty()) return Usage("build needs at least one source");
      Build(KindFromName(kind), sources, output, options);
      return 0;
    }
    return Usage("unknown command " + args[0]);
  } catch (const ESourceError& e) {
    std::cerr << "quillmark-dict: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "quillmark-dict: " << e.what() << "\n";
    return 1;
  }
}
