#include "support/processes.h"

#include <algorithm>
#include <cstring>

#include "support/text_utils.h"

namespace quillmark {

namespace {

// Removal state of a list item.
enum : std::uint8_t { kCurrent = 0, kNotSeen = 1, kRemoved = 2 };

class TWindow : public runtime::TInterfacedObject, public IWindow {
 public:
  explicit TWindow(std::uint64_t AHandle) : FHandle(AHandle) {}
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TProcesses.TWindow"; }
  std::uint64_t Handle() override { return FHandle; }

 protected:
  void* GetInterface(const GUID& iid) override {
    if (iid == IUnknown::IID || iid == IWindow::IID) return static_cast<IWindow*>(this);
    return nullptr;
  }

 private:
  std::uint64_t FHandle;
};

class TProcess : public runtime::TInterfacedObject, public IProcess {
 public:
  TProcess(std::shared_ptr<runtime::ITargetSystem> ATarget, const runtime::TProcessEntry& AInfo)
      : FTarget(std::move(ATarget)) {
    Refresh(AInfo);
  }
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TProcesses.TProcess"; }

  std::uint32_t ProcessID() override { return FInfo.ProcessID; }
  std::string ExeName() override { return FInfo.ExeName; }
  std::string FileName() override { return FInfo.FileName; }
  bool Removed() override { return FRemoveFlag == kRemoved; }
  std::uint32_t ParentProcessID() override { return FInfo.ParentProcessID; }
  std::uint32_t ThreadCount() override { return FInfo.ThreadCount; }
  // The first top-level window of the process, topmost first, that is
  // visible and has neither parent nor owner. Looked up on first request
  // after each refresh, so that a list nobody asks about windows never
  // touches the window system.
  ComPtr<IWindow> MainWindow() override {
    if (!FMainWindowKnown && FTarget) {
      FMainWindowKnown = true;
      for (const runtime::TWindowEntry& w : FTarget->EnumerateTopLevelWindows())
        if (w.ProcessID == FInfo.ProcessID && w.Handle != 0 && w.Visible && !w.HasParent && !w.HasOwner) {
          FMainWindow = ComPtr<IWindow>(new TWindow(w.Handle));
          break;
        }
    }
    return FMainWindow;
  }

  // Takes the entry's values; the item counts as current again.
  void Refresh(const runtime::TProcessEntry& AInfo) {
    FInfo = AInfo;
    FRemoveFlag = kCurrent;
    FMainWindow.reset();
    FMainWindowKnown = false;
  }
  std::uint8_t FRemoveFlag = kCurrent;

 protected:
  void* GetInterface(const GUID& iid) override {
    if (iid == IUnknown::IID || iid == IProcess::IID) return static_cast<IProcess*>(this);
    return nullptr;
  }

 private:
  std::shared_ptr<runtime::ITargetSystem> FTarget;
  runtime::TProcessEntry FInfo;
  ComPtr<IWindow> FMainWindow;
  bool FMainWindowKnown = false;
};

class TProcessList : public runtime::TInterfacedObject, public IProcessList {
 public:
  TProcessList(std::shared_ptr<runtime::ITargetSystem> ATarget, TProcessComparer AComparer)
      : FTarget(std::move(ATarget)), FComparer(std::move(AComparer)) {}
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TProcesses.TProcessList"; }

  int Count() override { return static_cast<int>(FList.size()); }
  ComPtr<IProcess> Items(int AIndex) override {
    if (AIndex < 0 || AIndex >= Count()) return {};
    return ComPtr<IProcess>(FList[static_cast<std::size_t>(AIndex)].get());
  }

