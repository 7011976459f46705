#include "child_console.h"
#include "child_job.h"
#include "child_state.h"
#include "host_core/file_identity.h"
#include "host_core/host_core.h"
#include "host_core/paths.h"
#include "host_core/system_library.h"
#include "host_core/texts.h"
#include "last_words.h"
#include "permission_check/who_may_change.h"
#include "program_image.h"
#include "service_runtime.h"

// What they are, and what ChildLock guards: service_runtime.h, child_state.h.
PROCESS_INFORMATION ChildProcess;
SRWLOCK ChildLock = SRWLOCK_INIT;
ChildState ChildProcessState = ChildState::NotCreated;

namespace {

// Guarded by ChildLock: set by a stop, which a launch still to come heeds.
bool StopRequested = false;

void ReportLaunch(const wchar_t* outcome)
{
    // Passed as an argument, so that a '%' in the path is not read as a
    // format; the event log keeps it from reading as an insertion.
    const std::wstring text = outcome + ChildCommandLine;
    LogEvent(L"%s", text.c_str());
}

// Creates the child suspended, puts it in the job before it runs any code of
// its own (so that nothing it starts escapes), and lets it run. A child that
// cannot join the job (before Windows 8, a host already in a job that
// forbids nesting) runs unconfined. The caller holds ChildLock. On failure,
// returns the error and leaves no child, and no console, behind.
DWORD StartChild(HANDLE job, bool consoleProgram)
{
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof startupInfo;
    const DWORD console = MakeChildConsole(consoleProgram);
    // A program inherits whether it ignores Ctrl-C from its creator, and
    // nothing says what the service manager gave this process: the program
    // gets it on, or the stop's Ctrl-C would never reach it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (CreateProcessW(nullptr, &ChildCommandLine[0], nullptr, nullptr, FALSE, console | CREATE_SUSPENDED, nullptr,
                       ChildWorkingDirectory.c_str(), &startupInfo, &ChildProcess) == FALSE) {
        const DWORD error = GetLastError();
        LeaveChildConsole();
        return error;
    }
    const bool confined = job != nullptr && AssignProcessToJobObject(job, ChildProcess.hProcess) != FALSE;
    if (ResumeThread(ChildProcess.hThread) == static_cast<DWORD>(-1)) {
        // A program that never runs would hold the service up for ever.
        const DWORD error = GetLastError();
        TerminateProcess(ChildProcess.hProcess, error);
        CloseHandle(ChildProcess.hThread);
        CloseHandle(ChildProcess.hProcess);
        ChildProcess = PROCESS_INFORMATION{};
        LeaveChildConsole();
        return error;
    }
    ChildJob = confined ? job : nullptr;
    ChildProcessState = ChildState::Running;
    return ERROR_SUCCESS;
}

// ERROR_SUCCESS when the program may be started; else the error the service
// stops with, and in `why` what the launch failure alone would not tell.
DWORD LaunchRefusal(const std::wstring& modulePath, std::wstring& why)
{
    // A stem of fewer than three units names the host itself, which would
    // only wait in the dispatcher, fail and end with 0: no program there.
    if (IsSameFileInSameFolder(ChildProgramPath, modulePath)) {
        return ERROR_FILE_NOT_FOUND;
    }
    // Installed before the host refused such a path, or moved since.
    if (!FitsACommandLine(ChildProgramPath)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // The program runs as the service's account, LocalSystem by default.
    why = WhyOthersMayChange(modulePath, ChildProgramPath);
    return why.empty() ? ERROR_SUCCESS : ERROR_ACCESS_DISABLED_BY_POLICY;
}

}  // namespace

void PrepareChildProcess()
{
    AcquireSRWLockExclusive(&ChildLock);
    ChildProcess = PROCESS_INFORMATION{};
    ChildProcessState = ChildState::NotCreated;
    StopRequested = false;
    ReleaseSRWLockExclusive(&ChildLock);
}

ChildEnd RunChildProcess(const std::wstring& modulePath)
{
    // The program's console needs a window station: Wine gives a console
    // host its creator's, and this process has one only once USER32 has
    // connected it. Without it there is no console at all. Windows connects
    // the process by rules of its own; there the load only comes earlier
    // than the stop would make it. Loaded, and the job made, before the lock
    // is taken, since both take a while.
    LoadSystemLibrary(L"user32.dll");
    HANDLE job = CreateChildJob();
    std::wstring why;
    const DWORD refusal = LaunchRefusal(modulePath, why);
    // A console that could not be made early is not tried again.
    const EarlyConsole early = AwaitEarlyConsole();
    const bool consoleProgram = IsConsoleProgram(ChildProgramPath) && early != EarlyConsole::Failed;

    AcquireSRWLockExclusive(&ChildLock);
    ChildProcess = PROCESS_INFORMATION{};
    OnChildConsole = early == EarlyConsole::Made;
    // A service already being stopped does not start its program.
    const bool launch = !StopRequested;
    const DWORD error = !launch ? ERROR_SUCCESS : refusal != ERROR_SUCCESS ? refusal : StartChild(job, consoleProgram);
    // A console made for a program that does not run is of no use.
    if (!launch || error != ERROR_SUCCESS) {
        LeaveChildConsole();
    }
    // A job the child did not join is of no use.
    if (job != nullptr && job != ChildJob) {
        CloseHandle(job);
    }
    ReleaseSRWLockExclusive(&ChildLock);

    ChildEnd end = {};
    if (!launch) {
        return end;
    }
    if (error != ERROR_SUCCESS) {
        ReportLaunch(LaunchFailed);
        if (!why.empty()) {
            LogEvent(L"%s", why.c_str());
        }
        end.CreationError = error;
        return end;
    }
    ReportLaunch(Launched);

    // Only this thread writes ChildProcess, so it reads it without the lock.
    WaitForSingleObject(ChildProcess.hProcess, INFINITE);
    if (GetExitCodeProcess(ChildProcess.hProcess, &end.ExitCode) == FALSE) {
        end.ExitCode = 0;
    }
    // The program ended by itself unless a stop had begun: then the stop
    // ends the job once the program has had its 2 s, and tells the end.
    const bool endedByItself = ClaimTheEndOfTheRun();

    AcquireSRWLockExclusive(&ChildLock);
    ChildProcessState = ChildState::Ended;
    CloseHandle(ChildProcess.hThread);
    CloseHandle(ChildProcess.hProcess);
    // Read before anything of the job is ended: what the program started
    // may still write.
    const std::wstring lastLines = endedByItself && OnChildConsole ? ReadLastLines() : std::wstring();
    ReleaseSRWLockExclusive(&ChildLock);
    if (endedByItself) {
        EndWhatTheChildLeft();
        ReportLastWords(end.ExitCode, lastLines);
    }
    return end;
}

QuitRequest AskChildToQuit()
{
    // USER32 is in already, unless it could not be loaded for the launch.
    const auto postThreadMessage =
        LoadSystemFunction<decltype(&PostThreadMessageW)>(L"user32.dll", "PostThreadMessageW");
    AcquireSRWLockExclusive(&ChildLock);
    StopRequested = true;
    // Our open thread handle keeps the thread id from being reused. Without
    // USER32 there is nobody to ask: the termination follows all the same.
    const QuitRequest request =
        ChildProcessState != ChildState::Running || postThreadMessage == nullptr ? QuitRequest::NothingToAsk
        : postThreadMessage(ChildProcess.dwThreadId, WM_QUIT, 0, 0) != FALSE     ? QuitRequest::Posted
                                                                                 : QuitRequest::NotYet;
    ReleaseSRWLockExclusive(&ChildLock);
    return request;
}
