// Builds the knowledge databases from readable TSV sources and dumps them
// back to text. Formats: data/README.md.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillmark::dict {

enum class TKind { kThreats, kBlackWhiteLists, kSystemFiles, kScheme };

// A source or usage problem; the message names the file and line.
class ESourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "threats", "bwlists", "sysfiles", "scheme"; throws ESourceError for another word.
TKind KindFromName(const std::string& AName);

// What the scheme build stores as an n-gram's count.
enum class TSchemeCounts {
  // How often the n-gram occurs in the corpus; wcount is the number of names.
  kOccurrences,
  // Log-scaled occurrences above a noise floor, with wcount calibrated on the
  // corpus so that the harmony rule's bound of 2.0 separates ordinary names
  // from random ones (data/README.md).
  kLogCalibrated,
};

// "occurrences", "log"; throws ESourceError for another word.
TSchemeCounts SchemeCountsFromName(const std::string& AName);

struct TBuildOptions {
  TSchemeCounts SchemeCounts = TSchemeCounts::kOccurrences;
};

// Reads every source, then writes the database to AOutput through a
// temporary file that replaces AOutput only when complete.
void Build(TKind AKind, const std::vector<std::string>& ASources, const std::string& AOutput,
           const TBuildOptions& AOptions = {});

// Every table of the database as TSV, scrambled columns in clear. Tables of
// the threat-name and black/white-list files are written in their source
// format, so that a dump builds the same file again.
void Dump(const std::string& ADatabase, std::ostream& AOut);

}  // namespace quillmark::dict
