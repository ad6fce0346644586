// Small helpers shared by the test programs: a scratch folder that removes
// itself, whole-file reads and writes, and the test program's own folder.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace qmtest {

// The folder of the running test program (where the build puts every
// program, fixture DLL and deliverable).
std::wstring ProgramFolder();

// A fresh, empty folder below the temp folder; removed with all it holds.
class ScratchFolder {
 public:
  // Below parent instead when one is given (parent is created when
  // missing, but not its own parent).
  explicit ScratchFolder(const std::wstring& hint = L"qm", const std::wstring& parent = L"");
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& path() const { return msPath; }
  std::wstring operator/(const std::wstring& name) const { return msPath + L"\\" + name; }

 private:
  std::wstring msPath;
};

void RemoveTree(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);  // empty when missing
bool Exists(const std::wstring& path);

// Text in the system ANSI code page, as the updater's files are written.
std::string ToAnsi(const std::wstring& text);

// Text as editors save it: Notepad's UTF-8 with byte-order mark, and
// "Unicode" (PowerShell 5.1's Out-File and ">", Notepad's
// "Unicode"): UTF-16 with its byte-order mark, little- or big-endian.
enum class tSavedAs { kUtf8Bom, kUtf16LE, kUtf16BE };
std::string SavedAs(const std::wstring& text, tSavedAs as);

// Waits until the condition holds, at most iTimeoutMs; polls every iPollMs.
bool WaitUntil(const std::function<bool()>& condition, int iTimeoutMs, int iPollMs = 20);

// A started program (the command line as given, quoted by the caller), in
// currentFolder or the caller's, with hStdOutput (inheritable) as its
// standard output and error. Ended by force at the end if still running.
class tProcess {
 public:
  explicit tProcess(std::wstring commandLine, const std::wstring& currentFolder = L"", HANDLE hStdOutput = nullptr);
  ~tProcess();
  tProcess(const tProcess&) = delete;
  tProcess& operator=(const tProcess&) = delete;
  [[nodiscard]] bool started() const { return mInfo.hProcess != nullptr; }
  [[nodiscard]] DWORD id() const { return mInfo.dwProcessId; }
  [[nodiscard]] HANDLE handle() const { return mInfo.hProcess; }
  // The exit code, or STILL_ACTIVE after iTimeoutMs.
  DWORD WaitForExit(int iTimeoutMs);
  [[nodiscard]] bool bRunning() const;

 private:
  PROCESS_INFORMATION mInfo{};
};

}  // namespace qmtest
