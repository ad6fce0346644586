// The update run's cost per copy entry: a script of N plain copy entries,
// each replacing an existing 200-byte file, against a bare CopyFileW loop
// over the same files, for N = 1,000 and 5,000. Prints the run's time over
// the loop's (goal: at most 1.3), the larger run over the smaller (goal:
// linear), and the run (which keeps a backup of every file it replaces)
// over a run without backups (goal: at most 1.3). The removal of a backup
// as large as the run's, which a later run pays once the kept number is
// reached, is timed on its own.
//
// It writes "Root" of the 6.3 installation key, which no test uses.
#include "basTrevalon.h"
#include "qmMessageText.h"
#include "qmTestSupport.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\Sage\\Office Line\\6.3";

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename F>
double Time(F&& f) {
  LARGE_INTEGER from, to;
  QueryPerformanceCounter(&from);
  f();
  QueryPerformanceCounter(&to);
  return Seconds(from, to);
}

std::wstring Name(int i) {
  wchar_t name[32];
  swprintf(name, 32, L"f%05d.txt", i);
  return name;
}

struct tFigures {
  double dLoop;
  double dRun;
  double dRunWithoutBackup;
  double dRemoveBackup;
};

tFigures Measure(int nEntries) {
  qmtest::ScratchFolder scratch(L"bench");
  const std::wstring updater = scratch / L"updater";
  const std::wstring root = scratch / L"OL";
  const std::wstring shared = root + L"\\shared";
  CreateDirectoryW(updater.c_str(), nullptr);
  CreateDirectoryW(root.c_str(), nullptr);
  CreateDirectoryW(shared.c_str(), nullptr);

  HKEY key = nullptr;
  // In the 32-bit view, where the 32-bit product keeps it.
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  RegSetValueExW(key, L"Root", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()),
                 static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);

  std::string script = "ver;630\r\n";
  const std::string content(200, 'x');
  for (int i = 0; i < nEntries; ++i) {
    qmtest::WriteBytes(updater + L"\\" + Name(i), content);
    script += "copy;shared;" + qmtest::ToAnsi(Name(i)) + "\r\n";
  }
  qmtest::WriteBytes(updater + L"\\Trevalon.ini", script);

  auto loop = [&] {
    for (int i = 0; i < nEntries; ++i) {
      CopyFileW((updater + L"\\" + Name(i)).c_str(), (shared + L"\\" + Name(i)).c_str(), FALSE);
    }
  };
  auto runWith = [&](bool bBackup) {
    clsqmMessageText text;
    tTrevalonModule module;
    module.gbWithoutBackup = !bBackup;
    if (!RunUpdate(updater, text, module) || module.glFailedEntries != 0) std::fprintf(stderr, "run failed\n");
  };
  tFigures best{1e9, 1e9, 1e9, 1e9};
  // Each round starts without backups: the removal of older ones is timed
  // apart from the run.
  auto bare = [&] { runWith(false); };
  auto timeRun = [&] {
    best.dRun = std::min(best.dRun, Time([&] { runWith(true); }));
    best.dRemoveBackup = std::min(best.dRemoveBackup, Time([&] { qmtest::RemoveTree(root + L"\\Trevalon"); }));
  };

  loop();  // the targets exist from here on, for both
  // Alternating order, so neither pays more often for the other's
  // write-back of thousands of fresh files.
  for (int round = 0; round < 4; ++round) {
    if (round % 2 == 0) {
      best.dLoop = std::min(best.dLoop, Time(loop));
      timeRun();
      best.dRunWithoutBackup = std::min(best.dRunWithoutBackup, Time(bare));
    } else {
      best.dRunWithoutBackup = std::min(best.dRunWithoutBackup, Time(bare));
      timeRun();
      best.dLoop = std::min(best.dLoop, Time(loop));
    }
  }
  return best;
}

}  // namespace

// bench_run [small large]: the two entry counts (default 1000 and 5000), so
// that a quick comparison of builds can use smaller ones.
int wmain(int argc, wchar_t** argv) {
  const int nSmall = argc > 2 ? _wtoi(argv[1]) : 1000;
  const int nLarge = argc > 2 ? _wtoi(argv[2]) : 5000;
  if (nSmall <= 0 || nLarge <= 0) {
    std::fprintf(stderr, "usage: bench_run [small large]\n");
    return 87;
  }
  const tFigures small = Measure(nSmall);
  const tFigures large = Measure(nLarge);
  for (const auto& [n, f] : {std::pair{nSmall, small}, std::pair{nLarge, large}}) {
    std::printf("%6d copy entries: run %.3f s, CopyFileW loop %.3f s, run/loop %.2f (goal <= 1.3)\n", n, f.dRun,
                f.dLoop, f.dRun / f.dLoop);
    std::printf("%6d copy entries: run without backup %.3f s, with/without %.2f (goal <= 1.3)\n", n,
                f.dRunWithoutBackup, f.dRun / f.dRunWithoutBackup);
    std::printf("%6d copy entries: removing one such backup %.3f s (%.2f of the run without backup)\n", n,
                f.dRemoveBackup, f.dRemoveBackup / f.dRunWithoutBackup);
  }
  std::printf("%d/%d entries: run %.2f (goal <= %.0f, linear), loop %.2f\n", nLarge, nSmall,
              large.dRun / small.dRun, 1.2 * nLarge / nSmall, large.dLoop / small.dLoop);
  std::fflush(stdout);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY, 0);
  return 0;
}
