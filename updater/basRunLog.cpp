#include "basRunLog.h"

#include "basqmFiles.h"
#include "basqmSysTools.h"
#include "basqmTextFile.h"

#include <windows.h>

void WriteRunLog(const tRunValues& run) {
  if (!run.bLog) return;
  const std::wstring path = run.sUpdaterFolder + L"\\log_" + GetComputerNameText() + L".txt";
  if (bFileExists(path)) DeleteFileW(path.c_str());
  (void)WriteAnsiFile(path, run.txtInfo.Text() + L"\r\n");
}
