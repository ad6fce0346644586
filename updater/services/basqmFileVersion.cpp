#include "basqmFileVersion.h"

#include "basqmFiles.h"
#include "basqmSysTools.h"
#include "qmHandle.h"

#include <windows.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <vector>

namespace {

tLoadLibraryExFn gpfnLoadLibraryEx = nullptr;

// version.dll is no KnownDLL: loaded by name it would be searched for in the
// updater's folder first, which holds the DLLs being installed. Take it from
// the system folder only, once, and keep it for the life of the process
// (or until a test replaces the loader).
class qmVersionApi {
 public:
  using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

  static std::unique_ptr<qmVersionApi>& Instance() {
    static std::unique_ptr<qmVersionApi> api;
    return api;
  }
  static const qmVersionApi& Get() {
    std::unique_ptr<qmVersionApi>& api = Instance();
    if (!api) api.reset(new qmVersionApi(gpfnLoadLibraryEx ? gpfnLoadLibraryEx : LoadLibraryExW));
    return *api;
  }

  // 0 when the functions are there; else why not.
  [[nodiscard]] DWORD error() const { return mdwError; }
  SizeFn mSize = nullptr;
  InfoFn mInfo = nullptr;
  QueryFn mQuery = nullptr;

 private:
  explicit qmVersionApi(tLoadLibraryExFn load) : mModule(load(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (!mModule) {
      // Windows 7 and Server 2008 R2 without their loader update refuse the
      // flag: then by full path from the system folder.
      const std::wstring systemFolder = GetSystemFolder();
      if (!systemFolder.empty()) mModule.reset(load((systemFolder + L"\\version.dll").c_str(), nullptr, 0));
    }
    if (!mModule) {
      mdwError = GetLastError() != 0 ? GetLastError() : ERROR_MOD_NOT_FOUND;
      return;
    }
    mSize = reinterpret_cast<SizeFn>(reinterpret_cast<void*>(GetProcAddress(mModule.get(), "GetFileVersionInfoSizeW")));
    mInfo = reinterpret_cast<InfoFn>(reinterpret_cast<void*>(GetProcAddress(mModule.get(), "GetFileVersionInfoW")));
    mQuery = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(mModule.get(), "VerQueryValueW")));
    if (!mSize || !mInfo || !mQuery) mdwError = ERROR_PROC_NOT_FOUND;
  }
  qmUniqueModule mModule;
  DWORD mdwError = 0;
};

// Errors with which the version functions say that a file has no version
// resource (or is no program file at all, so it cannot have one).
bool bIsNoVersionError(DWORD dwError) {
  switch (dwError) {
    case ERROR_SUCCESS:
    case ERROR_RESOURCE_DATA_NOT_FOUND:
    case ERROR_RESOURCE_TYPE_NOT_FOUND:
    case ERROR_RESOURCE_NAME_NOT_FOUND:
    case ERROR_RESOURCE_LANG_NOT_FOUND:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_BAD_FORMAT:
    case ERROR_INVALID_EXE_SIGNATURE:
      return true;
    default:
      return false;
  }
}

// The fixed part of the version resource, all zero when there is none.
// *pdwError is 0 then, or says why the file could not be read at all (held
// open without read sharing, no right to read it): such a file may well
// have a version, and it must not count as none.
VS_FIXEDFILEINFO ReadFixedFileInfo(const std::wstring& sFilePath, DWORD* pdwError) {
  VS_FIXEDFILEINFO fixed{};
  *pdwError = ERROR_SUCCESS;
  const qmVersionApi& api = qmVersionApi::Get();
  if (api.error() != 0) return fixed;
  DWORD handle = 0;
  SetLastError(ERROR_SUCCESS);
  DWORD size = api.mSize(sFilePath.c_str(), &handle);
  if (size == 0) {
    if (const DWORD error = GetLastError(); !bIsNoVersionError(error)) *pdwError = error;
    return fixed;
  }
  std::vector<BYTE> buffer(size);
  if (!api.mInfo(sFilePath.c_str(), 0, size, buffer.data())) {
    if (const DWORD error = GetLastError(); !bIsNoVersionError(error)) *pdwError = error;
    return fixed;
  }
  void* block = nullptr;
  UINT blockSize = 0;
  if (api.mQuery(buffer.data(), L"\\", &block, &blockSize) && block && blockSize >= sizeof(VS_FIXEDFILEINFO)) {
    memcpy(&fixed, block, sizeof(fixed));
  }
  return fixed;
}

std::array<uint16_t, 4> VersionParts(const VS_FIXEDFILEINFO& fixed) {
  return {HIWORD(fixed.dwFileVersionMS), LOWORD(fixed.dwFileVersionMS), HIWORD(fixed.dwFileVersionLS),
          LOWORD(fixed.dwFileVersionLS)};
}

const wchar_t* FileTypeText(DWORD dwFileType) {
  switch (dwFileType) {
    case VFT_UNKNOWN: return L"Unbekannt";
    case VFT_APP: return L"Anwendung";
    case VFT_DLL: return L"Dynamic Link Library (DLL)";
    case VFT_DRV: return L"Ger\u00e4te Trieber";
    case VFT_FONT: return L"Schriftart";
    case VFT_VXD: return L"Virtueller Ger\u00e4te Treiber";
    case VFT_STATIC_LIB: return L"Static Library";
    default: return L"";
  }
}

}  // namespace

tFileVersion GetFileVersion(const std::wstring& sFilePath) {
  DWORD error = ERROR_SUCCESS;
  const VS_FIXEDFILEINFO fixed = ReadFixedFileInfo(sFilePath, &error);
  const auto parts = VersionParts(fixed);

  tFileVersion result;
  result.sFullPath = sFilePath;
  const size_t slash = sFilePath.rfind(L'\\');
  result.sFileName = slash == std::wstring::npos ? sFilePath : sFilePath.substr(slash + 1);
  result.sFileType = FileTypeText(fixed.dwFileType);
  result.sFileVersion = std::to_wstring(parts[0]) + L"." + std::to_wstring(parts[1]) + L"." +
                        std::to_wstring(parts[2]) + L"." + std::to_wstring(parts[3]);
  result.dwError = error;
  return result;
}

bool bIsNewerFile(const std::wstring& sSourcePath, const std::wstring& sTargetPath, unsigned long* pdwError,
                  std::wstring* psUnreadablePath) {
  if (pdwError) *pdwError = 0;
  if (!bFileExists(sSourcePath) || !bFileExists(sTargetPath)) return true;
  // Without the version functions both files would read 0.0.0.0 and the
  // target would be kept as if it were as new.
  if (DWORD error = qmVersionApi::Get().error(); error != 0) {
    if (pdwError) *pdwError = error;
    return true;
  }
  // A file whose version cannot be read is not older than any: a newer
  // component held by a scanner or a backup would be replaced by an older
  // one.
  DWORD error = ERROR_SUCCESS;
  for (const std::wstring* path : {&sTargetPath, &sSourcePath}) {
    (void)ReadFixedFileInfo(*path, &error);
    if (error != ERROR_SUCCESS) {
      if (pdwError) *pdwError = error;
      if (psUnreadablePath) *psUnreadablePath = *path;
      return false;
    }
  }
  return VersionParts(ReadFixedFileInfo(sSourcePath, &error)) > VersionParts(ReadFixedFileInfo(sTargetPath, &error));
}

void SetVersionLibraryLoader(tLoadLibraryExFn pfnLoadLibraryEx) {
  gpfnLoadLibraryEx = pfnLoadLibraryEx;
  qmVersionApi::Instance().reset();
}
