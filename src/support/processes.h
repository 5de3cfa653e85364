// Live, reference-counted view of the target's running processes.
#pragma once

#include <cstdint>
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

 protected:
  ~IProcessList() = default;
};

class TProcesses {
 public:
  // A new list filled from the target's process table; throws EOSError when
  // the table cannot be read.
  static ComPtr<IProcessList> GetProcessList(std::shared_ptr<runtime::ITargetSystem> ATarget);
};

}  // namespace quillmark
