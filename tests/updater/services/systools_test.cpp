#include "basqmSysTools.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST(ComputerName, IsTheNetbiosNameWithoutPadding) {
  wchar_t expected[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(expected, &size));
  const std::wstring name = GetComputerNameText();
  EXPECT_EQ(std::wstring(expected, size), name);
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(std::wstring::npos, name.find_first_of(std::wstring(L" \0", 2)));
}
