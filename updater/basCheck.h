// The check (Trevalon.exe /check): reads the script and the machine as a run
// would and writes, entry by entry, what the run would do there, without
// changing anything: no file is copied, deleted or created (besides the
// check's own report when the script asks for a log), no registry value is
// written, no program started.
//
// The plan, German like the run's texts, one line each, CR LF:
//
//   Trevalon Prüfung - es wird nichts verändert
//   <the run's start lines (or the reason it would stop)>
//   Access: <Access folder>
//   Eintrag <n>: <the entry's fields, joined by ";">
//     <Label>: <what the run would use or do>      (any number of lines)
//     FEHLER: <why the step would fail>            (any number of lines)
//     Ergebnis: erfolgreich | fehlgeschlagen | erfolgreich, Neustart erforderlich
//               | fehlgeschlagen, Neustart erforderlich | keine Aktion
//   ...
//   Konfigurationsupdate: <file> | keines
//     ...                                          (as for an entry)
//   Logdatei: <file> | keine
//   Gesamt: <n> Einträge, <f> fehlgeschlagen, <r> mit Neustart - Rückgabewert <exit code>
#pragma once

#include "basTrevalon.h"
#include "qmMessageText.h"

#include <string>

// Writes the plan for the script beside sUpdaterFolder into txtPlan
// (replacing its text). Returns what RunUpdate would return; the module's
// counts and step outcomes are left as the run would leave them, so
// ExitCodeOf gives the run's exit code. With "log" in the script the plan
// is also written to check_<computer>.txt beside the updater (failures to
// write it are ignored, as for the run's log).
bool CheckUpdate(const std::wstring& sUpdaterFolder, clsqmMessageText& txtPlan, tTrevalonModule& module);
