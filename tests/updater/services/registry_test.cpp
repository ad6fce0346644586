// The registry class against Wine's real registry, in keys the tests make
// below HKEY_CURRENT_USER\Software\QmTest and remove again.
#include "clsqmSysRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    msKey = L"Software\\QmTest\\" + std::wstring(name, name + strlen(name));
    RegDeleteTreeW(HKEY_CURRENT_USER, msKey.c_str());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, msKey.c_str()); }

  // The type and raw bytes the registry holds for a value.
  struct Raw {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    LONG status = 0;
  };
  Raw ReadRaw(const std::wstring& field) const {
    Raw raw;
    DWORD size = 0;
    raw.status = RegGetValueW(HKEY_CURRENT_USER, msKey.c_str(), field.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &raw.type,
                              nullptr, &size);
    if (raw.status != ERROR_SUCCESS) return raw;
    raw.bytes.resize(size);
    raw.status = RegGetValueW(HKEY_CURRENT_USER, msKey.c_str(), field.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &raw.type,
                              raw.bytes.data(), &size);
    raw.bytes.resize(size);
    return raw;
  }
  void WriteRaw(const std::wstring& field, DWORD type, const void* data, DWORD size) const {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, msKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, field.c_str(), 0, type, static_cast<const BYTE*>(data), size));
    RegCloseKey(key);
  }
  static std::vector<BYTE> Utf16Bytes(const std::wstring& s) {
    const BYTE* p = reinterpret_cast<const BYTE*>(s.data());
    return std::vector<BYTE>(p, p + s.size() * sizeof(wchar_t));
  }

  clsqmSysRegistry mReg;
  std::wstring msKey;
};

TEST_F(RegistryTest, KeyExistenceCreationAndDeletion) {
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(REG_CREATED_NEW_KEY, mReg.RegKeyCreate(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, mReg.RegKeyCreate(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegKeyDelete(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyDelete(HKEY_CURRENT_USER, msKey));
}

TEST_F(RegistryTest, KeyThatCannotBeCreatedGivesZero) {
  // An invalid root cannot hold keys.
  EXPECT_EQ(0, mReg.RegKeyCreate(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678)), L"X"));
}

TEST_F(RegistryTest, WholeNumbersAreStoredAsDword) {
  tRegValue v = int32_t{-2};
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"L", v));
  tRegValue s = int16_t{7};
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"N", s));
  Raw raw = ReadRaw(L"L");
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), raw.type);
  EXPECT_EQ((std::vector<BYTE>{0xFE, 0xFF, 0xFF, 0xFF}), raw.bytes);
  EXPECT_EQ((std::vector<BYTE>{7, 0, 0, 0}), ReadRaw(L"N").bytes);

  tRegValue back;
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"L", back));
  EXPECT_EQ(tRegValue(int32_t{-2}), back);
}

TEST_F(RegistryTest, TextIsStoredAsRegSzWithItsTerminator) {
  tRegValue v = std::wstring(L"x");
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"T", v));
  Raw raw = ReadRaw(L"T");
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), raw.type);
  EXPECT_EQ(Utf16Bytes(std::wstring(L"x\0", 2)), raw.bytes);

  tRegValue defaultValue = std::wstring(L"Standard \u00e4\u00f6\u00fc");
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"", defaultValue));
  tRegValue back;
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"", back));
  EXPECT_EQ(tRegValue(std::wstring(L"Standard \u00e4\u00f6\u00fc")), back);
}

TEST_F(RegistryTest, TextWithLineBreaksRoundTripsAsMultiString) {
  tRegValue v = std::wstring(L"eins\r\nzwei\r\ndrei");
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"M", v));
  // The caller sees the conversion.
  EXPECT_EQ(tRegValue(std::wstring(L"eins\0zwei\0drei", 14)), v);
  Raw raw = ReadRaw(L"M");
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), raw.type);
  EXPECT_EQ(Utf16Bytes(std::wstring(L"eins\0zwei\0drei\0\0", 16)), raw.bytes);

  tRegValue back;
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"M", back));
  EXPECT_EQ(tRegValue(std::wstring(L"eins\r\nzwei\r\ndrei")), back);
}

