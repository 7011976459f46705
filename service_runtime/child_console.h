// The console this process makes for a console program and stays on: made
// early on a thread of its own or at the launch, kept through a close until
// the run has reported STOPPED, left when the run is over.
#pragma once

#include <windows.h>

// What came of the console made while the service manager connects the
// dispatcher.
enum class EarlyConsole { NotTried, Made, Failed };

// Waits for the early console, and tells what came of it. The thread is
// taken by whoever waits first (the launch, or the dispatcher's failure);
// NotTried for anyone after.
EarlyConsole AwaitEarlyConsole();

// The creation flags for the program: none besides suspension on our console
// (made early, or now), or a console of its own when ours cannot be made
// (the program is then asked to end without Ctrl-C, and leaves no last
// words). A GUI program gets no console. The caller holds ChildLock.
DWORD MakeChildConsole(bool consoleProgram);

// Leaves the program's console, if this process is on it. The caller holds
// ChildLock.
void LeaveChildConsole();
