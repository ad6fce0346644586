#include "clsqmSysRegistry.h"

#include "qmHandle.h"

#include <vector>

namespace {

constexpr wchar_t kCrLf[] = L"\r\n";

// Registry string data is counted in bytes; ours in UTF-16 units.
DWORD ByteCount(const std::wstring& s) { return static_cast<DWORD>((s.size() + 1) * sizeof(wchar_t)); }

}  // namespace

LONG clsqmSysRegistry::RegKeyExist(HKEY Root, const std::wstring& Key) const {
  qmUniqueHKey key;
  return RegOpenKeyExW(Root, Key.c_str(), 0, kReadAccess | mView, key.put());
}

LONG clsqmSysRegistry::RegKeyCreate(HKEY Root, const std::wstring& Newkey) const {
  qmUniqueHKey key;
  DWORD disposition = 0;
  if (RegCreateKeyExW(Root, Newkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kWriteAccess | mView, nullptr, key.put(),
                      &disposition) != ERROR_SUCCESS) {
    return 0;
  }
  RegFlushKey(key.get());
  return static_cast<LONG>(disposition);
}

LONG clsqmSysRegistry::RegKeyDelete(HKEY Root, const std::wstring& Key) const {
  return RegDeleteKeyExW(Root, Key.c_str(), mView, 0);
}

LONG clsqmSysRegistry::RegFieldDelete(HKEY Root, const std::wstring& Key, const std::wstring& Field) const {
  qmUniqueHKey key;
  if (LONG status = RegOpenKeyExW(Root, Key.c_str(), 0, kWriteAccess | mView, key.put()); status != ERROR_SUCCESS) {
    return status;
  }
  RegDeleteValueW(key.get(), Field.c_str());  // a missing value is no failure
  return key.close();
}

LONG clsqmSysRegistry::RegValueSet(HKEY Root, const std::wstring& Key, const std::wstring& Field, tRegValue& Value,
                                   bool ReplaceVBCrLf, bool Create) const {
  if (Create) (void)RegKeyCreate(Root, Key);

  bool bMultiString = false;
  if (auto* text = std::get_if<std::wstring>(&Value); text && ReplaceVBCrLf && text->find(kCrLf) != std::wstring::npos) {
    std::wstring converted;
    converted.reserve(text->size());
    for (size_t i = 0; i < text->size(); ++i) {
      if ((*text)[i] == L'\r' && i + 1 < text->size() && (*text)[i + 1] == L'\n') {
        converted.push_back(L'\0');
        ++i;
      } else {
        converted.push_back((*text)[i]);
      }
    }
    *text = std::move(converted);
    bMultiString = true;
  }

  qmUniqueHKey key;
  if (LONG status = RegOpenKeyExW(Root, Key.c_str(), 0, kWriteAccess | mView, key.put()); status != ERROR_SUCCESS) {
    return status;
  }

  LONG writeStatus = ERROR_SUCCESS;
  if (auto* i16 = std::get_if<int16_t>(&Value)) {
    DWORD data = static_cast<DWORD>(static_cast<int32_t>(*i16));
    writeStatus = RegSetValueExW(key.get(), Field.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4);
  } else if (auto* i32 = std::get_if<int32_t>(&Value)) {
    DWORD data = static_cast<DWORD>(*i32);
    writeStatus = RegSetValueExW(key.get(), Field.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4);
  } else if (auto* text = std::get_if<std::wstring>(&Value)) {
    // c_str() supplies the string's NUL; a multi-string needs one more to
    // end the list.
    std::wstring data = *text;
    DWORD type = REG_SZ;
    DWORD bytes = ByteCount(data);
    if (bMultiString) {
      data.push_back(L'\0');
      type = REG_MULTI_SZ;
      bytes = ByteCount(data);
    }
    writeStatus = RegSetValueExW(key.get(), Field.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  }

  LONG closeStatus = key.close();
  return writeStatus != ERROR_SUCCESS ? writeStatus : closeStatus;
}

LONG clsqmSysRegistry::RegValueGet(HKEY Root, const std::wstring& Key, const std::wstring& Field,
                                   tRegValue& Value) const {
  qmUniqueHKey key;
  if (LONG status = RegOpenKeyExW(Root, Key.c_str(), 0, kReadAccess | mView, key.put()); status != ERROR_SUCCESS) {
    return status;
  }

  DWORD type = 0;
  DWORD size = 0;
  if (LONG status = RegQueryValueExW(key.get(), Field.c_str(), nullptr, &type, nullptr, &size);
      status != ERROR_SUCCESS) {
    return status;
  }

  LONG readStatus = ERROR_SUCCESS;
  if (type == REG_SZ || type == REG_MULTI_SZ) {
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    readStatus = RegQueryValueExW(key.get(), Field.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                                  &got);
    if (readStatus == ERROR_SUCCESS) {
      std::wstring data(buffer.data(), got / sizeof(wchar_t));
      std::wstring text;
      text.reserve(data.size());
      if (type == REG_SZ) {
        for (wchar_t c : data)
          if (c != L'\0') text.push_back(c);
      } else {
        // The list terminator (the last string's NUL and the empty string
        // after it) is not part of the value; every other NUL separates
        // two lines.
        if (data.size() >= 2 && data[data.size() - 1] == L'\0' && data[data.size() - 2] == L'\0') {
          data.resize(data.size() - 2);
        } else if (!data.empty() && data.back() == L'\0') {
          data.pop_back();
        }
        for (wchar_t c : data) {
          if (c == L'\0') {
            text += kCrLf;
          } else {
            text.push_back(c);
          }
        }
      }
      Value = std::move(text);
    }
  } else if (type == REG_DWORD) {
    DWORD data = 0;
    DWORD got = sizeof(data);
    readStatus = RegQueryValueExW(key.get(), Field.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &got);
    if (readStatus == ERROR_SUCCESS) Value = static_cast<int32_t>(data);
  }

  LONG closeStatus = key.close();
  return readStatus != ERROR_SUCCESS ? readStatus : closeStatus;
}
