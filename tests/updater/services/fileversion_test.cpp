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
                {dir / L"readme.txt", L"0.0.0.0"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(qmtest::ToAnsi(c.sPath));
    EXPECT_EQ(GetFileVersion(c.sPath).sFileVersion, c.sVersion);
  }
}

// The same file name in a source and a target folder, as the copy entries
// see them: a copy of a fixture DLL, text without a resource ("-") or
// nothing (""), with the given attributes.
std::wstring Place(const qmtest::ScratchFolder& dir, const std::wstring& what, DWORD dwAttributes = 0) {
  const std::wstring path = dir / L"comp.dll";
  if (what == L"-") qmtest::WriteBytes(path, qmtest::ToAnsi(dir.path()));
  if (what.size() > 1 && !CopyFileW(Fixture(what).c_str(), path.c_str(), FALSE)) ADD_FAILURE() << "no fixture";
  if (dwAttributes != 0 && !SetFileAttributesW(path.c_str(), dwAttributes)) ADD_FAILURE() << "no attributes";
  return path;
}

// Versions compare as numbers; a file that is absent, hidden or system on
// either side asks for the copy; two files without a resource never
// replace each other.
TEST(NewerFile, IsDecidedByVersionNumbersAndByNormalFilesOnly) {
  const struct {
    const wchar_t* source;
    const wchar_t* target;
    DWORD dwTargetAttributes;
    bool bNewer;
  } kCases[] = {
      {L"qmver_2_0_0_0", L"qmver_1_5_0_0", 0, true},   {L"qmver_1_5_0_0", L"qmver_2_0_0_0", 0, false},
      {L"qmver_1_5_0_0", L"qmver_1_5_0_0", 0, false},  {L"qmver_1_10_0_0", L"qmver_1_9_0_0", 0, true},
      {L"qmver_1_9_0_0", L"qmver_1_10_0_0", 0, false}, {L"qmver_40000", L"qmver_10_0_0_0", 0, true},
      {L"qmver_1_5_0_0", L"", 0, true},                {L"", L"qmver_2_0_0_0", 0, true},
      {L"qmver_1_5_0_0", L"qmver_2_0_0_0", FILE_ATTRIBUTE_HIDDEN, true},
      {L"qmver_1_5_0_0", L"qmver_2_0_0_0", FILE_ATTRIBUTE_SYSTEM, true},
      {L"qmver_1_5_0_0", L"qmver_2_0_0_0", FILE_ATTRIBUTE_READONLY, false},  // still a normal file
      {L"-", L"-", 0, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(qmtest::ToAnsi(std::wstring(c.source) + L" over " + c.target));
    qmtest::ScratchFolder source{L"src"}, target{L"dst"};
    EXPECT_EQ(bIsNewerFile(Place(source, c.source), Place(target, c.target, c.dwTargetAttributes)), c.bNewer);
  }
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

// Without the loader update version.dll comes by its full path from the
// system folder. (Without version.dll the decision fails and asks for the
// copy: qmRunTest.AComponentWhoseVersionCannotBeReadIsReported...)
TEST(NewerFile, VersionDllIsLoadedByFullPathWithoutTheLoadersSearchFlags) {
  qmtest::ScratchFolder source{L"src"}, target{L"dst"};
  SetVersionLibraryLoader(LoaderWithoutSearchFlags);
  const std::wstring version = GetFileVersion(Fixture(L"qmver_2_0_0_0")).sFileVersion;
  unsigned long dwError = 1;
  const bool bNewer = bIsNewerFile(Place(source, L"qmver_1_5_0_0"), Place(target, L"qmver_2_0_0_0"), &dwError);
  SetVersionLibraryLoader(nullptr);
  EXPECT_EQ(version, L"2.0.0.0");
  EXPECT_FALSE(bNewer);
  EXPECT_EQ(dwError, 0u);
  EXPECT_EQ(gsLoadedByPath, GetSystemFolder() + L"\\version.dll");
}

}  // namespace
