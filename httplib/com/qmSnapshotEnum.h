// An enumerator over a snapshot of COM items (connections, connection
// points, variants): the enumerator owns its copies, and each item handed
// out is a copy of its own for the caller.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <utility>
#include <vector>

#include "qmModule.h"

namespace korvanet {

// Copying and dropping one item, per kind.
inline HRESULT qmCopyItem(CONNECTDATA& to, const CONNECTDATA& from) {
  to = from;
  if (to.pUnk) to.pUnk->AddRef();
  return S_OK;
}
inline void qmDropItem(CONNECTDATA& item) {
  if (item.pUnk) item.pUnk->Release();
}
inline HRESULT qmCopyItem(IConnectionPoint*& to, IConnectionPoint* from) {
  to = from;
  if (to) to->AddRef();
  return S_OK;
}
inline void qmDropItem(IConnectionPoint*& item) {
  if (item) item->Release();
}
inline HRESULT qmCopyItem(VARIANT& to, const VARIANT& from) {
  VariantInit(&to);
  return VariantCopy(&to, const_cast<VARIANT*>(&from));
}
inline void qmDropItem(VARIANT& item) { VariantClear(&item); }

template <class Enum, class Item>
class qmSnapshotEnum final : public Enum {
 public:
  // Copies the items; false from Valid() when a copy failed.
  qmSnapshotEnum(REFIID iid, const std::vector<Item>& items) : mIid(iid), mItems(items.size()) {
    for (size_t i = 0; i < items.size(); ++i)
      if (FAILED(qmCopyItem(mItems[i], items[i]))) mbValid = false;
    qmModuleLock();  // last: a constructor that throws never reaches the destructor
  }
  ~qmSnapshotEnum() {
    for (Item& item : mItems) qmDropItem(item);
    qmModuleUnlock();
  }
  bool Valid() const { return mbValid; }

  // A new enumerator of copies of the items; E_OUTOFMEMORY or the copy's error.
  static HRESULT Create(REFIID iid, const std::vector<Item>& items, Enum** result) {
    *result = nullptr;
    qmSnapshotEnum* created = nullptr;
    try {
      created = new qmSnapshotEnum(iid, items);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    if (!created->Valid()) {
      created->Release();
      return E_OUTOFMEMORY;
    }
    *result = created;
    return S_OK;
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
      HRESULT hr = qmCopyItem(items[n], mItems[mNext]);
      if (FAILED(hr)) {
        for (ULONG i = 0; i < n; ++i) qmDropItem(items[i]);
        if (fetched) *fetched = 0;
        return hr;
      }
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
    HRESULT hr = Create(mIid, mItems, copy);
    if (SUCCEEDED(hr)) static_cast<qmSnapshotEnum*>(*copy)->mNext = mNext;
    return hr;
  }

 private:
  IID mIid;
  volatile LONG mRefs = 1;
  std::vector<Item> mItems;
  size_t mNext = 0;
  bool mbValid = true;
};

}  // namespace korvanet
