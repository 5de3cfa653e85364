// What a host needs beyond the engine's original interfaces to show all that
// the quillmark program shows: each rule result's evidence (threat records and
// details as a small value tree), the settings beyond the four knowledge-file
// names, how the last analysis ended and which knowledge could not be used,
// the report of one file and its JSON record, and the library's version.
//
// Each interface is reached by querying an object the host already holds:
// IMalwareRuleResultEvidence on a rule result, IMalwareHeuristicSettingsEx on
// the engine's settings, IMalwareHeuristicStatus and IMalwareHeuristicReport
// on the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillmark/malware_heuristic.h"

namespace quillmark {

// --- rule evidence -------------------------------------------------------------

// One evidence record of a rule result: its composed name
// ("ThreatFileName.Dangerous.Base") and how dangerous the rule judged it.
struct TThreatRecord {
  std::string Name;
  Extended DangerPercent = 0;
};

enum class TDetailValueKind : std::uint8_t {
  dvNull = 0,
  dvBool = 1,
  dvInteger = 2,
  dvNumber = 3,
  dvText = 4,
  dvList = 5,
  dvRecord = 6,  // named fields, in order
};

struct TDetailField;

// A value of a rule result's details: null, a Boolean, an integer, a number,
// UTF-8 text, a list of values, or a record of named values. Only the member
// that Kind names is meaningful.
struct TDetailValue {
  TDetailValueKind Kind = TDetailValueKind::dvNull;
  bool Bool = false;
  std::int64_t Integer = 0;
  Extended Number = 0;
  std::string Text;
  std::vector<TDetailValue> Items;   // dvList
  std::vector<TDetailField> Fields;  // dvRecord

  // Defined below TDetailField: making a value needs the field type complete.
  static inline TDetailValue Null();
  static inline TDetailValue FromBool(bool v);
  static inline TDetailValue FromInteger(std::int64_t v);
  static inline TDetailValue FromNumber(Extended v);
  static inline TDetailValue FromText(std::string v);
  static inline TDetailValue EmptyList();
  static inline TDetailValue EmptyRecord();

  bool IsNull() const { return Kind == TDetailValueKind::dvNull; }
  // The field of a record with this name; nullptr when there is none (or
  // this is not a record).
  inline const TDetailValue* Find(std::string_view AName) const;
  // Text of a dvText value, "" otherwise.
  const std::string& TextOr() const {
    static const std::string empty;
    return Kind == TDetailValueKind::dvText ? Text : empty;
  }
  // A dvBool value that is true.
  bool IsTrue() const { return Kind == TDetailValueKind::dvBool && Bool; }

 private:
  static inline TDetailValue Of(TDetailValueKind AKind);
};

struct TDetailField {
  std::string Name;
  TDetailValue Value;
};

TDetailValue TDetailValue::Of(TDetailValueKind AKind) {
  TDetailValue r;
  r.Kind = AKind;
  return r;
}
TDetailValue TDetailValue::Null() { return {}; }
TDetailValue TDetailValue::FromBool(bool v) {
  TDetailValue r = Of(TDetailValueKind::dvBool);
  r.Bool = v;
  return r;
}
TDetailValue TDetailValue::FromInteger(std::int64_t v) {
  TDetailValue r = Of(TDetailValueKind::dvInteger);
  r.Integer = v;
  return r;
}
TDetailValue TDetailValue::FromNumber(Extended v) {
  TDetailValue r = Of(TDetailValueKind::dvNumber);
  r.Number = v;
  return r;
}
TDetailValue TDetailValue::FromText(std::string v) {
  TDetailValue r = Of(TDetailValueKind::dvText);
  r.Text = std::move(v);
  return r;
}
TDetailValue TDetailValue::EmptyList() { return Of(TDetailValueKind::dvList); }
TDetailValue TDetailValue::EmptyRecord() { return Of(TDetailValueKind::dvRecord); }

const TDetailValue* TDetailValue::Find(std::string_view AName) const {
  if (Kind != TDetailValueKind::dvRecord) return nullptr;
  for (const TDetailField& f : Fields)
    if (f.Name == AName) return &f.Value;
  return nullptr;
}

// Every rule result answers for this beside IMalwareRuleResult and its own
// result interface.
struct IMalwareRuleResultEvidence : IUnknown {
  static constexpr GUID IID{0x4665C959, 0xB487, 0x49D4, {0x9F, 0x96, 0x7B, 0x15, 0x95, 0x4B, 0x04, 0x67}};
  // The threat records of the latest analysis, in the order the rule added
  // them.
  virtual std::vector<TThreatRecord> GetThreatRecords() = 0;
  // The result's own fields as a dvRecord (trust code, thumbprint and signer
  // of a signature, connections of a running target...); an empty record for
  // a rule without fields of its own.
  virtual TDetailValue GetDetailRecord() = 0;

