#pragma once
// Move-only owners for the Windows objects the installer creates. Each one
// releases its object exactly once, on every path; copying is deleted.
#include <windows.h>
#include <objbase.h>

#include <utility>

namespace win {

// Generic owner: Traits::Invalid() is the empty value, Traits::Close(h)
// releases a non-empty one.
template <typename Traits>
class Owner {
 public:
  using Handle = typename Traits::Handle;

  Owner() noexcept : handle_(Traits::Invalid()) {}
  explicit Owner(Handle h) noexcept : handle_(h) {}
  ~Owner() { reset(); }

  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& other) noexcept : handle_(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return Traits::IsValid(handle_); }

  Handle release() noexcept {
    Handle h = handle_;
    handle_ = Traits::Invalid();
    return h;
  }
  void reset(Handle h = Traits::Invalid()) noexcept {
    if (Traits::IsValid(handle_)) Traits::Close(handle_);
    handle_ = h;
  }
  // For out-parameters: releases what is held and hands out the slot.
  Handle* put() noexcept {
    reset();
    return &handle_;
  }

 private:
  Handle handle_;
};

// Memory the system allocated with LocalAlloc for the caller (security
// descriptors, SID texts, formatted messages).
struct LocalTraits {
  using Handle = HLOCAL;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::LocalFree(h); }
};
using LocalMemory = Owner<LocalTraits>;

// Kernel handles: some calls report failure as null, others as
// INVALID_HANDLE_VALUE; neither is closed.
struct KernelTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
using UniqueHandle = Owner<KernelTraits>;

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};
using RegKey = Owner<RegKeyTraits>;

template <typename T>
struct GdiTraits {
  using Handle = T;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DeleteObject(h); }
};
using Pen = Owner<GdiTraits<HPEN>>;
using Brush = Owner<GdiTraits<HBRUSH>>;
using Bitmap = Owner<GdiTraits<HBITMAP>>;
using Font = Owner<GdiTraits<HFONT>>;

// A device context made with CreateCompatibleDC.
struct MemoryDcTraits {
  using Handle = HDC;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::DeleteDC(h); }
};
using MemoryDC = Owner<MemoryDcTraits>;

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::FreeLibrary(h); }
};
using Library = Owner<ModuleTraits>;

// A window's device context from GetDC: it has to go back to the same window.
class WindowDC {
 public:
  explicit WindowDC(HWND hwnd) noexcept : hwnd_(hwnd), dc_(::GetDC(hwnd)) {}
  ~WindowDC() {
    if (dc_ != nullptr) ::ReleaseDC(hwnd_, dc_);
  }
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;
  HDC get() const noexcept { return dc_; }
  HWND window() const noexcept { return hwnd_; }

 private:
  HWND hwnd_;
  HDC dc_;
};

// Selects an object into a DC and puts the previous one back on scope exit.
class SelectGuard {
 public:
  SelectGuard(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(::SelectObject(dc, object)) {}
  ~SelectGuard() {
    if (previous_ != nullptr && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
  }
  SelectGuard(const SelectGuard&) = delete;
  SelectGuard& operator=(const SelectGuard&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// COM interface pointer.
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  void reset() noexcept {
    if (ptr_ != nullptr) std::exchange(ptr_, nullptr)->Release();
  }
  // For creation calls that take void**.
  void** put_void() noexcept {
    reset();
    return reinterpret_cast<void**>(&ptr_);
  }
  T** put() noexcept {
    reset();
    return &ptr_;
  }

 private:
  T* ptr_ = nullptr;
};

// CoInitialize on construction; CoUninitialize only when it succeeded
// (S_OK or S_FALSE both need the matching call).
class ComApartment {
 public:
  // Apartment: CoInitialize, the single-threaded apartment, which gives the
  // thread a message-only window of COM's for as long as it lasts.
  // Multithreaded: no window; a thread that already has a single-threaded
  // apartment keeps it (and the result is then CoInitialize's S_FALSE).
  enum class Model { Apartment, Multithreaded };

  explicit ComApartment(Model model = Model::Apartment) noexcept
      : result_(model == Model::Apartment ? ::CoInitialize(nullptr)
                                          : ::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {
    if (model == Model::Multithreaded && result_ == RPC_E_CHANGED_MODE) result_ = ::CoInitialize(nullptr);
  }
  ~ComApartment() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT result() const noexcept { return result_; }

 private:
  HRESULT result_;
};

}  // namespace win
