#include "basqmFileVersion.h"

#include "basqmFiles.h"
#include "basqmSysTools.h"
#include "qmHandle.h"

#include <windows.h>

#include <array>
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

// The fixed part of the version resource, all zero when there is none.
VS_FIXEDFILEINFO ReadFixedFileInfo(const std::wstring& sFilePath) {
  VS_FIXEDFILEINFO fixed{};
  const qmVersionApi& api = qmVersionApi::Get();
  if (api.error() != 0) return fixed;
  DWORD handle = 0;
  DWORD size = api.mSize(sFilePath.c_str(), &handle);
  if (size == 0) return fixed;
  std::vector<BYTE> buffer(size);
  if (!api.mInfo(sFilePath.c_str(), 0, size, buffer.data())) return fixed;
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
  const VS_FIXEDFILEINFO fixed = ReadFixedFileInfo(sFilePath);
  const auto parts = VersionParts(fixed);

  tFileVersion result;
  result.sFullPath = sFilePath;
  const size_t slash = sFilePath.rfind(L'\\');
  result.sFileName = slash == std::wstring::npos ? sFilePath : sFilePath.substr(slash + 1);
  result.sFileType = FileTypeText(fixed.dwFileType);
  result.sFileVersion = std::to_wstring(parts[0]) + L"." + std::to_wstring(parts[1]) + L"." +
                        std::to_wstring(parts[2]) + L"." + std::to_wstring(parts[3]);
  return result;
}

bool bIsNewerFile(const std::wstring& sSourcePath, const std::wstring& sTargetPath, unsigned long* pdwError) {
  if (pdwError) *pdwError = 0;
  if (!bFileExists(sSourcePath) || !bFileExists(sTargetPath)) return true;
  // Without the version functions both files would read 0.0.0.0 and the
  // target would be kept as if it were as new.
  if (DWORD error = qmVersionApi::Get().error(); error != 0) {
    if (pdwError) *pdwError = error;
    return true;
  }
  return VersionParts(ReadFixedFileInfo(sSourcePath)) > VersionParts(ReadFixedFileInfo(sTargetPath));
}

void SetVersionLibraryLoader(tLoadLibraryExFn pfnLoadLibraryEx) {
  gpfnLoadLibraryEx = pfnLoadLibraryEx;
  qmVersionApi::Instance().reset();
}
