// Live, reference-counted view of the target's running processes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillmark/base.h"
#include "runtime/interfaced_object.h"
#include "runtime/target_system.h"

namespace quillmark {

struct IWindow : IUnknown {
  static constexpr GUID IID{0xC3871FC3, 0x46E6, 0x419C, {0x9D, 0x35, 0xA8, 0xFE, 0x21, 0x95, 0x8F, 0xC6}};
  virtual std::uint64_t Handle() = 0;

 protected:
  ~IWindow() = default;
};

struct IProcess : IUnknown {
  static constexpr GUID IID{0xA52E0C9B, 0x4615, 0x4A7E, {0x96, 0xBD, 0x6E, 0x3A, 0x6C, 0x68, 0x42, 0x7C}};
  virtual std::uint32_t ProcessID() = 0;
  virtual std::string ExeName() = 0;
  virtual std::string FileName() = 0;
  virtual bool Removed() = 0;
  virtual std::uint32_t ParentProcessID() = 0;
  virtual std::uint32_t ThreadCount() = 0;
  virtual ComPtr<IWindow> MainWindow() = 0;

 protected:
  ~IProcess() = default;
};

struct IProcessList : IUnknown {
  static constexpr GUID IID{0xF63529D1, 0x5582, 0x466E, {0xB7, 0x43, 0x4C, 0xEC, 0x5A, 0xDA, 0x85, 0x28}};
  virtual int Count() = 0;
  virtual ComPtr<IProcess> Items(int AIndex) = 0;
  // Re-reads the process table: processes that exited are flagged Removed and
  // dropped, new ones appended.
  virtual void Update() = 0;
  virtual ComPtr<IProcess> FindByID(std::uint32_t AProcessID) = 0;
  virtual ComPtr<IProcess> FindByIDIndex(std::uint32_t AProcessID, int& AIndex) = 0;
  virtual ComPtr<IProcess> FindByName(const std::string& AName) = 0;
  virtual ComPtr<IProcess> FindByNameIndex(const std::string& AName, int& AIndex) = 0;
  // Full image path, compared without regard to case.
  virtual ComPtr<IProcess> FindByFileName(const std::string& AFileName) = 0;
  virtual ComPtr<IProcess> FindByFileNameIndex(const std::string& AFileName, int& AIndex) = 0;
  // Orders the list with the comparer it was made with.
  virtual void Sort() = 0;
  // Orders the list with another comparer.
  virtual void SortWith(const std::function<int(IProcess&, IProcess&)>& AComparer) = 0;

 protected:
  ~IProcessList() = default;
};

// Orders processes: negative, zero or positive as the first comes before,
// with or after the second.
using TProcessComparer = std::function<int(IProcess&, IProcess&)>;

class TProcesses {
 public:
  // By executable name, case-sensitive, in the collation of the current locale.
  static int TProcessListComparer(IProcess& ALeft, IProcess& ARight);

  // A new list filled from the target's process table, in the table's order;
  // its Sort uses AComparer. Throws EOSError when the table cannot be read.
  static ComPtr<IProcessList> GetProcessList(std::shared_ptr<runtime::ITargetSystem> ATarget,
                                             TProcessComparer AComparer = TProcessListComparer);
  // One process of the target by identifier; none when it is not running.
  static ComPtr<IProcess> GetProcess(std::shared_ptr<runtime::ITargetSystem> ATarget, std::uint32_t AProcessID);
  // The first process with that executable name (AUseFullFileName false) or
  // image path (true), compared without regard to case; none when absent.
  static ComPtr<IProcess> GetProcess(std::shared_ptr<runtime::ITargetSystem> ATarget, const std::string& AProcessName,
                                     bool AUseFullFileName);
  static bool HasProcess(std::shared_ptr<runtime::ITargetSystem> ATarget, const std::string& AProcessName,
                         bool AUseFullFileName);
  // Calls AEach for every entry of the process table until it answers false.
  static void EnumProcesses(runtime::ITargetSystem& ATarget,
                            const std::function<bool(const runtime::TProcessEntry&)>& AEach);
  // Calls AProc for every running process whose image path is AFileName
  // (compared without regard to case).
  static void ForEachProcessWithFileName(std::shared_ptr<runtime::ITargetSystem> ATarget,
                                         const std::string& AFileName, const std::function<void(IProcess&)>& AProc);
};

}  // namespace quillmark
