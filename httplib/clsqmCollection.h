// The job's request collection: an ordered, 1-based collection with optional
// keys that behaves like the standard one of VB, VBA and VBScript (Count,
// Add with Key/Before/After, Item by position or key as the default member,
// Remove, and _NewEnum for For Each).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Korvanet_h.h"
#include "qmComObject.h"

namespace korvanet {

class clsqmCollection final : public qmComObject<_clsqmCollection> {
 public:
  // A new, empty collection; the caller owns the reference.
  static clsqmCollection* CreateEmpty();

  STDMETHODIMP Add(VARIANT* Item, VARIANT* Key, VARIANT* Before, VARIANT* After) override;
  STDMETHODIMP Count(long* result) override;
  STDMETHODIMP Item(VARIANT* Index, VARIANT* result) override;
  STDMETHODIMP Remove(VARIANT* Index) override;
  STDMETHODIMP _NewEnum(IUnknown** result) override;

  // The items as they stand, for the job that owns the collection.
  size_t Size() const { return mItems.size(); }
  const VARIANT& At(size_t index) const { return mItems[index].value; }

 private:
  clsqmCollection();
  ~clsqmCollection() override;

  struct Entry {
    VARIANT value;
    std::wstring key;  // empty: none
  };
  // The 0-based position an Index argument (a number or a key) names, or an
  // error HRESULT raised for the caller.
  HRESULT Find(const VARIANT* index, size_t& position);
  HRESULT RaiseVb(int number);

  std::vector<Entry> mItems;
};

}  // namespace korvanet
