#include "basqmRestart.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST(RestartPaths, A32BitProgramsSystem32IsNamedAsTheSessionManagerReadsIt) {
  // The 64-bit session manager carries out the renames: for a 32-bit
  // program on 64-bit Windows its "system32" is SysWOW64.
  const std::wstring system = L"C:\\Windows\\system32";
  const std::wstring wow64 = L"C:\\Windows\\SysWOW64";
  const struct {
    const wchar_t* sPath;
    const wchar_t* sWow64;
    const wchar_t* sReal;
  } kCases[] = {
      {L"C:\\Windows\\system32\\MyComp.dll", L"", L"C:\\Windows\\system32\\MyComp.dll"},  // 64-bit program
      {L"C:\\Windows\\system32\\MyComp.dll", wow64.c_str(), L"C:\\Windows\\SysWOW64\\MyComp.dll"},
      {L"C:\\WINDOWS\\SYSTEM32\\sub\\x.ocx", wow64.c_str(), L"C:\\Windows\\SysWOW64\\sub\\x.ocx"},
      {L"C:\\Windows\\system32\\drivers\\etc\\hosts", wow64.c_str(), L"C:\\Windows\\system32\\drivers\\etc\\hosts"},
      {L"C:\\Windows\\Sysnative\\x.dll", wow64.c_str(), L"C:\\Windows\\system32\\x.dll"},
      {L"C:\\Windows\\system32x\\x.dll", wow64.c_str(), L"C:\\Windows\\system32x\\x.dll"},
      {L"D:\\Sage\\shared\\x.dll", wow64.c_str(), L"D:\\Sage\\shared\\x.dll"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::internal::String::ShowWideCString(c.sPath));
    EXPECT_EQ(RealPathOf(c.sPath, system, c.sWow64), c.sReal);
  }
}
