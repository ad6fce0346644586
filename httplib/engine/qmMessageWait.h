// The waits of the start methods and the job: the thread's messages are
// processed as they arrive (completions come as messages), and between them
// the thread blocks instead of spinning. Deadlines are GetTickCount64 values.
#pragma once

#include <windows.h>

namespace korvanet {

// Processes every message waiting now. False when WM_QUIT came: it is
// posted again for the client's own loop, and the wait should end.
bool qmProcessPendingMessages();

// Blocks until a message arrives or the deadline passes.
void qmWaitForMessage(ULONGLONG deadline);

}  // namespace korvanet
