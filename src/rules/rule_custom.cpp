#include "rules/rule_custom.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <type_traits>
#include <variant>

#include "interfaces/rule_host.h"
#include "runtime/target_system.h"
#include "support/analyzed_file.h"
#include "support/debug_log.h"
#include "support/exceptions.h"
#include "support/file_utils.h"
#include "support/localizer.h"
#include "support/processes.h"

namespace quillmark {

// --- TMalwareRuleResult -------------------------------------------------------

namespace {

TDetailValue DetailToValue(const TRuleResultDetailValue& AValue) {
  return std::visit(
      [](const auto& x) -> TDetailValue {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, bool>) return TDetailValue::FromBool(x);
        else if constexpr (std::is_same_v<T, std::int64_t>) return TDetailValue::FromInteger(x);
        else if constexpr (std::is_same_v<T, Extended>) return TDetailValue::FromNumber(x);
        else if constexpr (std::is_same_v<T, std::string>) return TDetailValue::FromText(x);
        else {
          TDetailValue list = TDetailValue::EmptyList();
          for (const auto& record : x) list.Items.push_back(DetailsToValue(record));
          return list;
        }
      },
      AValue);
}

}  // namespace

TDetailValue DetailsToValue(const TRuleResultDetails& ADetails) {
  TDetailValue record = TDetailValue::EmptyRecord();
  for (const TRuleResultDetail& d : ADetails) record.Fields.push_back({d.Name, DetailToValue(d.Value)});
  return record;
}

void* TMalwareRuleResult::GetInterface(const GUID& iid) {
  if (iid == IUnknown::IID || iid == IMalwareRuleResult::IID) return static_cast<IMalwareRuleResult*>(this);
  if (iid == ILinkObjectInterface::IID) return static_cast<ILinkObjectInterface*>(this);
  if (iid == IMalwareRuleResultEvidence::IID) return static_cast<IMalwareRuleResultEvidence*>(this);
  return nullptr;
}

std::vector<TThreatRecord> TMalwareRuleResult::GetThreatRecords() {
  std::vector<TThreatRecord> records;
  records.reserve(FThreats.size());
  for (const auto& threat : FThreats)
    if (threat) records.push_back({threat->Name(), threat->DangerPercent()});
  return records;
}

TDetailValue TMalwareRuleResult::GetDetailRecord() {
  TRuleResultDetails details;
  GetDetails(details);
  return DetailsToValue(details);
}

void TMalwareRuleResult::Reset() {
  FPercentageMatch = 0;
  FThreats.clear();
}

TThreat& TMalwareRuleResult::AddThreat(std::unique_ptr<TThreat> AThreat) {
  FThreats.push_back(std::move(AThreat));
  return *FThreats.back();
}

// --- TMalwareRuleCustom -------------------------------------------------------

TMalwareRuleCustom::TMalwareRuleCustom(IRuleHost* AOwner, TMalwareRuleType ARuleType)
    : FOwner(AOwner), FRuleType(ARuleType), FPriority(13 - static_cast<std::int32_t>(ARuleType)) {}

TMalwareRuleCustom::~TMalwareRuleCustom() = default;

void* TMalwareRuleCustom::GetInterface(const GUID& iid) {
  if (iid == IUnknown::IID || iid == IMalwareRule::IID) return static_cast<IMalwareRule*>(this);
  if (iid == IMalwareRuleInternal::IID) return static_cast<IMalwareRuleInternal*>(this);
  return nullptr;
}

ComPtr<IMalwareRuleResult> TMalwareRuleCustom::GetResult() {
  if (FResultSessions && !FResultSessions->empty()) return FResultSessions->back();
  if (!FResult) FResult = ComPtr<IMalwareRuleResult>(CreateResult());
  return FResult;
}

TMalwareRuleResult& TMalwareRuleCustom::RuleResult() {
  return *LinkedObject<TMalwareRuleResult>(GetResult());
}

runtime::ITargetSystem& TMalwareRuleCustom::Target() const {
  if (IRuleHost* owner = Owner()) return owner->Target();
  static std::shared_ptr<runtime::ITargetSystem> host = runtime::LiveHost();
  return *host;
}

