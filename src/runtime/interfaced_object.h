// Reference-counted base of every object handed across the library boundary,
// its per-object lock, live-instance accounting per class, and the class
// factory behind the library's entry points.
#pragma once

#include <atomic>
#include <initializer_list>
#include <mutex>

#include "quillmark/base.h"
#include "quillmark/exports.h"

namespace quillmark::runtime {

class TInterfacedObject {
 public:
  TInterfacedObject() = default;
  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;
  virtual ~TInterfacedObject() = default;

  virtual const char* ClassName() const = 0;

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  // The same lock under the standard names, so that std::lock_guard and
  // std::scoped_lock (several objects at once, without deadlock) hold it for
  // a scope. It is recursive: a method holding it may call another that
  // takes it again.
  void lock() { FLock.lock(); }
  void unlock() { FLock.unlock(); }
  bool try_lock() { return FLock.try_lock(); }
  std::uint32_t RefCount() const { return FRefCount.load(); }

 protected:
  // Answers the interface pointer this object offers for iid, or nullptr.
  virtual void* GetInterface(const GUID& iid) = 0;

  HRESULT DoQueryInterface(const GUID& iid, void** obj) {
    if (!obj) return E_POINTER;
    *obj = GetInterface(iid);
    if (!*obj) return E_NOINTERFACE;
    DoAddRef();
    return S_OK;
  }
  std::uint32_t DoAddRef() { return ++FRefCount; }
  std::uint32_t DoRelease() {
    std::uint32_t n = --FRefCount;
    if (n == 0) delete this;
    return n;
  }

 private:
  std::atomic<std::uint32_t> FRefCount{0};
  std::recursive_mutex FLock;
};

// Implements IUnknown's three slots on a class derived from TInterfacedObject
// (needed again in every class that adds an interface base).
#define QM_IMPLEMENT_IUNKNOWN                                                          \
  ::quillmark::HRESULT QueryInterface(const ::quillmark::GUID& iid, void** obj) override { \
    return DoQueryInterface(iid, obj);                                                 \
  }                                                                                    \
  std::uint32_t AddRef() override { return DoAddRef(); }                               \
  std::uint32_t Release() override { return DoRelease(); }

// Counts the live instances of one class; a class that the entry points list
// owns one and ticks it in its constructor and destructor.
class TInstanceCounter {
 public:
  void Inc() { ++FCount; }
  void Dec() { --FCount; }
  int Count() const { return FCount.load(); }

 private:
  std::atomic<int> FCount{0};
};

// What the entry points know of one class: its name, how to make one, and
// how many are alive.
struct TClassInfo {
  const char* Name;
  IUnknown* (*Create)();  // a new instance holding no reference yet
  TInstanceCounter* Instances;
};

HRESULT DllGetInstanceInternal(const GUID& iid, void** obj, std::initializer_list<const TClassInfo*> classes);
HRESULT DllCanUnloadNowInternal(std::initializer_list<const TClassInfo*> classes);
HRESULT DllGetVersionInternal(const std::string& moduleFileName, DLLVERSIONINFO2* info);

}  // namespace quillmark::runtime