 protected:
  ~IMalwareRuleResultEvidence() = default;
};

// --- settings -----------------------------------------------------------------

// The engine's settings answer for this beside IMalwareHeuristicSettings.
struct IMalwareHeuristicSettingsEx : IUnknown {
  static constexpr GUID IID{0x1623417D, 0x35E2, 0x4C28, {0xB3, 0xD5, 0x1A, 0x31, 0xBE, 0x0D, 0xFC, 0x7E}};
  // The knowledge folder, with a trailing "/": setting it points the four
  // knowledge-file names at their default names inside it and the trust
  // folder at its "trust/" subfolder. Default: "Data/" beside the host
  // program, else the installed data folder.
  virtual std::string GetDataFolder() = 0;
  virtual void SetDataFolder(const std::string& AFolder) = 0;
  // Folder whose *.pem, *.crt and *.cer files are trust anchors of signature
  // checks, beside the system's CA bundle.
  virtual std::string GetTrustFolder() = 0;
  virtual void SetTrustFolder(const std::string& AFolder) = 0;
  // Further certificate files (PEM or DER) whose certificates are trust
  // anchors, in the order added; adding a file twice keeps one entry.
  virtual std::vector<std::string> GetCAFiles() = 0;
  virtual void AddCAFile(const std::string& AFileName) = 0;
  virtual void ClearCAFiles() = 0;
  // Bytes of a target file read at most; a larger file is analysed as if it
  // ended there (default 4 GiB).
  virtual std::uint64_t GetMaxFileSize() = 0;
  virtual void SetMaxFileSize(std::uint64_t AValue) = 0;
  // Whether an analysis that gives a verdict reads its file once more, to
  // the size cap, for TAnalysisStatus::Sha256 (default true). A host that
  // never shows the digest saves that read.
  virtual bool GetComputeSha256() = 0;
  virtual void SetComputeSha256(bool AValue) = 0;

 protected:
  ~IMalwareHeuristicSettingsEx() = default;
};

// --- analysis status and knowledge problems --------------------------------------

// How an analysis ended.
enum class TAnalysisOutcome : std::uint8_t {
  aoNone,           // no analysis yet
  aoAnalyzed,       // a verdict: the analysis answered true
  aoInvalidTarget,  // an empty name, a null or empty memory block
  aoNotPEImage,     // the file is not a PE image
  aoNoRule,         // no selected rule supports the target, or none stored a result
  aoCanceled,
  aoReadError,      // the file could not be found, opened or read, or changed while it was read
  aoFailed,         // an error inside the analysis (written to the debug log)
};
// Declared identifier of an outcome ("aoNotPEImage"); empty for an unknown value.
QUILLMARK_API const char* AnalysisOutcomeName(TAnalysisOutcome AOutcome);

struct TAnalysisStatus {
  TAnalysisOutcome Outcome = TAnalysisOutcome::aoNone;
  // Why, for every outcome but aoAnalyzed (the error's text for aoReadError
  // and aoFailed).
  std::string Message;
  // What limited the analysis without stopping it (a file larger than the
  // size cap, read only up to it).
  std::vector<std::string> Warnings;
  // Size of the file when the analysis opened it (of the block, for memory);
  // empty when nothing was opened.
  std::optional<std::uint64_t> Size;
  // SHA-256 of the bytes the analysis read (up to the size cap), lower-case
  // hex; empty unless the analysis gave a verdict (and the settings ask for
  // it).
  std::string Sha256;
};

// The four knowledge files.
enum class TKnowledgeFileKind : std::uint8_t {
  kfBlackWhiteLists = 0,
  kfFileDetails = 1,
  kfThreatsInfo = 2,
  kfHarmonyStrings = 3,
};

// A knowledge file that the analyses go without, and why.
struct TKnowledgeFileProblem {
  TKnowledgeFileKind Kind = TKnowledgeFileKind::kfBlackWhiteLists;
  std::string FileName;
  // "missing", the operating system's error text, SQLite's message, "no
  // table <name>", "not a regular file", or "query interrupted: work limit".
  std::string Reason;
  // What will not be applied, as a phrase for a message.
  std::string NotApplied;
  // The rules that go without it (none for the threat names).
  std::vector<TMalwareRuleType> Rules;
};

// A certificate file of the settings that adds no trust anchor, and why.
struct TTrustAnchorProblem {
  std::string FileName;
  std::string Reason;
};

// The engine answers for this beside IMalwareHeuristic.
struct IMalwareHeuristicStatus : IUnknown {
  static constexpr GUID IID{0x41270A61, 0xCF38, 0x46F6, {0x86, 0x85, 0x6B, 0x75, 0x3B, 0x77, 0xC7, 0x3D}};
  // How the last analysis ended.
  virtual TAnalysisStatus GetLastStatus() = 0;
  // Opens the four knowledge files as the rules would and checks each one;
  // answers one problem per file that cannot be used. A file that fails is
  // set aside: the analyses go on without it, as without a missing file.
  // Meant to be called once before the first analysis.
  virtual std::vector<TKnowledgeFileProblem> CheckKnowledgeFiles() = 0;
  // The problems that knowledge-file queries met since the last call, each
  // once per file and reason; the file concerned is set aside from then on.
  // IMalwareHeuristicReport::GetLastReport takes them too.
  virtual std::vector<TKnowledgeFileProblem> TakeQueryProblems() = 0;
  // Certificate files of the settings that add no trust anchor.
  virtual std::vector<TTrustAnchorProblem> GetTrustAnchorProblems() = 0;

