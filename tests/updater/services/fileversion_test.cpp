// Version resources of DLLs built with chosen versions next to this test.
#include "basqmFileVersion.h"
#include "basqmSysTools.h"
#include "qmTestSupport.h"

#include <gtest/gtest.h>

namespace {

std::wstring Fixture(const std::wstring& name) { return qmtest::ProgramFolder() + L"\\" + name + L".dll"; }

// The version as four unsigned numbers; 0.0.0.0 without a resource.
TEST(FileVersion, IsReadFromTheFixedPartOfTheResource) {
  qmtest::ScratchFolder dir;
  qmtest::WriteBytes(dir / L"readme.txt", "no resource here\r\n");
  const struct {
    std::wstring sPath;
    const wchar_t* sVersion;
  } kCases[] = {{Fixture(L"qmver_1_10_0_0"), L"1.10.0.0"},
                {Fixture(L"qmver_40000"), L"40000.65535.32768.1"},
                {dir / L"readme.txt", L"0.0.0.0"},
                {dir / L"missing.dll", L"0.0.0.0"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(qmtest::ToAnsi(c.sPath));
    EXPECT_EQ(GetFileVersion(c.sPath).sFileVersion, c.sVersion);
  }
}

class NewerFile : public ::testing::Test {
 protected:
  // Places a copy of a fixture DLL under a neutral name, as the copy
  // entries see them: same file name in source and target folder.
  std::wstring Place(const qmtest::ScratchFolder& dir, const std::wstring& fixture) {
    std::wstring path = dir / L"comp.dll";
    EXPECT_TRUE(CopyFileW(Fixture(fixture).c_str(), path.c_str(), FALSE));
    return path;
  }
  qmtest::ScratchFolder msSource{L"src"};
  qmtest::ScratchFolder msTarget{L"dst"};
};

TEST_F(NewerFile, ComparesVersionsAsNumbers) {
  struct Case {
    const wchar_t* source;
    const wchar_t* target;
    bool newer;
  } cases[] = {
      {L"qmver_2_0_0_0", L"qmver_1_5_0_0", true},   {L"qmver_1_5_0_0", L"qmver_2_0_0_0", false},
      {L"qmver_1_5_0_0", L"qmver_1_5_0_0", false},  {L"qmver_1_10_0_0", L"qmver_1_9_0_0", true},
      {L"qmver_1_9_0_0", L"qmver_1_10_0_0", false}, {L"qmver_9_0_0_0", L"qmver_10_0_0_0", false},
      {L"qmver_10_0_0_0", L"qmver_9_0_0_0", true},  {L"qmver_40000", L"qmver_10_0_0_0", true},
  };
  for (const Case& c : cases) {
    std::wstring src = Place(msSource, c.source);
    std::wstring dst = Place(msTarget, c.target);
    EXPECT_EQ(c.newer, bIsNewerFile(src, dst)) << "source " << qmtest::ToAnsi(c.source) << " target "
                                               << qmtest::ToAnsi(c.target);
  }
}

TEST_F(NewerFile, AbsentOrHiddenFilesDecideForTheCopy) {
  std::wstring src = Place(msSource, L"qmver_1_5_0_0");
  EXPECT_TRUE(bIsNewerFile(src, msTarget / L"comp.dll"));  // missing target
  EXPECT_TRUE(bIsNewerFile(msSource / L"none.dll", Place(msTarget, L"qmver_2_0_0_0")));  // missing source

  std::wstring dst = Place(msTarget, L"qmver_2_0_0_0");
  ASSERT_TRUE(SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_TRUE(bIsNewerFile(src, dst));
  ASSERT_TRUE(SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_SYSTEM));
  EXPECT_TRUE(bIsNewerFile(src, dst));
  ASSERT_TRUE(SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(bIsNewerFile(src, dst));  // read-only is still a normal file
  SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(NewerFile, TwoFilesWithoutResourceNeverReplace) {
  qmtest::WriteBytes(msSource / L"a.mdb", "new");
  qmtest::WriteBytes(msTarget / L"a.mdb", "old");
  EXPECT_FALSE(bIsNewerFile(msSource / L"a.mdb", msTarget / L"a.mdb"));
}

std::wstring gsLoadedByPath;

// Windows 7 and Server 2008 R2 without their loader update: the search flag
// is refused, a full path loads.
HMODULE WINAPI LoaderWithoutSearchFlags(LPCWSTR name, HANDLE file, DWORD flags) {
  if ((flags & LOAD_LIBRARY_SEARCH_SYSTEM32) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  gsLoadedByPath = name;
  return LoadLibraryExW(name, file, flags);
}

// A system on which version.dll cannot be loaded at all.
HMODULE WINAPI FailingLoader(LPCWSTR, HANDLE, DWORD) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

TEST_F(NewerFile, WithoutTheLoaderUpdateVersionDllComesByFullPathFromTheSystemFolder) {
  SetVersionLibraryLoader(LoaderWithoutSearchFlags);
  const std::wstring version = GetFileVersion(Fixture(L"qmver_2_0_0_0")).sFileVersion;
  unsigned long dwError = 1;
  const bool bNewer = bIsNewerFile(Place(msSource, L"qmver_1_5_0_0"), Place(msTarget, L"qmver_2_0_0_0"), &dwError);
  SetVersionLibraryLoader(nullptr);
  EXPECT_EQ(version, L"2.0.0.0");
  EXPECT_FALSE(bNewer);
  EXPECT_EQ(dwError, 0u);
  EXPECT_EQ(gsLoadedByPath, GetSystemFolder() + L"\\version.dll");
}

TEST_F(NewerFile, WithoutVersionDllTheDecisionFailsAndAsksForTheCopy) {
  SetVersionLibraryLoader(FailingLoader);
  unsigned long dwError = 0;
  const bool bNewer = bIsNewerFile(Place(msSource, L"qmver_1_5_0_0"), Place(msTarget, L"qmver_2_0_0_0"), &dwError);
  const std::wstring version = GetFileVersion(Fixture(L"qmver_2_0_0_0")).sFileVersion;
  SetVersionLibraryLoader(nullptr);
  EXPECT_TRUE(bNewer);
  EXPECT_EQ(dwError, static_cast<unsigned long>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(version, L"0.0.0.0");  // GetFileVersion never fails
}

}  // namespace
