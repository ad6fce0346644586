#include "basConfigUpdate.h"

#include "basBackup.h"
#include "basFailureReport.h"
#include "basScriptText.h"
#include "basqmFiles.h"
#include "basqmProcess.h"
#include "basqmTextFile.h"

#include <windows.h>

#include <cmath>
#include <string_view>

void RevisionEntry(const TrevalonJob& job, tRunValues& run) {
  std::optional<double> number = ParseNumber(job.sPath);
  if (!number) {
    run.bEntryHadFailure = true;
    run.txtInfo.Append(L"FEHLERHAFTE Revisionangabe in Trevalon.ini!");
    return;
  }
  // Halves round to the even neighbour; the revision plus one must still
  // be a 16-bit number.
  double rounded = std::nearbyint(*number);
  if (rounded < -32768.0 || rounded > 32766.0) {
    ReportFailure(run, L"Die Revision \"" + job.sPath + L"\" liegt nicht im Bereich von -32768 bis 32766");
    return;
  }
  run.iRevision = static_cast<int16_t>(static_cast<int>(rounded) + 1);
}

void OwnerEntry(const TrevalonJob& job, tRunValues& run) {
  if (job.sPath.empty()) {
    run.bEntryHadFailure = true;
    run.txtInfo.Append(L"FEHLERHAFTE Ownerangabe in Trevalon.ini!");
    return;
  }
  // The owner stands in the header of the ANSI file: a name the code page
  // cannot hold would reach Office Line as another name.
  if (!bFitsAnsiCodePage(job.sPath)) {
    ReportSystemFailure(run, ERROR_NO_UNICODE_TRANSLATION);
    return;
  }
  run.sOwnerKey = ReplaceAll(ReplaceAll(ReplaceAll(job.sPath, L" ", L""), L".", L""), L"-", L"");
  // Consumes the placeholder: the first owner names the header, the last
  // one the file.
  run.sConfigText = ReplaceAll(run.sConfigText, L"<owner>", job.sPath);
}

bool AppendAddinFragment(tRunValues& run, const std::wstring& sFile, const std::wstring& sApp) {
  // The file is ANSI text: Office Line would look for a library whose name
  // holds the code page's default character in place of the real one.
  if (!bFitsAnsiCodePage(sFile) || !bFitsAnsiCodePage(sApp)) {
    ReportSystemFailure(run, ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  const std::wstring name = LowerText(sFile.size() >= 4 ? std::wstring_view(sFile).substr(0, sFile.size() - 4)
                                                        : std::wstring_view());
  std::wstring& text = run.sConfigText;
  text += L"\r\n";
  text += L"~Revision = \"1\"\r\n";
  text += L"~Insert = \"/configuration/Office_x0020_Line/" + sApp + L"/add-ins\"\r\n";
  text += L"<" + name + L">\r\n";
  text += L"  <add name=\"Library\" value=\"XXXINSTALLDIRXXX\\AddIn\\Work\\" + sFile +
          L"\" type=\"string\" />\r\n";
  text += L"</" + name + L">\r\n";
  return true;
}

bool bRevisionMissing(const tRunValues& run) { return CompareText(run.sVersion, L"5") >= 0 && run.iRevision == 0; }

std::wstring ConfigUpdatePath(const tRunValues& run) {
  return run.sOLRoot + L"\\Shared\\ConfigUpdates\\TrevalonConfig" + run.sOwnerKey + L".configupdate";
}

std::wstring ConfigUpdateText(const tRunValues& run) {
  return ReplaceAll(run.sConfigText, L"<owner>", L"Quenmark") + L"\r\n";
}

bool bConfigOwnerKeyIsValid(const tRunValues& run) {
  // The owner key is part of the file name. A colon would write a stream
  // of another file, a backslash or slash a file in a subfolder, and the
  // tool would find neither.
  return !bHasInvalidNameChar(run.sOwnerKey, L"\\/:");
}

std::wstring ConfigToolCommandLine(const tRunValues& run) {
  std::wstring argument;
  if (run.sVersion.size() >= 1) argument += run.sVersion[0];
  argument += L'.';
  if (run.sVersion.size() >= 2) argument += run.sVersion[1];
  return L"\"" + ConfigToolPath(run) + L"\" " + argument;
}

std::wstring ConfigToolPath(const tRunValues& run) {
  return run.sOLRoot + L"\\Shared\\Sagede.Shared.UpdateConfigTool.exe";
}

bool bStartsConfigTool(const tRunValues& run) { return !bSameText(run.sUpdaterFolder, DevelopmentFolder()); }

void WriteConfigUpdate(tRunValues& run) {
  if (!run.bConfigNeeded) return;
  if (bRevisionMissing(run)) {
    run.bEntryHadFailure = true;
    run.txtInfo.Append(L"FEHLER: Keine Revisionangabe in Trevalon.ini \r\n");
  }

  run.sConfigText = ReplaceAll(run.sConfigText, L"<owner>", L"Quenmark");
  // The file is replaced in one step, never truncated: a failed write
  // leaves the file of an earlier run that the tool may not have read yet.
  unsigned long error = bConfigOwnerKeyIsValid(run) ? ERROR_SUCCESS : ERROR_INVALID_NAME;
  if (error == ERROR_SUCCESS) {
    if (const unsigned long backupError = BackupFile(run, ConfigUpdatePath(run)); backupError != ERROR_SUCCESS) {
      ReportFailure(run, BackupFailureText(backupError));
    } else {
      error = ReplaceAnsiFile(ConfigUpdatePath(run), ConfigUpdateText(run));
    }
  }
  if (error != ERROR_SUCCESS) ReportSystemFailure(run, error);

  run.txtInfo.Append(L"Updatetool wird ausgeführt:\r\n");
  const std::wstring commandLine = ConfigToolCommandLine(run);
  if (bStartsConfigTool(run)) {
    if (DWORD error = StartProcess(L"", commandLine, SW_SHOWMAXIMIZED, run.sOLRoot + L"\\Shared", nullptr);
        error != 0) {
      ReportSystemFailure(run, error);
    }
  } else {
    run.txtInfo.Append(L"\r\nUPDATE FILE: \r\n" + run.sConfigText + L"\r\n");
  }
  run.txtInfo.Append(L"\r\n  Parameter: " + commandLine);
}
