#include "qmMessageWait.h"

namespace korvanet {

bool qmProcessPendingMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));
      return false;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

void qmWaitForMessage(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  if (now >= deadline) return;
  const ULONGLONG left = deadline - now;
  MsgWaitForMultipleObjectsEx(0, nullptr, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left), QS_ALLINPUT,
                              MWMO_INPUTAVAILABLE);
}

}  // namespace korvanet
