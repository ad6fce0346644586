#include "clsqmCollection.h"

#include <new>

#include "qmSnapshotEnum.h"

namespace korvanet {
namespace {

const qmClassIdentity kIdentity = {&IID__clsqmCollection, &CLSID_clsqmCollection, nullptr,
                                   L"Korvanet.clsqmCollection", nullptr};

// The run-time errors script programmers know from the standard collection.
constexpr int kInvalidCall = 5;
constexpr int kOutOfRange = 9;
constexpr int kTypeMismatch = 13;
constexpr int kDuplicateKey = 457;

bool IsMissing(const VARIANT* value) {
  return !value || V_VT(value) == VT_EMPTY ||
         (V_VT(value) == VT_ERROR && V_ERROR(value) == DISP_E_PARAMNOTFOUND);
}

bool SameKey(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

}  // namespace

clsqmCollection* clsqmCollection::CreateEmpty() { return new (std::nothrow) clsqmCollection(); }

clsqmCollection::clsqmCollection() : qmComObject(kIdentity) {}

clsqmCollection::~clsqmCollection() {
  for (Entry& entry : mItems) VariantClear(&entry.value);
}

HRESULT clsqmCollection::RaiseVb(int number) {
  const wchar_t* text = L"Invalid procedure call or argument";
  if (number == kOutOfRange) text = L"Subscript out of range";
  if (number == kTypeMismatch) text = L"Type mismatch";
  if (number == kDuplicateKey) text = L"This key is already associated with an element of this collection";
  return Raise(MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number), text);
}

HRESULT clsqmCollection::Find(const VARIANT* index, size_t& position) {
  index = qmDeref(index);
  if (IsMissing(index)) return RaiseVb(kInvalidCall);
  if (V_VT(index) == VT_BSTR || V_VT(index) == (VT_BSTR | VT_BYREF)) {
    const BSTR text = V_VT(index) == VT_BSTR ? V_BSTR(index) : *V_BSTRREF(index);
    const std::wstring key = qmToWString(text);
    for (size_t i = 0; i < mItems.size(); ++i) {
      if (!mItems[i].key.empty() && SameKey(mItems[i].key, key)) {
        position = i;
        return S_OK;
      }
    }
    return RaiseVb(kInvalidCall);
  }
  qmVariant number;
  if (FAILED(VariantChangeType(number.get(), const_cast<VARIANT*>(index), 0, VT_I4)))
    return RaiseVb(kTypeMismatch);
  const long n = V_I4(number.get());
  if (n < 1 || static_cast<size_t>(n) > mItems.size()) return RaiseVb(kOutOfRange);
  position = static_cast<size_t>(n - 1);
  return S_OK;
}

STDMETHODIMP clsqmCollection::Add(VARIANT* Item, VARIANT* Key, VARIANT* Before, VARIANT* After) {
  try {
    const VARIANT* item = qmDeref(Item);
    if (!item) return E_POINTER;
    std::wstring key;
    const VARIANT* keyValue = qmDeref(Key);
    if (!IsMissing(keyValue)) {
      qmVariant text;
      if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(keyValue), 0, VT_BSTR)))
        return RaiseVb(kTypeMismatch);
      key = qmToWString(V_BSTR(text.get()));
      if (key.empty()) return RaiseVb(kInvalidCall);
      for (const Entry& entry : mItems)
        if (!entry.key.empty() && SameKey(entry.key, key)) return RaiseVb(kDuplicateKey);
    }
    const bool hasBefore = !IsMissing(qmDeref(Before));
    const bool hasAfter = !IsMissing(qmDeref(After));
    if (hasBefore && hasAfter) return RaiseVb(kInvalidCall);
    size_t position = mItems.size();
    if (hasBefore || hasAfter) {
      HRESULT hr = Find(hasBefore ? Before : After, position);
      if (FAILED(hr)) return hr;
      if (hasAfter) ++position;
    }
    Entry entry;
    VariantInit(&entry.value);
    HRESULT hr = VariantCopyInd(&entry.value, const_cast<VARIANT*>(item));
    if (FAILED(hr)) return hr;
    entry.key = std::move(key);
    try {
      mItems.insert(mItems.begin() + static_cast<std::ptrdiff_t>(position), entry);
    } catch (...) {
      VariantClear(&entry.value);
      throw;
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP clsqmCollection::Count(long* result) {
  if (!result) return E_POINTER;
  *result = static_cast<long>(mItems.size());
  return S_OK;
}

STDMETHODIMP clsqmCollection::Item(VARIANT* Index, VARIANT* result) {
  if (!result) return E_POINTER;
  VariantInit(result);
  size_t position = 0;
  HRESULT hr = Find(Index, position);
  if (FAILED(hr)) return hr;
  return VariantCopy(result, &mItems[position].value);
}

STDMETHODIMP clsqmCollection::Remove(VARIANT* Index) {
  size_t position = 0;
  HRESULT hr = Find(Index, position);
  if (FAILED(hr)) return hr;
  VARIANT removed = mItems[position].value;
  mItems.erase(mItems.begin() + static_cast<std::ptrdiff_t>(position));
  // Released last: the item's own release may call back into the collection.
  VariantClear(&removed);
  return S_OK;
}

STDMETHODIMP clsqmCollection::_NewEnum(IUnknown** result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  try {
    std::vector<VARIANT> items;
    for (const Entry& entry : mItems) items.push_back(entry.value);  // borrowed; the enumerator copies
    IEnumVARIANT* enumerator = nullptr;
    HRESULT hr = qmSnapshotEnum<IEnumVARIANT, VARIANT>::Create(IID_IEnumVARIANT, items, &enumerator);
    *result = enumerator;
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace korvanet
