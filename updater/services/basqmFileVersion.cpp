#include "basqmFileVersion.h"

#include "basqmFiles.h"
#include "qmHandle.h"

#include <windows.h>

#include <array>
#include <vector>

namespace {

// version.dll is no KnownDLL: loaded by name it would be searched for in the
// updater's folder first, which holds the DLLs being installed. Take it from
// the system folder only, once, and keep it for the life of the process.
class qmVersionApi {
 public:
  using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

  static const qmVersionApi& Get() {
    static const qmVersionApi api;
    return api;
  }

  bool valid() const { return mSize && mInfo && mQuery; }
  SizeFn mSize = nullptr;
  InfoFn mInfo = nullptr;
  QueryFn mQuery = nullptr;

 private:
  qmVersionApi() : mModule(LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (!mModule) return;
    mSize = reinterpret_cast<SizeFn>(reinterpret_cast<void*>(GetProcAddress(mModule.get(), "GetFileVersionInfoSizeW")));
    mInfo = reinterpret_cast<InfoFn>(reinterpret_cast<void*>(GetProcAddress(mModule.get(), "GetFileVersionInfoW")));
    mQuery = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(mModule.get(), "VerQueryValueW")));
  }
  qmUniqueModule mModule;
};

// The fixed part of the version resource, all zero when there is none.
VS_FIXEDFILEINFO ReadFixedFileInfo(const std::wstring& sFilePath) {
  VS_FIXEDFILEINFO fixed{};
  const qmVersionApi& api = qmVersionApi::Get();
  if (!api.valid()) return fixed;
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

bool bIsNewerFile(const std::wstring& sSourcePath, const std::wstring& sTargetPath) {
  if (!bFileExists(sSourcePath) || !bFileExists(sTargetPath)) return true;
  return VersionParts(ReadFixedFileInfo(sSourcePath)) > VersionParts(ReadFixedFileInfo(sTargetPath));
}
