// The registry class against Wine's real registry, in keys the tests make
// below HKEY_CURRENT_USER\Software\QmTest and remove again.
#include "clsqmSysRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    msKey = L"Software\\QmTest\\" + std::wstring(name, name + strlen(name));
    RegDeleteTreeW(HKEY_CURRENT_USER, msKey.c_str());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, msKey.c_str()); }

  // The type and raw bytes the registry holds for a value (type 0 when
  // there is none).
  std::pair<DWORD, std::wstring> ReadRaw(const std::wstring& field) const {
    DWORD type = 0, size = 512;
    std::wstring bytes(256, L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, msKey.c_str(), field.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, bytes.data(),
                     &size) != ERROR_SUCCESS) {
      return {0, L""};
    }
    bytes.resize(size / sizeof(wchar_t));
    return {type, bytes};
  }
  void WriteRaw(const std::wstring& field, DWORD type, const std::wstring& data) const {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, msKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, field.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                            static_cast<DWORD>(data.size() * sizeof(wchar_t))));
    RegCloseKey(key);
  }

  clsqmSysRegistry mReg;
  std::wstring msKey;
};

// What each value becomes in the registry (type and bytes), and what
// reading it back gives; unsupported types (no value, true/false, a
// fraction: one branch) are neither written nor read.
TEST_F(RegistryTest, ValuesAreStoredWithTheirTypeAndReadBack) {
  const struct Case {
    const wchar_t* name;
    tRegValue value;
    bool bReplaceCrLf;
    DWORD type;
    std::wstring raw;
    tRegValue back;
  } kCases[] = {
      {L"L", int32_t{-2}, true, REG_DWORD, std::wstring(L"\xFFFE\xFFFF", 2), int32_t{-2}},
      {L"N", int16_t{-7}, true, REG_DWORD, std::wstring(L"\xFFF9\xFFFF", 2), int32_t{-7}},
      {L"T", std::wstring(L"x"), true, REG_SZ, std::wstring(L"x\0", 2), std::wstring(L"x")},
      {L"", std::wstring(L"Standard \u00e4\u00f6\u00fc"), true, REG_SZ, std::wstring(L"Standard \u00e4\u00f6\u00fc\0", 13),
       std::wstring(L"Standard \u00e4\u00f6\u00fc")},
      {L"M", std::wstring(L"eins\r\nzwei\r\ndrei"), true, REG_MULTI_SZ, std::wstring(L"eins\0zwei\0drei\0\0", 16),
       std::wstring(L"eins\r\nzwei\r\ndrei")},
      {L"S", std::wstring(L"a\r\nb"), false, REG_SZ, std::wstring(L"a\r\nb\0", 5), std::wstring(L"a\r\nb")},
      {L"U1", tRegValue(), true, 0, L"", std::wstring(L"unchanged")},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::internal::String::ShowWideCString(c.name));
    tRegValue v = c.value;
    ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, c.name, v, c.bReplaceCrLf));
    EXPECT_EQ(ReadRaw(c.name), std::make_pair(c.type, c.raw));
    tRegValue back = std::wstring(L"unchanged");
    EXPECT_EQ(mReg.RegValueGet(HKEY_CURRENT_USER, msKey, c.name, back), c.type ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(back, c.back);
  }
  // The caller sees the conversion of its text.
  tRegValue converted = std::wstring(L"a\r\nb");
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"C", converted));
  EXPECT_EQ(tRegValue(std::wstring(L"a\0b", 3)), converted);
}

// (A text with its terminator, as installers write "Root", is read by
// every run: qmRunTest's start lines.)
TEST_F(RegistryTest, ValuesOfOtherProgramsReadBackWithoutTerminatorsAndOtherTypesLeaveTheValue) {
  WriteRaw(L"Multi", REG_MULTI_SZ, std::wstring(L"a\0b\0\0", 5));
  WriteRaw(L"E", REG_EXPAND_SZ, std::wstring(L"%WINDIR%\0", 9));
  WriteRaw(L"B", REG_BINARY, std::wstring(L"\x0201", 1));
  tRegValue list, v = std::wstring(L"unchanged");
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"Multi", list));
  EXPECT_EQ(tRegValue(std::wstring(L"a\r\nb")), list);
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"E", v));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"B", v));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"X", v));
  EXPECT_EQ(tRegValue(std::wstring(L"unchanged")), v);
}

// Keys come and go; a write without Create needs an existing key, and
// values are deleted.
TEST_F(RegistryTest, KeysAndValuesAreCreatedAndDeletedAndAWriteWithoutCreateNeedsTheKey) {
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(REG_CREATED_NEW_KEY, mReg.RegKeyCreate(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, mReg.RegKeyCreate(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegKeyDelete(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyDelete(HKEY_CURRENT_USER, msKey));
  tRegValue v = std::wstring(L"x");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"T", v, true, /*Create=*/false));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey + L"\\Deep\\Er", L"T", v));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey + L"\\Deep\\Er"));
  // A value name longer than the registry allows: the write's error comes back.
  EXPECT_NE(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, std::wstring(20000, L'n'), v));
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"D", v));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegFieldDelete(HKEY_CURRENT_USER, msKey, L"D"));
  EXPECT_EQ(ReadRaw(L"D").first, 0u);
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegFieldDelete(HKEY_CURRENT_USER, msKey, L"D"));  // missing value: no failure
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegFieldDelete(HKEY_CURRENT_USER, msKey + L"\\Nope", L"D"));
}

}  // namespace
