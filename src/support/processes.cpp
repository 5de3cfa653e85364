#include "support/processes.h"

#include <strings.h>

namespace quillmark {

namespace {

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

class TProcess : public runtime::TInterfacedObject, public IProcess {
 public:
  explicit TProcess(const runtime::TProcessEntry& AInfo) { Refresh(AInfo); }
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TProcesses.TProcess"; }

  std::uint32_t ProcessID() override { return FInfo.ProcessID; }
  std::string ExeName() override { return FInfo.ExeName; }
  std::string FileName() override { return FInfo.FileName; }
  bool Removed() override { return FRemoveFlag == 2; }
  std::uint32_t ParentProcessID() override { return FInfo.ParentProcessID; }
  std::uint32_t ThreadCount() override { return FInfo.ThreadCount; }
  ComPtr<IWindow> MainWindow() override { return FMainWindow; }

  void Refresh(const runtime::TProcessEntry& AInfo) {
    FInfo = AInfo;
    FRemoveFlag = 0;
    FMainWindow.reset();
  }
  std::uint8_t FRemoveFlag = 0;

 protected:
  void* GetInterface(const GUID& iid) override {
    if (iid == IUnknown::IID || iid == IProcess::IID) return static_cast<IProcess*>(this);
    return nullptr;
  }

 private:
  runtime::TProcessEntry FInfo;
  ComPtr<IWindow> FMainWindow;
};

class TProcessList : public runtime::TInterfacedObject, public IProcessList {
 public:
  explicit TProcessList(std::shared_ptr<runtime::ITargetSystem> ATarget) : FTarget(std::move(ATarget)) {}
  QM_IMPLEMENT_IUNKNOWN
  const char* ClassName() const override { return "TProcesses.TProcessList"; }

  int Count() override { return static_cast<int>(FList.size()); }
  ComPtr<IProcess> Items(int AIndex) override {
    if (AIndex < 0 || AIndex >= Count()) return {};
    return ComPtr<IProcess>(FList[static_cast<std::size_t>(AIndex)].get());
  }

  void Update() override {
    std::vector<runtime::TProcessEntry> entries = FTarget->EnumerateProcesses();
    const bool hadItems = !FList.empty();
    for (auto& p : FList)
      if (p->FRemoveFlag != 2) p->FRemoveFlag = 1;
    for (const auto& e : entries) {
      int index = IndexOfID(e.ProcessID);
      if (index >= 0) FList[static_cast<std::size_t>(index)]->Refresh(e);
      else FList.emplace_back(new TProcess(e));
    }
    if (hadItems) {
      for (std::size_t i = FList.size(); i-- > 0;) {
        if (FList[i]->FRemoveFlag == 1 || FList[i]->FRemoveFlag == 2) {
          FList[i]->FRemoveFlag = 2;
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
    return Find([&](TProcess& p) { return SameText(p.ExeName(), name); }, AIndex);
  }
  ComPtr<IProcess> FindByFileName(const std::string& name) override {
    int i;
    return FindByFileNameIndex(name, i);
  }
  ComPtr<IProcess> FindByFileNameIndex(const std::string& name, int& AIndex) override {
    return Find([&](TProcess& p) { return !p.FileName().empty() && SameText(p.FileName(), name); }, AIndex);
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
  std::vector<ComPtr<TProcess>> FList;
};

}  // namespace

ComPtr<IProcessList> TProcesses::GetProcessList(std::shared_ptr<runtime::ITargetSystem> ATarget) {
  ComPtr<TProcessList> list(new TProcessList(std::move(ATarget)));
  list->Update();
  return ComPtr<IProcessList>(static_cast<IProcessList*>(list.get()));
}

}  // namespace quillmark
