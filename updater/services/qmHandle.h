// One owner for every Windows handle the updater holds.
//
// qmUniqueHandle<Traits> is a move-only wrapper in the manner of WIL's
// unique_any: it closes its handle when it goes out of scope, and can hand
// the close status back to callers that must report it (the registry class
// returns the status of RegCloseKey on some paths).
#pragma once

#include <windows.h>

#include <utility>

template <typename Traits>
class qmUniqueHandle {
 public:
  using handle_type = typename Traits::type;

  qmUniqueHandle() noexcept = default;
  explicit qmUniqueHandle(handle_type h) noexcept : mh(h) {}
  qmUniqueHandle(const qmUniqueHandle&) = delete;
  qmUniqueHandle& operator=(const qmUniqueHandle&) = delete;
  qmUniqueHandle(qmUniqueHandle&& other) noexcept : mh(other.release()) {}
  qmUniqueHandle& operator=(qmUniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~qmUniqueHandle() { reset(); }

  [[nodiscard]] handle_type get() const noexcept { return mh; }
  [[nodiscard]] bool valid() const noexcept { return mh != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // For functions that return a handle through an out-parameter. Closes
  // whatever was held before.
  [[nodiscard]] handle_type* put() noexcept {
    reset();
    return &mh;
  }

  [[nodiscard]] handle_type release() noexcept { return std::exchange(mh, Traits::invalid()); }

  void reset(handle_type h = Traits::invalid()) noexcept {
    handle_type old = std::exchange(mh, h);
    if (old != Traits::invalid()) Traits::close(old);
  }

  // Closes now and returns what the close function said (the handle is
  // given up either way).
  auto close() noexcept {
    return Traits::close(std::exchange(mh, Traits::invalid()));
  }

 private:
  handle_type mh = Traits::invalid();
};

struct qmHKeyTraits {
  using type = HKEY;
  static constexpr type invalid() noexcept { return nullptr; }
  static LSTATUS close(type h) noexcept { return h ? RegCloseKey(h) : ERROR_INVALID_HANDLE; }
};

struct qmKernelHandleTraits {  // processes, threads, events: closed handle is nullptr
  using type = HANDLE;
  static type invalid() noexcept { return nullptr; }
  static BOOL close(type h) noexcept { return h ? CloseHandle(h) : FALSE; }
};

struct qmFileHandleTraits {  // CreateFileW: the failed handle is INVALID_HANDLE_VALUE
  using type = HANDLE;
  static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static BOOL close(type h) noexcept { return h != INVALID_HANDLE_VALUE ? CloseHandle(h) : FALSE; }
};

struct qmFindHandleTraits {
  using type = HANDLE;
  static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static BOOL close(type h) noexcept { return h != INVALID_HANDLE_VALUE ? FindClose(h) : FALSE; }
};

struct qmModuleTraits {
  using type = HMODULE;
  static constexpr type invalid() noexcept { return nullptr; }
  static BOOL close(type h) noexcept { return h ? FreeLibrary(h) : FALSE; }
};

struct qmGdiObjectTraits {  // fonts and other GDI objects of the window
  using type = HGDIOBJ;
  static constexpr type invalid() noexcept { return nullptr; }
  static BOOL close(type h) noexcept { return h ? DeleteObject(h) : FALSE; }
};

using qmUniqueHKey = qmUniqueHandle<qmHKeyTraits>;
using qmUniqueKernelHandle = qmUniqueHandle<qmKernelHandleTraits>;
using qmUniqueFile = qmUniqueHandle<qmFileHandleTraits>;
using qmUniqueFind = qmUniqueHandle<qmFindHandleTraits>;
using qmUniqueModule = qmUniqueHandle<qmModuleTraits>;
using qmUniqueGdiObject = qmUniqueHandle<qmGdiObjectTraits>;
