// The C entry points: options, engines and results as opaque handles over the
// library's public interfaces, answering the JSON record the quillmark
// program prints.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result_json.h"
#include "quillmark/exports.h"
#include "quillmark/host_api.h"
#include "quillmark/malware_heuristic.h"
#include "quillmark/quillmark_c.h"

using namespace quillmark;

struct qm_options {
  std::optional<std::string> DataFolder;
  std::vector<std::string> CAFiles;
  std::vector<TMalwareRuleType> Rules;
  std::uint64_t MaxFileSize = 0;
  double Threshold = 50.0;
  bool Strict = false;
};

struct qm_engine {
  ComPtr<IMalwareHeuristic> Engine;
  ComPtr<IMalwareHeuristicReport> Report;
  double Threshold = 50.0;
  // Problems with the knowledge and certificate files, said in every record.
  std::vector<std::string> Warnings;
};

struct qm_result {
  std::string Json;
  std::string Error;
  bool Analyzed = false;
  bool Flagged = false;
  double Percent = 0;
  std::int32_t ThreatId = 0;
};

namespace {

char* CopyString(const std::string& AText) {
  char* copy = static_cast<char*>(std::malloc(AText.size() + 1));
  if (copy) std::memcpy(copy, AText.c_str(), AText.size() + 1);
  return copy;
}

qm_status Fail(qm_status AStatus, char** AError, const std::string& AText) {
  if (AError) *AError = CopyString(AText);
  return AStatus;
}

// Runs F, turning an escaping exception into a status (C callers cannot
// catch them).
template <class F>
qm_status Guarded(char** AError, F&& AFunction) {
  try {
    return AFunction();
  } catch (const std::bad_alloc&) {
    return Fail(QM_ERROR_INTERNAL, AError, "out of memory");
  } catch (const std::exception& e) {
    return Fail(QM_ERROR_INTERNAL, AError, e.what());
  } catch (...) {
    return Fail(QM_ERROR_INTERNAL, AError, "unknown error");
  }
}

std::string Absolute(const std::string& APath) {
  std::error_code ec;
  std::string full = std::filesystem::absolute(APath, ec).string();
  return ec ? APath : full;
}

// A rule named as the quillmark program takes it: its identifier
// ("mhRuleEntropy") or that without "mhRule" ("entropy"), in any case, with
// '-' or '_' between words allowed ("double-extension").
bool RuleTypeFromName(const std::string& AName, TMalwareRuleType& AType) {
  auto fold = [](std::string_view text) {
    std::string out;
    for (char c : text)
      if (c != '-' && c != '_') out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return out;
  };
  std::string wanted = fold(AName);
  if (wanted.rfind("mhrule", 0) == 0) wanted.erase(0, 6);
  if (wanted.empty()) return false;
  for (int i = 0; i < kMalwareRuleTypeCount; ++i) {
    const auto type = static_cast<TMalwareRuleType>(i);
    if (fold(std::string_view(RuleTypeIdentifier(type)).substr(6)) == wanted) {
      AType = type;
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" {

const char* qm_version(void) { return QuillmarkVersion(); }

const char* qm_status_text(qm_status status) {
  switch (status) {
    case QM_OK: return "success";
    case QM_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case QM_ERROR_KNOWLEDGE: return "a knowledge or certificate file cannot be used";
    case QM_ERROR_IO: return "the file could not be read";
    case QM_ERROR_NOT_ANALYZED: return "the file gave no verdict";
    case QM_ERROR_INTERNAL: return "internal error";
  }
  return "unknown status";
}

void qm_string_free(char* text) { std::free(text); }

qm_options* qm_options_new(void) { return new (std::nothrow) qm_options(); }

void qm_options_free(qm_options* options) { delete options; }

qm_status qm_options_set_data_folder(qm_options* options, const char* folder) {
  if (!options || !folder || !*folder) return QM_ERROR_INVALID_ARGUMENT;
  return Guarded(nullptr, [&] {
    options->DataFolder = Absolute(folder);
    return QM_OK;
  });
}

qm_status qm_options_add_ca_file(qm_options* options, const char* file) {
  if (!options || !file || !*file) return QM_ERROR_INVALID_ARGUMENT;
  return Guarded(nullptr, [&] {
    options->CAFiles.push_back(Absolute(file));
    return QM_OK;
  });
}

qm_status qm_options_add_rule(qm_options* options, const char* rule) {
  if (!options || !rule) return QM_ERROR_INVALID_ARGUMENT;
  return Guarded(nullptr, [&] {
    TMalwareRuleType type{};
    if (!RuleTypeFromName(rule, type)) return QM_ERROR_INVALID_ARGUMENT;
    options->Rules.push_back(type);
    return QM_OK;
  });
}

qm_status qm_options_set_max_file_size(qm_options* options, uint64_t bytes) {
  if (!options) return QM_ERROR_INVALID_ARGUMENT;
  options->MaxFileSize = bytes;
  return QM_OK;
}

qm_status qm_options_set_threshold(qm_options* options, double percent) {
  if (!options || !(percent >= 0.0 && percent <= 100.0)) return QM_ERROR_INVALID_ARGUMENT;
  options->Threshold = percent;
  return QM_OK;
}

qm_status qm_options_set_strict(qm_options* options, int strict) {
  if (!options) return QM_ERROR_INVALID_ARGUMENT;
  options->Strict = strict != 0;
  return QM_OK;
}

qm_status qm_engine_new(const qm_options* options, qm_engine** engine, char** error) {
  if (error) *error = nullptr;
  if (!engine) return Fail(QM_ERROR_INVALID_ARGUMENT, error, "no place for the engine");
  *engine = nullptr;
  const qm_options defaults;
  const qm_options& o = options ? *options : defaults;
  return Guarded(error, [&] {
    void* obj = nullptr;
    if (DllGetInstance(IMalwareHeuristic::IID, &obj) != S_OK || !obj)
      return Fail(QM_ERROR_INTERNAL, error, "the heuristic engine could not be created");
    auto made = std::make_unique<qm_engine>();
    made->Engine = ComPtr<IMalwareHeuristic>::Attach(static_cast<IMalwareHeuristic*>(obj));
    made->Report = made->Engine.As<IMalwareHeuristicReport>();
    if (!made->Report) return Fail(QM_ERROR_INTERNAL, error, "the engine gives no report");
    made->Threshold = o.Threshold;

    auto settings = made->Engine->GetSettings().As<IMalwareHeuristicSettingsEx>();
    if (!settings) return Fail(QM_ERROR_INTERNAL, error, "the engine's settings cannot be changed");
    if (o.MaxFileSize) settings->SetMaxFileSize(o.MaxFileSize);
    if (o.DataFolder) settings->SetDataFolder(*o.DataFolder);
    for (const std::string& file : o.CAFiles) settings->AddCAFile(file);
    if (!o.Rules.empty())
      for (TMalwareRuleType type : made->Engine->GetRegisteredRules())
        if (ComPtr<IMalwareRule> rule = made->Engine->GetRule(type))
          rule->SetSelected(std::find(o.Rules.begin(), o.Rules.end(), type) != o.Rules.end());

    made->Warnings = made->Report->CheckKnowledgeWarnings();
    if (o.Strict && !made->Warnings.empty()) return Fail(QM_ERROR_KNOWLEDGE, error, made->Warnings.front());
    *engine = made.release();
    return QM_OK;
  });
}

void qm_engine_free(qm_engine* engine) { delete engine; }

char* qm_engine_warnings(qm_engine* engine) {
  if (!engine) return nullptr;
  try {
    std::string json = "[";
    for (std::size_t i = 0; i < engine->Warnings.size(); ++i) json += (i ? "," : "") + JsonString(engine->Warnings[i]);
    return CopyString(json + "]");
  } catch (...) {
    return nullptr;
  }
}

qm_status qm_engine_scan_file(qm_engine* engine, const char* path, qm_result** result, char** error) {
  if (error) *error = nullptr;
  if (result) *result = nullptr;
  if (!engine || !path || !*path || !result) return Fail(QM_ERROR_INVALID_ARGUMENT, error, "invalid argument");
  return Guarded(error, [&] {
    // The engine opens the file itself (regular files only, never
    // blocking); rules judge a file by where it lives, so they get the
    // full path, and the record names it as the caller did.
    engine->Engine->AnalyzeFile(Absolute(path));
    TFileReport report = engine->Report->GetLastReport(path);
    auto made = std::make_unique<qm_result>();
    made->Json = FileReportJson(report, engine->Threshold, engine->Warnings);
    made->Analyzed = report.Analyzed;
    made->Percent = static_cast<double>(report.Percent);
    made->Flagged = report.Analyzed && report.Percent >= engine->Threshold;
    made->ThreatId = report.ThreatId;
    made->Error = report.Error;
    qm_status status = QM_OK;
    if (report.AnalysisFailed) {
      status = QM_ERROR_INTERNAL;
    } else if (!report.Analyzed) {
      auto state = engine->Engine.As<IMalwareHeuristicStatus>();
      const bool readError =
          !report.Readable || (state && state->GetLastStatus().Outcome == TAnalysisOutcome::aoReadError);
      status = readError ? QM_ERROR_IO : QM_ERROR_NOT_ANALYZED;
    }
    *result = made.release();
    return status;
  });
}

void qm_result_free(qm_result* result) { delete result; }
const char* qm_result_json(const qm_result* result) { return result ? result->Json.c_str() : ""; }
int qm_result_analyzed(const qm_result* result) { return result && result->Analyzed ? 1 : 0; }
double qm_result_percent(const qm_result* result) { return result ? result->Percent : 0.0; }
int qm_result_flagged(const qm_result* result) { return result && result->Flagged ? 1 : 0; }
int32_t qm_result_threat_id(const qm_result* result) { return result ? result->ThreatId : 0; }
const char* qm_result_error(const qm_result* result) { return result ? result->Error.c_str() : ""; }

}  // extern "C"
