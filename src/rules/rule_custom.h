// Base of every heuristic rule and of every rule result.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "interfaces/malware_rule_internal.h"
#include "quillmark/host_api.h"
#include "quillmark/malware_heuristic.h"
#include "rules/threat_custom.h"
#include "runtime/interfaced_object.h"

namespace quillmark {

namespace runtime {
class ITargetSystem;
}
class IRuleHost;
class TAnalyzedFile;
struct IProcessList;

// One named field of a rule result, for hosts that show results generically
// (IMalwareRuleResultEvidence, the JSON record).
struct TRuleResultDetail;
// A list of records, each a list of named fields (a process's connections).
using TRuleResultDetailRecords = std::vector<std::vector<TRuleResultDetail>>;
using TRuleResultDetailValue = std::variant<bool, std::int64_t, Extended, std::string, TRuleResultDetailRecords>;
struct TRuleResultDetail {
  std::string Name;
  TRuleResultDetailValue Value;
};
using TRuleResultDetails = std::vector<TRuleResultDetail>;

// The details as the public value tree: a record of the fields, records
// lists of records.
TDetailValue DetailsToValue(const TRuleResultDetails& ADetails);

class TMalwareRuleResult : public runtime::TInterfacedObject,
                           public ILinkObjectInterface,
                           public IMalwareRuleResult,
                           public IMalwareRuleResultEvidence {
 public:
  using TThreatList = std::vector<std::unique_ptr<TThreat>>;

  TMalwareRuleResult() = default;
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TMalwareRuleResult"; }

#pragma push_macro("GetObject")  // the slot's own name, never <windows.h>'s macro
#undef GetObject
  // ILinkObjectInterface
  void* GetObject() override { return this; }
#pragma pop_macro("GetObject")
  // IMalwareRuleResult
  Extended GetPercentageMatch() override { return FPercentageMatch; }
  // IMalwareRuleResultEvidence
  std::vector<TThreatRecord> GetThreatRecords() override;
  TDetailValue GetDetailRecord() override;

  Extended PercentageMatch() const { return FPercentageMatch; }
  void SetPercentageMatch(Extended AValue) { FPercentageMatch = AValue; }
  Extended& PercentageRef() { return FPercentageMatch; }
  const TThreatList& Threats() const { return FThreats; }

  // Percentage 0, no threats; subclasses clear their own fields too.
  virtual void Reset();

  TThreat& AddThreat(std::unique_ptr<TThreat> AThreat);
  template <class T>
  T& AddThreat(Extended ADangerPercent) {
    return static_cast<T&>(AddThreat(TThreat::Create<T>(ADangerPercent)));
  }
  template <class T, class G>
  T& AddThreat(G ASubGroup, Extended ADangerPercent) {
    return static_cast<T&>(AddThreat(T::template Create<T>(ASubGroup, ADangerPercent)));
  }

  // The result's own fields by name (rule-specific results add theirs).
  virtual void GetDetails(TRuleResultDetails& ADetails) const { (void)ADetails; }

 protected:
  void* GetInterface(const GUID& iid) override;

 private:
  TThreatList FThreats;
  Extended FPercentageMatch = 0;
};

class TMalwareRuleCustom : public runtime::TInterfacedObject, public IMalwareRuleInternal, public IMalwareRule {
 public:
  TMalwareRuleCustom(IRuleHost* AOwner, TMalwareRuleType ARuleType);
  ~TMalwareRuleCustom() override;
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TMalwareRuleCustom"; }

  // IMalwareRule
  TMalwareRuleProgressEvent GetOnProgress() override { return FOnProgress; }
  void SetOnProgress(TMalwareRuleProgressEvent AValue) override { FOnProgress = std::move(AValue); }
  bool GetSelected() override { return FSelected; }
  void SetSelected(bool AValue) override { FSelected = AValue; }
  ComPtr<IMalwareRuleResult> GetResult() override;
  TMalwareRuleSupportedTypes GetSupportedTypes() override;
  TMalwareRuleType GetRuleType() override { return FRuleType; }
  std::string GetRuleName() override;
  std::int32_t GetPriority() override { return FPriority; }
  void SetPriority(std::int32_t AValue) override { FPriority = AValue; }
  bool AnalyzeFile(const std::string& AFileName) override;
  bool AnalyzeFile(const std::string& AFileName, Extended& APercent) override;
  bool AnalyzeMemory(const void* AMemory, std::uint32_t AMemorySize) override;
  bool AnalyzeMemory(const void* AMemory, std::uint32_t AMemorySize, Extended& APercent) override;
  void Cancel() override;
  void BeginSession() override;
  void EndSession() override;
  void Close() override { DoClose(); }

