// A small class over the Windows registry: test, create and delete keys,
// delete, write and read values. It keeps no handle between calls; every
// method closes what it opened before it returns, on every path.
//
// Every access goes to one registry view, by default the 32-bit one: the
// product the updater serves is a 32-bit program, whose installer wrote its
// keys below WOW6432Node on 64-bit Windows, and which reads only there. A
// 64-bit build therefore acts on the same keys as the 32-bit release build
// (on 32-bit Windows the flag is ignored).
//
// Values travel as a tRegValue: on writing its alternative decides the
// registry type, on reading the registry type decides the alternative.
//   write  int16_t / int32_t          -> REG_DWORD
//          std::wstring               -> REG_SZ, or REG_MULTI_SZ after the
//                                        CR LF -> NUL conversion
//          anything else (empty,      -> nothing is written, result 0
//          bool, double)
//   read   REG_SZ        -> std::wstring without its NULs
//          REG_DWORD     -> int32_t
//          REG_MULTI_SZ  -> std::wstring, the strings joined by CR LF
//          other types   -> Value left as it was, result 0
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <variant>

// std::monostate stands for an empty variant; bool and double for the
// variant types the registry class does not write.
using tRegValue = std::variant<std::monostate, bool, double, int16_t, int32_t, std::wstring>;

class clsqmSysRegistry {
 public:
  explicit clsqmSysRegistry(REGSAM View = KEY_WOW64_32KEY) : mView(View) {}

  // Access masks without standard rights: query, enumerate and notify for
  // reading; those plus set value, create subkey and create link for writing.
  static constexpr REGSAM kReadAccess = 0x19;
  static constexpr REGSAM kWriteAccess = 0x3F;

  // 0 when the key exists and may be read, else the system error code
  // (ERROR_FILE_NOT_FOUND when it does not exist).
  [[nodiscard]] LONG RegKeyExist(HKEY Root, const std::wstring& Key) const;

  // REG_CREATED_NEW_KEY (1) or REG_OPENED_EXISTING_KEY (2); 0 when the key
  // can be neither created nor opened. The key is flushed to disk.
  [[nodiscard]] LONG RegKeyCreate(HKEY Root, const std::wstring& Newkey) const;

  // The status of deleting the key (it must have no subkeys).
  [[nodiscard]] LONG RegKeyDelete(HKEY Root, const std::wstring& Key) const;

  // 0 or the error of opening the key. A missing value is no failure.
  [[nodiscard]] LONG RegFieldDelete(HKEY Root, const std::wstring& Key, const std::wstring& Field) const;

  // Writes Value. With Create the key is created first when missing. With
  // ReplaceVBCrLf a text holding CR LF becomes a multi-string: every CR LF
  // is replaced by NUL in the caller's Value too. Returns the error of
  // opening the key, else the error of the write when it failed, else the
  // status of closing the key. Strings are stored with their terminating
  // NUL(s).
  [[nodiscard]] LONG RegValueSet(HKEY Root, const std::wstring& Key, const std::wstring& Field, tRegValue& Value,
                                 bool ReplaceVBCrLf = true, bool Create = true) const;

  // Reads Field into Value. 0 on success; else the error of the first call
  // that failed (opening, querying, reading), or of the close when only the
  // close failed. Value is assigned only when a value of a supported type
  // was read; on every failure it is left untouched.
  [[nodiscard]] LONG RegValueGet(HKEY Root, const std::wstring& Key, const std::wstring& Field,
                                 tRegValue& Value) const;

 private:
  REGSAM mView;  // KEY_WOW64_32KEY or KEY_WOW64_64KEY
};
