#include "child_console.h"

#include "child_state.h"
#include "host_core/failure_notice.h"
#include "host_core/host_core.h"
#include "host_core/system_library.h"
#include "program_image.h"
#include "service_runtime.h"

#include <atomic>

// Guarded by ChildLock (child_state.h).
bool OnChildConsole = false;

namespace {

// The thread that makes the program's console while the service manager
// connects the dispatcher, taken by whoever waits for it first (the launch,
// or the dispatcher's failure), and what came of it (read once it has
// ended).
std::atomic<HANDLE> ConsoleMaker{nullptr};
EarlyConsole ConsoleMadeEarly = EarlyConsole::NotTried;

// Leaving the console leaves the standard handles that making it set: they
// would name handles closed with it, which may be reused for anything.
void FreeOurConsole()
{
    FreeConsole();
    SetStdHandle(STD_INPUT_HANDLE, nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
}

// The console is closing (its window was closed, by the program or by
// anyone) and Windows ends this process once the handler returns, or about
// 5 s after the event. The program gets 2 s to end by itself on its own
// close event, then it is ended, so that the service thread has reported its
// end, STOPPED included, before Windows ends this process. A stop that came
// meanwhile tells the end instead, and reports it before then.
void HoldTheCloseUntilStopped()
{
    const ULONGLONG closed = GetTickCount64();
    if (!WaitForStoppedReport(closed + 2000)) {
        TerminateChild();
        if (!WaitForStoppedReport(closed + 4000)) {
            ReportStopUnderWay();
            WaitForStoppedReport(closed + 4500);
        }
    }
}

// Every process on the console gets its events, this one too. Ctrl-C and
// Ctrl-Break, the stop's own or anyone's, are ignored.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT) {
        HoldTheCloseUntilStopped();
    }
    return TRUE;
}

// A console of this process's own for a console program, which the program
// is then created on: this process is on it before the program runs an
// instruction. Making a console, like leaving or attaching to one, resets
// this process's handler table to the default, which ends the process on any
// console event: the handler is registered again at once. False, and no
// console kept, when either fails.
bool MakeConsole()
{
    if (AllocConsole() == FALSE) {
        return false;
    }
    if (SetConsoleCtrlHandler(OnConsoleEvent, TRUE) == FALSE) {
        FreeOurConsole();
        return false;
    }
    SetConsoleTitleW(ChildProgramPath.c_str());
    return true;
}

// Windows takes about a process start to bring a console up (its console
// host is a process). Made while the service manager connects the
// dispatcher, it costs the start nothing. Only where nobody could see it,
// as on a service's window station: a host started by hand fails in the
// dispatcher, and must not flash a console at its user.
DWORD WINAPI MakeConsoleEarly(LPVOID /*unused*/)
{
    // USER32 first: Wine makes a console only for a process with a window
    // station, which USER32 connects.
    LoadSystemLibrary(L"user32.dll");
    if (IsConsoleProgram(ChildProgramPath) && !WindowsCanBeSeen()) {
        ConsoleMadeEarly = MakeConsole() ? EarlyConsole::Made : EarlyConsole::Failed;
    }
    return 0;
}

}  // namespace

EarlyConsole AwaitEarlyConsole()
{
    HANDLE maker = ConsoleMaker.exchange(nullptr);
    if (maker == nullptr) {
        return EarlyConsole::NotTried;
    }
    WaitForSingleObject(maker, INFINITE);
    CloseHandle(maker);
    return ConsoleMadeEarly;
}

DWORD MakeChildConsole(bool consoleProgram)
{
    if (!consoleProgram) {
        return CREATE_NEW_CONSOLE;
    }
    OnChildConsole = OnChildConsole || MakeConsole();
    return OnChildConsole ? 0 : CREATE_NEW_CONSOLE;
}

void LeaveChildConsole()
{
    if (OnChildConsole) {
        FreeOurConsole();
        OnChildConsole = false;
    }
}

void StartMakingChildConsole()
{
    ConsoleMadeEarly = EarlyConsole::NotTried;
    ConsoleMaker = CreateThread(nullptr, 0, MakeConsoleEarly, nullptr, 0, nullptr);
}

void ForgetEarlyConsole()
{
    if (AwaitEarlyConsole() == EarlyConsole::Made) {
        FreeOurConsole();
    }
}

void SendCtrlCToChild()
{
    AcquireSRWLockExclusive(&ChildLock);
    // Every process on the console gets it: the program, what it started
    // there, and this process, which ignores it.
    if (OnChildConsole && ChildProcessState == ChildState::Running) {
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    }
    ReleaseSRWLockExclusive(&ChildLock);
}
