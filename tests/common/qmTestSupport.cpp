#include "qmTestSupport.h"

#include <atomic>
#include <stdexcept>
#include <vector>

namespace qmtest {

std::wstring ProgramFolder() {
  std::vector<wchar_t> buffer(32768);
  DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), n);
  return path.substr(0, path.rfind(L'\\'));
}

namespace {

std::wstring TempFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH, temp);  // ends with a backslash
  return std::wstring(temp, n > 0 ? n - 1 : 0);
}

}  // namespace

ScratchFolder::ScratchFolder(const std::wstring& hint, const std::wstring& parent) {
  static std::atomic<unsigned> counter{0};
  const std::wstring base = parent.empty() ? TempFolder() : parent;
  CreateDirectoryW(base.c_str(), nullptr);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::wstring candidate = base + L"\\" + hint + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                             std::to_wstring(counter++);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      msPath = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder");
}

ScratchFolder::~ScratchFolder() { RemoveTree(msPath); }

void RemoveTree(const std::wstring& path) {
  if (path.empty()) return;
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  for (BOOL bMore = find != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileW(find, &data)) {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = path + L"\\" + name;
    SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(child);
    } else {
      DeleteFileW(child.c_str());
    }
  }
  FindClose(find);
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(path.c_str());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write a test file");
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes.size()) throw std::runtime_error("short write of a test file");
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {

std::string Encoded(const std::wstring& text, UINT nCodePage) {
  const int length = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(nCodePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(nCodePage, 0, text.data(), length, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::string ToAnsi(const std::wstring& text) { return Encoded(text, CP_ACP); }

std::string SavedAs(const std::wstring& text, tSavedAs as) {
  switch (as) {
    case tSavedAs::kUtf8Bom:
      return "\xEF\xBB\xBF" + Encoded(text, CP_UTF8);
    case tSavedAs::kUtf16LE:
    case tSavedAs::kUtf16BE: {
      const bool bBigEndian = as == tSavedAs::kUtf16BE;
      std::string out = bBigEndian ? "\xFE\xFF" : "\xFF\xFE";
      for (wchar_t c : text) {
        const char low = static_cast<char>(c & 0xFF);
        const char high = static_cast<char>((c >> 8) & 0xFF);
        out += bBigEndian ? high : low;
        out += bBigEndian ? low : high;
      }
      return out;
    }
  }
  return std::string();
}

bool WaitUntil(const std::function<bool()>& condition, int iTimeoutMs, int iPollMs) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(iTimeoutMs);
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(static_cast<DWORD>(iPollMs));
  }
}

tProcess::tProcess(std::wstring commandLine, const std::wstring& currentFolder, HANDLE hStdOutput) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (hStdOutput) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = hStdOutput;
    startup.hStdError = hStdOutput;
  }
  // Wine now and then refuses a process start with ERROR_INTERNAL_ERROR on
  // a loaded machine; a second start a moment later succeeds.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(500);
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, hStdOutput ? TRUE : FALSE, 0, nullptr,
                       currentFolder.empty() ? nullptr : currentFolder.c_str(), &startup, &mInfo)) {
      return;
    }
  }
  mInfo = PROCESS_INFORMATION{};
}

tProcess::~tProcess() {
  if (!started()) return;
  if (bRunning()) {
    TerminateProcess(mInfo.hProcess, 255);
    WaitForSingleObject(mInfo.hProcess, 10000);
  }
  CloseHandle(mInfo.hThread);
  CloseHandle(mInfo.hProcess);
}

DWORD tProcess::WaitForExit(int iTimeoutMs) {
  DWORD code = STILL_ACTIVE;
  if (!started()) return code;
  WaitForSingleObject(mInfo.hProcess, static_cast<DWORD>(iTimeoutMs));
  GetExitCodeProcess(mInfo.hProcess, &code);
  return code;
}

bool tProcess::bRunning() const {
  return started() && WaitForSingleObject(mInfo.hProcess, 0) == WAIT_TIMEOUT;
}

}  // namespace qmtest