  // Refreshes the items still running, appends new processes, and flags and
  // drops the ones that exited. The idle pseudo-process (identifier 0, the
  // first entry of a Windows process snapshot) refreshes an item but is never
  // added.
  void Update() override {
    std::vector<runtime::TProcessEntry> entries = FTarget->EnumerateProcesses();
    if (entries.empty()) {
      for (auto& p : FList) p->FRemoveFlag = kRemoved;
      FList.clear();
      return;
    }
    const bool hadItems = !FList.empty();
    for (auto& p : FList)
      if (p->FRemoveFlag != kRemoved) p->FRemoveFlag = kNotSeen;
    for (const auto& e : entries) {
      int index = IndexOfID(e.ProcessID);
      if (index >= 0) FList[static_cast<std::size_t>(index)]->Refresh(e);
      else if (e.ProcessID != 0) FList.emplace_back(new TProcess(FTarget, e));
    }
    if (hadItems) {
      for (std::size_t i = FList.size(); i-- > 0;) {
        if (FList[i]->FRemoveFlag != kCurrent) {
          FList[i]->FRemoveFlag = kRemoved;
          FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
    }
  }

  ComPtr<IProcess> FindByID(std::uint32_t id) override {
    int i;
    return FindByIDIndex(id, i);
  }
  ComPtr<IProcess> FindByIDIndex(std::uint32_t id, int& AIndex) override {
    AIndex = IndexOfID(id);
    return Items(AIndex);
  }
  ComPtr<IProcess> FindByName(const std::string& name) override {
    int i;
    return FindByNameIndex(name, i);
  }
  ComPtr<IProcess> FindByNameIndex(const std::string& name, int& AIndex) override {
    return Find([&](TProcess& p) { return FTarget->SameFileName(p.ExeName(), name); }, AIndex);
  }
  ComPtr<IProcess> FindByFileName(const std::string& name) override {
    int i;
    return FindByFileNameIndex(name, i);
  }
  // A process whose image path could not be read is never found.
  ComPtr<IProcess> FindByFileNameIndex(const std::string& name, int& AIndex) override {
    return Find([&](TProcess& p) { return !p.FileName().empty() && FTarget->SameFileName(p.FileName(), name); }, AIndex);
  }

  void Sort() override { SortWith(FComparer); }
  void SortWith(const TProcessComparer& AComparer) override {
    if (!AComparer) return;
    std::stable_sort(FList.begin(), FList.end(), [&](const ComPtr<TProcess>& a, const ComPtr<TProcess>& b) {
      return AComparer(*a, *b) < 0;
    });
  }

 protected:
  void* GetInterface(const GUID& iid) override {
    if (iid == IUnknown::IID || iid == IProcessList::IID) return static_cast<IProcessList*>(this);
    return nullptr;
  }

 private:
  int IndexOfID(std::uint32_t id) const {
    for (std::size_t i = 0; i < FList.size(); ++i)
      if (FList[i]->ProcessID() == id) return static_cast<int>(i);
    return -1;
  }
  template <class Pred>
  ComPtr<IProcess> Find(Pred pred, int& AIndex) {
    for (std::size_t i = 0; i < FList.size(); ++i)
      if (pred(*FList[i])) {
        AIndex = static_cast<int>(i);
        return ComPtr<IProcess>(FList[i].get());
      }
    AIndex = -1;
    return {};
  }

  std::shared_ptr<runtime::ITargetSystem> FTarget;
  TProcessComparer FComparer;
  std::vector<ComPtr<TProcess>> FList;
};

}  // namespace

int TProcesses::TProcessListComparer(IProcess& ALeft, IProcess& ARight) {
  return std::strcoll(ALeft.ExeName().c_str(), ARight.ExeName().c_str());
}

ComPtr<IProcessList> TProcesses::GetProcessList(std::shared_ptr<runtime::ITargetSystem> ATarget,
                                                TProcessComparer AComparer) {
  ComPtr<TProcessList> list(new TProcessList(std::move(ATarget), std::move(AComparer)));
  list->Update();
  return ComPtr<IProcessList>(static_cast<IProcessList*>(list.get()));
}

ComPtr<IProcess> TProcesses::GetProcess(std::shared_ptr<runtime::ITargetSystem> ATarget, std::uint32_t AProcessID) {
  return GetProcessList(std::move(ATarget))->FindByID(AProcessID);
}

ComPtr<IProcess> TProcesses::GetProcess(std::shared_ptr<runtime::ITargetSystem> ATarget,
                                        const std::string& AProcessName, bool AUseFullFileName) {
  ComPtr<IProcessList> list = GetProcessList(std::move(ATarget));
  return AUseFullFileName ? list->FindByFileName(AProcessName) : list->FindByName(AProcessName);
}

bool TProcesses::HasProcess(std::shared_ptr<runtime::ITargetSystem> ATarget, const std::string& AProcessName,
                            bool AUseFullFileName) {
  return static_cast<bool>(GetProcess(std::move(ATarget), AProcessName, AUseFullFileName));
}

void TProcesses::EnumProcesses(runtime::ITargetSystem& ATarget,
                               const std::function<bool(const runtime::TProcessEntry&)>& AEach) {
  for (const runtime::TProcessEntry& e : ATarget.EnumerateProcesses())
    if (!AEach(e)) return;
}

void TProcesses::ForEachProcessWithFileName(std::shared_ptr<runtime::ITargetSystem> ATarget,
                                            const std::string& AFileName,
                                            const std::function<void(IProcess&)>& AProc) {
  if (AFileName.empty()) return;
  if (!ATarget) ATarget = runtime::LiveHost();
  runtime::ITargetSystem& target = *ATarget;
  ComPtr<IProcessList> list = GetProcessList(std::move(ATarget));
  for (int i = 0; i < list->Count(); ++i) {
    ComPtr<IProcess> p = list->Items(i);
    if (!p->FileName().empty() && target.SameFileName(p->FileName(), AFileName)) AProc(*p);
  }
}

}  // namespace quillmark
