#include "host_core/host_core.h"
#include "host_core/system_library.h"
#include "service_runtime.h"

PROCESS_INFORMATION ChildProcess;

namespace {

enum class ChildState { NotCreated, Running, Ended };

// Guards ChildProcess and the state below between the service thread, which
// creates the child and closes its handles, and the control handler. Never
// held across a wait or a status report.
SRWLOCK ChildLock = SRWLOCK_INIT;
ChildState State = ChildState::NotCreated;
bool StopRequested = false;

void ReportLaunch(const wchar_t* outcome)
{
    // Passed as an argument, so a '%' in the path is reported as it stands.
    const std::wstring text = outcome + ChildCommandLine;
    LogEvent(L"%s", text.c_str());
}

}  // namespace

void PrepareChildProcess()
{
    AcquireSRWLockExclusive(&ChildLock);
    ChildProcess = PROCESS_INFORMATION{};
    State = ChildState::NotCreated;
    StopRequested = false;
    ReleaseSRWLockExclusive(&ChildLock);
}

void RunChildProcess()
{
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof startupInfo;

    // The program's new console needs a window station: Wine gives a new
    // process its parent's, and this process has one only once USER32 has
    // connected it. Without it the program starts with no console at all.
    // Windows connects the program by rules of its own; there the load only
    // comes earlier than the stop would make it. Loaded before the lock is
    // taken, since loading it takes a while.
    LoadSystemLibrary(L"user32.dll");

    AcquireSRWLockExclusive(&ChildLock);
    ChildProcess = PROCESS_INFORMATION{};
    // A service already being stopped does not start its program.
    const bool launch = !StopRequested;
    const bool created =
        launch && CreateProcessW(nullptr, &ChildCommandLine[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                                 ChildWorkingDirectory.c_str(), &startupInfo, &ChildProcess) != FALSE;
    if (created) {
        State = ChildState::Running;
    }
    ReleaseSRWLockExclusive(&ChildLock);

    if (!launch) {
        return;
    }
    if (!created) {
        ReportLaunch(L"子进程创建失败!cmd=");
        return;
    }
    ReportLaunch(L"子进程创建成功!cmd=");

    // Only this thread writes ChildProcess, so it reads it without the lock.
    WaitForSingleObject(ChildProcess.hProcess, INFINITE);

    AcquireSRWLockExclusive(&ChildLock);
    State = ChildState::Ended;
    CloseHandle(ChildProcess.hThread);
    CloseHandle(ChildProcess.hProcess);
    ReleaseSRWLockExclusive(&ChildLock);
}

bool AskChildToQuit()
{
    // USER32 is in already, unless it could not be loaded for the launch.
    const auto postThreadMessage =
        LoadSystemFunction<decltype(&PostThreadMessageW)>(L"user32.dll", "PostThreadMessageW");
    AcquireSRWLockExclusive(&ChildLock);
    StopRequested = true;
    // Our open thread handle keeps the thread id from being reused. Without
    // USER32 there is nobody to ask: the termination follows all the same.
    const bool done = State != ChildState::Running || postThreadMessage == nullptr ||
                      postThreadMessage(ChildProcess.dwThreadId, WM_QUIT, 0, 0) != FALSE;
    ReleaseSRWLockExclusive(&ChildLock);
    return done;
}

void TerminateRunningChild()
{
    AcquireSRWLockExclusive(&ChildLock);
    if (State == ChildState::Running) {
        TerminateProcess(ChildProcess.hProcess, 2);
    }
    ReleaseSRWLockExclusive(&ChildLock);
}
