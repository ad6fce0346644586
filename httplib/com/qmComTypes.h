// Small owners for the handles Korvanet holds: automation strings, variants
// and WinHTTP handles. Each is move-only and frees what it owns exactly once.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <winhttp.h>
#include <wrl/client.h>

#include <string>
#include <utility>

namespace korvanet {

using Microsoft::WRL::ComPtr;

// An automation string (BSTR) with one owner.
class qmBstr {
 public:
  qmBstr() = default;
  explicit qmBstr(const std::wstring& text)
      : mp(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~qmBstr() { SysFreeString(mp); }
  qmBstr(qmBstr&& other) noexcept : mp(std::exchange(other.mp, nullptr)) {}
  qmBstr& operator=(qmBstr&& other) noexcept {
    if (this != &other) {
      SysFreeString(mp);
      mp = std::exchange(other.mp, nullptr);
    }
    return *this;
  }
  qmBstr(const qmBstr&) = delete;
  qmBstr& operator=(const qmBstr&) = delete;

  BSTR get() const { return mp; }
  BSTR* put() {
    SysFreeString(mp);
    mp = nullptr;
    return &mp;
  }
  // Hands ownership to the caller (an [out] parameter).
  BSTR release() { return std::exchange(mp, nullptr); }

 private:
  BSTR mp = nullptr;
};

// The text of a BSTR; a null BSTR is the empty text.
inline std::wstring qmToWString(BSTR text) {
  return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

// A fresh BSTR for an [out] parameter; E_OUTOFMEMORY when allocation fails.
inline HRESULT qmToBstr(const std::wstring& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return (*out || text.empty()) ? S_OK : E_OUTOFMEMORY;
}

// A VARIANT with one owner; cleared when it goes.
class qmVariant {
 public:
  qmVariant() { VariantInit(&mv); }
  ~qmVariant() { VariantClear(&mv); }
  qmVariant(const qmVariant&) = delete;
  qmVariant& operator=(const qmVariant&) = delete;
  VARIANT* get() { return &mv; }
  const VARIANT* get() const { return &mv; }
  VARIANT* put() {
    VariantClear(&mv);
    return &mv;
  }

 private:
  VARIANT mv;
};

// The variant a script passed, seen through any number of VT_BYREF
// VT_VARIANT wrappers.
inline const VARIANT* qmDeref(const VARIANT* value) {
  for (int depth = 0; value && depth < 8 && V_VT(value) == (VT_VARIANT | VT_BYREF); ++depth)
    value = V_VARIANTREF(value);
  return value;
}

// The one owner of a handle; Traits says how it is closed and which value
// means "none" to the function that made it.
template <class Traits>
class qmUniqueHandle {
 public:
  using Handle = typename Traits::Handle;
  qmUniqueHandle() = default;
  explicit qmUniqueHandle(Handle handle) : mh(Traits::Valid(handle)) {}
  ~qmUniqueHandle() { reset(); }
  qmUniqueHandle(qmUniqueHandle&& other) noexcept : mh(std::exchange(other.mh, nullptr)) {}
  qmUniqueHandle& operator=(qmUniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      mh = std::exchange(other.mh, nullptr);
    }
    return *this;
  }
  qmUniqueHandle(const qmUniqueHandle&) = delete;
  qmUniqueHandle& operator=(const qmUniqueHandle&) = delete;

  Handle get() const { return mh; }
  explicit operator bool() const { return mh != nullptr; }
  void reset(Handle handle = nullptr) {
    if (mh) Traits::Close(mh);
    mh = Traits::Valid(handle);
  }

 private:
  Handle mh = nullptr;
};

// A handle for which null means "none", closed by CloseFunction.
template <class H, auto CloseFunction>
struct qmNullHandleTraits {
  using Handle = H;
  static Handle Valid(Handle handle) { return handle; }
  static void Close(Handle handle) { CloseFunction(handle); }
};

// A WinHTTP handle (session, connection or request).
using qmInternetHandle = qmUniqueHandle<qmNullHandleTraits<HINTERNET, &WinHttpCloseHandle>>;
// An event or another kernel object.
using qmKernelHandle = qmUniqueHandle<qmNullHandleTraits<HANDLE, &CloseHandle>>;
// An open registry key.
using qmRegKey = qmUniqueHandle<qmNullHandleTraits<HKEY, &RegCloseKey>>;

// A file handle from CreateFileW, which reports failure as INVALID_HANDLE_VALUE.
struct qmFileHandleTraits {
  using Handle = HANDLE;
  static Handle Valid(Handle handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }
  static void Close(Handle handle) { CloseHandle(handle); }
};
using qmFileHandle = qmUniqueHandle<qmFileHandleTraits>;

}  // namespace korvanet