TMalwareRuleSupportedTypes TMalwareRuleCustom::GetSupportedTypes() { return DoGetSupportedTypes(); }

std::string TMalwareRuleCustom::GetRuleName() { return TMalwareLocalizer::GetRuleName(FRuleType); }

void TMalwareRuleCustom::Cancel() {
  FCanceled = true;
  DoCancel();
}

void TMalwareRuleCustom::BeginSession() {
  if (!FResultSessions) FResultSessions = std::make_unique<std::vector<ComPtr<IMalwareRuleResult>>>();
  FResultSessions->push_back(ComPtr<IMalwareRuleResult>(CreateResult()));
}

void TMalwareRuleCustom::EndSession() {
  if (FResultSessions && !FResultSessions->empty()) FResultSessions->pop_back();
}

TRuleCheckCode TMalwareRuleCustom::CheckFile(const std::string&, Extended&) { return TRuleCheckCode::rccSkip; }

TRuleCheckCode TMalwareRuleCustom::CheckMemory(const void*, std::uint32_t, Extended&) {
  return TRuleCheckCode::rccSkip;
}

bool TMalwareRuleCustom::DoProgress(Extended APercent) {
  if (FOnProgress) {
    bool stop = false;
    FOnProgress(static_cast<IMalwareRule*>(this), APercent, stop);
    if (stop) Cancel();
  }
  return !FCanceled;
}

bool TMalwareRuleCustom::Analyze(PRuleAnalyzeParams AParams, TRuleCheckCode& ACheckCode) {
  TMalwareRuleResult& result = RuleResult();
  result.Reset();
  bool answer = false;
  ACheckCode = TRuleCheckCode::rccSkip;
  if (!(GetSupportedTypes() & SupportedTypeBit(AParams->ParamsType))) return false;
  FCanceled = false;

  const bool isFile = AParams->ParamsType == TMalwareRuleSupportedType::mrstFile;
  std::string longName;
  std::unique_ptr<TAnalyzedFile> ownFile;
  struct TFileScope {
    TMalwareRuleCustom& Rule;
    ~TFileScope() {
      Rule.FFile = nullptr;
      Rule.FOwnFile.reset();
    }
  } scope{*this};
  try {
    if (AParams->CheckParams && !CheckRuleAnalyzeParams(Target(), *AParams, longName, ownFile, MaxFileSize()))
      return false;
    FFile = AParams->File;
    FOwnFile = std::move(ownFile);
    if (!DoProgress(0)) return false;
    if (isFile)
      ACheckCode = CheckFile(std::string(AParams->FileName, static_cast<std::size_t>(AParams->FileNameLength)),
                             result.PercentageRef());
    else
      ACheckCode = CheckMemory(AParams->Memory, AParams->MemorySize, result.PercentageRef());
    answer = ACheckCode != TRuleCheckCode::rccSkip && ACheckCode != TRuleCheckCode::rccStop && !FCanceled;
  } catch (const std::exception& e) {
    DebugLog().LogError(TLogLevel::llError, isFile ? ".AnalyzeFile" : ".AnalyzeMemory", e, ClassName());
    answer = false;
  }
  // A file that changed while the rule read it gives no result, whatever
  // the rule made of the bytes it got.
  if (isFile && FFile && FFile->ReadFailure()) answer = false;
  if (!FCanceled) DoProgress(100);
  return answer;
}

TAnalyzedFile& TMalwareRuleCustom::AnalyzedFile(const std::string& AFileName) {
  if (FFile) return *FFile;
  if (!FOwnFile || FOwnFile->FileName() != AFileName) FOwnFile = TAnalyzedFile::Open(Target(), AFileName, MaxFileSize());
  return *FOwnFile;
}

ComPtr<IProcessList> TMalwareRuleCustom::ProcessList() {
  if (IRuleHost* owner = Owner()) return owner->ProcessList();
  std::shared_ptr<runtime::ITargetSystem> host = runtime::LiveHost();
  return TProcesses::GetProcessList(host);
}

std::uint64_t TMalwareRuleCustom::MaxFileSize() const {
  IRuleHost* owner = Owner();
  return owner ? owner->MaxFileSize() : TAnalyzedFile::kDefaultMaxFileSize;
}

