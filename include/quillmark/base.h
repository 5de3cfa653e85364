// Reference-counted interface base shared by every object that crosses the
// library boundary: GUID identity, QueryInterface/AddRef/Release in the usual
// slot order, and an intrusive smart pointer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#if defined(_WIN32)
// The status codes come from the SDK, so that they mean the same to a host
// that includes <windows.h> before or after this header.
#include <winerror.h>
#define QUILLMARK_API __declspec(dllexport)
// The calling convention of the C entry points (the shell's and COM's; only
// 32-bit x86 tells it apart from the default).
#define QUILLMARK_STDCALL __stdcall
#else
#define QUILLMARK_API __attribute__((visibility("default")))
#define QUILLMARK_STDCALL
#endif

namespace quillmark {

// Status codes. On Windows HRESULT is the SDK's type (LONG) and the codes are
// the SDK's macros; elsewhere they are constants of the same names and
// values. Either way code spells them unqualified (S_OK, never
// quillmark::S_OK, which cannot compile where S_OK is a macro).
#if defined(_WIN32)
using HRESULT = long;
#else
using HRESULT = std::int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
#endif

// 80-bit x87 extended precision on x86-64 Linux and mingw.
using Extended = long double;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];

  friend bool operator==(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
  }
};

// "{4C742238-55E0-4CA8-BA2D-843ABA7FAF25}" form, upper-case hex.
QUILLMARK_API std::string GuidToString(const GUID& g);

struct IUnknown {
  static constexpr GUID IID{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT QueryInterface(const GUID& iid, void** obj) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Intrusive smart pointer over an interface (or an implementing class).
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference.
  ComPtr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) noexcept : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& o) noexcept : ComPtr(static_cast<T*>(o.get())) {}
  ~ComPtr() { reset(); }

  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Adopts a pointer that already carries one reference for us.
  static ComPtr Attach(T* p) noexcept {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  T* Detach() noexcept { return std::exchange(p_, nullptr); }

  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

  // Queries the object for interface I; empty when it does not answer for it.
  template <class I>
  ComPtr<I> As() const {
    void* out = nullptr;
    if (p_ && p_->QueryInterface(I::IID, &out) == S_OK && out)
      return ComPtr<I>::Attach(static_cast<I*>(out));
    return {};
  }

 private:
  T* p_ = nullptr;
};

template <class I, class T>
ComPtr<I> QueryInterfaceAs(T* p) {
  return ComPtr<T>(p).template As<I>();
}

}  // namespace quillmark
