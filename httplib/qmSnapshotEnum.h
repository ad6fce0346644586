// An enumerator over a snapshot of COM items (connections, connection
// points): each item holds a reference for as long as the enumerator lives,
// and each item handed out carries one for the caller.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <new>
#include <utility>
#include <vector>

#include "qmModule.h"

namespace korvanet {

inline IUnknown* qmItemObject(const CONNECTDATA& item) { return item.pUnk; }
inline IUnknown* qmItemObject(IConnectionPoint* item) { return item; }

template <class Enum, class Item>
class qmSnapshotEnum final : public Enum {
 public:
  // Takes the items with one reference each.
  qmSnapshotEnum(REFIID iid, std::vector<Item> items) : mIid(iid), mItems(std::move(items)) { qmModuleLock(); }
  ~qmSnapshotEnum() {
    for (Item& item : mItems)
      if (qmItemObject(item)) qmItemObject(item)->Release();
    qmModuleUnlock();
  }
  qmSnapshotEnum(const qmSnapshotEnum&) = delete;
  qmSnapshotEnum& operator=(const qmSnapshotEnum&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == mIid) {
      *object = static_cast<Enum*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&mRefs)); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG refs = InterlockedDecrement(&mRefs);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }
  STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override {
    if (!items || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && mNext < mItems.size(); ++n, ++mNext) {
      items[n] = mItems[mNext];
      if (qmItemObject(items[n])) qmItemObject(items[n])->AddRef();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    const bool whole = mItems.size() - mNext >= count;
    mNext = whole ? mNext + count : mItems.size();
    return whole ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    mNext = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(Enum** copy) override {
    if (!copy) return E_POINTER;
    *copy = nullptr;
    std::vector<Item> items;
    try {
      items = mItems;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    for (Item& item : items)
      if (qmItemObject(item)) qmItemObject(item)->AddRef();
    auto* clone = new (std::nothrow) qmSnapshotEnum(mIid, std::move(items));
    if (!clone) return E_OUTOFMEMORY;  // (the copies' references leak only on exhaustion)
    clone->mNext = mNext;
    *copy = clone;
    return S_OK;
  }

 private:
  IID mIid;
  volatile LONG mRefs = 1;
  std::vector<Item> mItems;
  size_t mNext = 0;
};

}  // namespace korvanet