bool TMalwareRuleCustom::RunPublic(TRuleAnalyzeParams& AParams, Extended* APercent) {
  TRuleCheckCode code = TRuleCheckCode::rccSkip;
  bool answer = Analyze(&AParams, code);
  TMalwareRuleResult& result = RuleResult();
  result.SetPercentageMatch(std::min<Extended>(100.0L, std::max<Extended>(0.0L, result.PercentageMatch())));
  if (APercent) *APercent = result.PercentageMatch();
  return answer;
}

namespace {
TRuleAnalyzeParams FileParams(const std::string& AFileName) {
  TRuleAnalyzeParams p;
  p.CheckParams = true;
  p.ParamsType = TMalwareRuleSupportedType::mrstFile;
  p.FileName = AFileName.data();
  p.FileNameLength = AFileName.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
                         ? std::numeric_limits<std::int32_t>::max()
                         : static_cast<std::int32_t>(AFileName.size());
  return p;
}
TRuleAnalyzeParams MemoryParams(const void* AMemory, std::uint32_t AMemorySize) {
  TRuleAnalyzeParams p;
  p.CheckParams = true;
  p.ParamsType = TMalwareRuleSupportedType::mrstMemory;
  p.Memory = AMemory;
  p.MemorySize = AMemorySize;
  return p;
}
}  // namespace

bool TMalwareRuleCustom::AnalyzeFile(const std::string& AFileName) {
  auto p = FileParams(AFileName);
  return RunPublic(p, nullptr);
}

bool TMalwareRuleCustom::AnalyzeFile(const std::string& AFileName, Extended& APercent) {
  auto p = FileParams(AFileName);
  return RunPublic(p, &APercent);
}

bool TMalwareRuleCustom::AnalyzeMemory(const void* AMemory, std::uint32_t AMemorySize) {
  auto p = MemoryParams(AMemory, AMemorySize);
  return RunPublic(p, nullptr);
}

bool TMalwareRuleCustom::AnalyzeMemory(const void* AMemory, std::uint32_t AMemorySize, Extended& APercent) {
  auto p = MemoryParams(AMemory, AMemorySize);
  return RunPublic(p, &APercent);
}

namespace {
// Open failures that mean "no file by this name".
bool IsNotFound(const runtime::EOSError& e) {
  return e.Code() == ENOENT || e.Code() == ENOTDIR || e.Code() == ENAMETOOLONG;
}
}  // namespace

bool TMalwareRuleCustom::CheckRuleAnalyzeParams(runtime::ITargetSystem& ATarget, TRuleAnalyzeParams& AParams,
                                                std::string& ALongName, std::unique_ptr<TAnalyzedFile>& AFile,
                                                std::uint64_t AMaxFileSize) {
  if (AParams.ParamsType == TMalwareRuleSupportedType::mrstMemory)
    return AParams.Memory != nullptr && AParams.MemorySize != 0 && AParams.MemorySize != 0xFFFFFFFFu;

  if (AParams.FileNameLength < 1 || AParams.FileNameLength == std::numeric_limits<std::int32_t>::max() ||
      AParams.FileName == nullptr)
    return false;
  const std::string name(AParams.FileName, static_cast<std::size_t>(AParams.FileNameLength));
  auto notFound = [&] { return EFileNotFound(TMalwareLocalizer::MsgF(TMalwareLocalizerStr::MSG_FILE_NOT_FOUND, {name})); };
  try {
    AFile = TAnalyzedFile::Open(ATarget, name, AMaxFileSize);
  } catch (const runtime::EOSError& e) {
    if (!IsNotFound(e)) throw;
    std::string longName = FileUtils::Add32KPrefix(ATarget, name);
    if (longName == name) throw notFound();
    try {
      AFile = TAnalyzedFile::Open(ATarget, longName, AMaxFileSize);
    } catch (const runtime::EOSError& e2) {
      if (IsNotFound(e2)) throw notFound();
      throw;
    }
    ALongName = std::move(longName);
    AParams.FileName = ALongName.data();
    AParams.FileNameLength = static_cast<std::int32_t>(ALongName.size());
  }
  AParams.File = AFile.get();
  return AFile->IsPEImage();
}

}  // namespace quillmark