TEST_F(RegistryTest, LineBreaksStayInRegSzWithoutConversion) {
  tRegValue v = std::wstring(L"a\r\nb");
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"S", v, /*ReplaceVBCrLf=*/false));
  EXPECT_EQ(tRegValue(std::wstring(L"a\r\nb")), v);
  Raw raw = ReadRaw(L"S");
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), raw.type);
  EXPECT_EQ(Utf16Bytes(std::wstring(L"a\r\nb\0", 5)), raw.bytes);
}

TEST_F(RegistryTest, ValuesWrittenByOtherProgramsReadBackWithoutTerminators) {
  const wchar_t sz[] = L"C:\\OL";
  WriteRaw(L"Root", REG_SZ, sz, sizeof(sz));
  const wchar_t multi[] = L"a\0b\0";  // plus the literal's own NUL: a\0b\0\0
  WriteRaw(L"Multi", REG_MULTI_SZ, multi, sizeof(multi));
  tRegValue root, list;
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"Root", root));
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"Multi", list));
  EXPECT_EQ(tRegValue(std::wstring(L"C:\\OL")), root);
  EXPECT_EQ(tRegValue(std::wstring(L"a\r\nb")), list);
}

TEST_F(RegistryTest, UnsupportedTypesAreNeitherWrittenNorRead) {
  for (tRegValue v : {tRegValue(), tRegValue(true), tRegValue(3.5)}) {
    EXPECT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"U", v));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRaw(L"U").status);
  }
  const wchar_t expand[] = L"%WINDIR%";
  WriteRaw(L"E", REG_EXPAND_SZ, expand, sizeof(expand));
  const BYTE binary[] = {1, 2, 3};
  WriteRaw(L"B", REG_BINARY, binary, sizeof(binary));
  tRegValue v = std::wstring(L"unchanged");
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"E", v));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"B", v));
  EXPECT_EQ(tRegValue(std::wstring(L"unchanged")), v);
}

TEST_F(RegistryTest, MissingKeysAndValuesLeaveTheValueUntouched) {
  tRegValue v = int32_t{42};
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"X", v));
  ASSERT_EQ(REG_CREATED_NEW_KEY, mReg.RegKeyCreate(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegValueGet(HKEY_CURRENT_USER, msKey, L"X", v));
  EXPECT_EQ(tRegValue(int32_t{42}), v);
}

TEST_F(RegistryTest, WriteWithoutCreateNeedsAnExistingKey) {
  tRegValue v = std::wstring(L"x");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"T", v, true, /*Create=*/false));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey + L"\\Deep\\Er", L"T", v));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegKeyExist(HKEY_CURRENT_USER, msKey + L"\\Deep\\Er"));
}

TEST_F(RegistryTest, RefusedWriteReportsTheWriteError) {
  // A key opened without KEY_SET_VALUE rights cannot be written: simulate a
  // refused write with a value name the registry rejects (longer than the
  // 16383 characters a value name may have).
  ASSERT_EQ(REG_CREATED_NEW_KEY, mReg.RegKeyCreate(HKEY_CURRENT_USER, msKey));
  tRegValue v = std::wstring(L"x");
  LONG status = mReg.RegValueSet(HKEY_CURRENT_USER, msKey, std::wstring(20000, L'n'), v);
  EXPECT_NE(ERROR_SUCCESS, status);
}

TEST_F(RegistryTest, DeletingValues) {
  tRegValue v = int32_t{1};
  ASSERT_EQ(ERROR_SUCCESS, mReg.RegValueSet(HKEY_CURRENT_USER, msKey, L"D", v));
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegFieldDelete(HKEY_CURRENT_USER, msKey, L"D"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRaw(L"D").status);
  EXPECT_EQ(ERROR_SUCCESS, mReg.RegFieldDelete(HKEY_CURRENT_USER, msKey, L"D"));  // missing value: no failure
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, mReg.RegFieldDelete(HKEY_CURRENT_USER, msKey + L"\\Nope", L"D"));
}

}  // namespace