  // IMalwareRuleInternal
  bool Analyze(PRuleAnalyzeParams AParams, TRuleCheckCode& ACheckCode) override;
  void PostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                   TMalwareRuleResult* ARuleResult) override {
    DoPostAnalyze(AParams, AResult, ARuleResult);
  }

  // The engine that created the rule; null once that engine is gone (a rule
  // the host kept then runs on its own: the live host, no knowledge files).
  IRuleHost* Owner() const { return FOwner.load(); }
  // Called by the engine as it goes.
  void DetachOwner() { FOwner = nullptr; }
  // The result object behind GetResult.
  TMalwareRuleResult& RuleResult();
  // The system under examination (the owner's, or the live host).
  runtime::ITargetSystem& Target() const;
  bool Canceled() const { return FCanceled.load(); }

  // Validates analysis parameters. A file is opened once, through its
  // long-path form when it does not exist under its name (the long name is
  // kept in ALongName and pointed to by AParams), and kept in AFile, which
  // AParams->File then points to. Throws EFileNotFound when neither name
  // exists and runtime::EOSError when the file cannot be opened (not a
  // regular file, no permission); answers whether it is a PE image.
  static bool CheckRuleAnalyzeParams(runtime::ITargetSystem& ATarget, TRuleAnalyzeParams& AParams,
                                     std::string& ALongName, std::unique_ptr<TAnalyzedFile>& AFile,
                                     std::uint64_t AMaxFileSize);

 protected:
  void* GetInterface(const GUID& iid) override;

  virtual TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent);
  virtual TRuleCheckCode CheckMemory(const void* AMemory, std::uint32_t AMemorySize, Extended& APercent);
  virtual void DoCancel() {}
  virtual void DoClose() {}
  // A new, empty result of the rule's result class.
  virtual TMalwareRuleResult* CreateResult() { return new TMalwareRuleResult(); }
  virtual TMalwareRuleSupportedTypes DoGetSupportedTypes() const {
    return SupportedTypeBit(TMalwareRuleSupportedType::mrstFile);
  }
  virtual void DoPostAnalyze(PRuleAnalyzeParams AParams, TMalwareHeuristicResult* AResult,
                             TMalwareRuleResult* ARuleResult) {
    (void)AParams, (void)AResult, (void)ARuleResult;
  }

  // Reports the rule's own progress; answers false once the rule is cancelled.
  bool DoProgress(Extended APercent);

  // The file of the running file check, opened once for the whole analysis.
  // Outside an analysis's file check (a test calling CheckFile directly) the
  // file named is opened on first use. Throws runtime::EOSError.
  TAnalyzedFile& AnalyzedFile(const std::string& AFileName);
  // Bytes of a target file read at most (the owner's setting).
  std::uint64_t MaxFileSize() const;
  // The owner's cached list of running processes; a rule without an owner
  // enumerates the target's processes afresh.
  ComPtr<IProcessList> ProcessList();

 private:
  bool RunPublic(TRuleAnalyzeParams& AParams, Extended* APercent);

  TMalwareRuleProgressEvent FOnProgress;
  std::atomic<IRuleHost*> FOwner;
  // The file of the running check, and the one opened for a check that was
  // handed none.
  TAnalyzedFile* FFile = nullptr;
  std::unique_ptr<TAnalyzedFile> FOwnFile;
  bool FSelected = true;
  ComPtr<IMalwareRuleResult> FResult;
  std::unique_ptr<std::vector<ComPtr<IMalwareRuleResult>>> FResultSessions;
  std::atomic<bool> FCanceled{false};
  TMalwareRuleType FRuleType;
  std::int32_t FPriority;
};

// Class reference of a rule: makes a new instance for an engine.
using TMalwareRuleClass = TMalwareRuleCustom* (*)(IRuleHost* AOwner, TMalwareRuleType ARuleType);

template <class T>
TMalwareRuleCustom* RuleClassOf(IRuleHost* AOwner, TMalwareRuleType ARuleType) {
  return new T(AOwner, ARuleType);
}

}  // namespace quillmark