 protected:
  ~IMalwareHeuristicStatus() = default;
};

// --- the report of one file ------------------------------------------------------

struct TRuleReport {
  std::string Rule;  // identifier, such as "mhRuleEntropy"
  Extended Percent = 0;
  std::vector<TThreatRecord> Threats;
  TDetailValue Details = TDetailValue::EmptyRecord();
};

// What became of one file, as the quillmark program reports it.
struct TFileReport {
  // The name as the host gave it.
  std::string File;
  // False when the path could not be read (missing, unreadable, a folder
  // that could not be listed); Error then says why.
  bool Readable = true;
  // The engine met an error of its own (not one of the file's): no verdict,
  // Error says why.
  bool AnalysisFailed = false;
  // A knowledge file failed during the analysis: the verdict went without it
  // and a warning says which.
  bool KnowledgeFailed = false;
  // The engine gave a verdict.
  bool Analyzed = false;
  Extended Percent = 0;
  std::int32_t ThreatId = 0;
  std::optional<std::string> ThreatName;
  std::optional<int> ThreatSeverity;
  // The stored rule results, by rule type; empty without a verdict.
  std::vector<TRuleReport> Rules;
  // Why the file was not analysed; empty when it was.
  std::string Error;
  // Notes on the verdict: knowledge that could not be used, a size cap that
  // cut the reading short.
  std::vector<std::string> Warnings;
  // As TAnalysisStatus.
  std::optional<std::uint64_t> Size;
  std::string Sha256;
};

// The engine answers for this beside IMalwareHeuristic.
struct IMalwareHeuristicReport : IUnknown {
  static constexpr GUID IID{0x964AD662, 0xACBB, 0x4F0A, {0x86, 0x0E, 0x0A, 0x7C, 0x82, 0xF7, 0x0F, 0xEF}};
  // The last analysis as the report of AFileName (the name to show; the
  // analysis may have been given a fuller path). Looks the threat name up
  // and takes the knowledge-file problems that queries met (see
  // IMalwareHeuristicStatus::TakeQueryProblems); asking again before the
  // next analysis gives the same report.
  virtual TFileReport GetLastReport(const std::string& AFileName) = 0;
  // FileReportJson of GetLastReport.
  virtual std::string GetLastReportJson(const std::string& AFileName, Extended AThreshold,
                                        const std::vector<std::string>& ASharedWarnings) = 0;
  // Checks the knowledge files and the certificate files once, before a
  // scan, and answers the warnings the quillmark program prints for them
  // ("knowledge file '...' cannot be used (...): not applied: ...",
  // "certificate file '...' adds no trust anchor (...)").
  virtual std::vector<std::string> CheckKnowledgeWarnings() = 0;

 protected:
  ~IMalwareHeuristicReport() = default;
};

// The JSON record of one file, on one line without its end, as
// "quillmark scan --json" prints it. Every key is always there:
//   file, fileBytes, analyzed, percent, flagged, size, sha256, threat, rules,
//   error, warnings.
// "flagged" is true when the file was analysed and its percent is at or
// above AThreshold. "warnings" lists AShared before the file's own.
QUILLMARK_API std::string FileReportJson(const TFileReport& AReport, Extended AThreshold,
                                         const std::vector<std::string>& AShared = {});

// Text for one line of a terminal: control characters and bytes that are
// not well-formed UTF-8 are shown as \xNN, everything else is kept.
QUILLMARK_API std::string PrintableText(std::string_view AText);
// A file name for one line of a terminal: as PrintableText, and a backslash
// is doubled, so that "\x0A" in a name cannot pass for an escaped line feed.
QUILLMARK_API std::string PrintableName(std::string_view AName);

}  // namespace quillmark

extern "C" {
// The library's version, "MAJOR.MINOR.PATCH" (DllGetVersion gives the same
// numbers in a DLLVERSIONINFO2 record).
QUILLMARK_API const char* QuillmarkVersion(void);
}
