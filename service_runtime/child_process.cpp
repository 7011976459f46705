#include "host_core/file_identity.h"
#include "host_core/host_core.h"
#include "host_core/system_library.h"
#include "last_words.h"
#include "permission_check/who_may_change.h"
#include "service_runtime.h"

PROCESS_INFORMATION ChildProcess;

namespace {

enum class ChildState { NotCreated, Running, Ended };

// Guards ChildProcess, the job and the state below between the service
// thread, which creates the child and closes its handles, the control
// handler and the end of the run. Never held across a wait or a status
// report.
SRWLOCK ChildLock = SRWLOCK_INIT;
ChildState State = ChildState::NotCreated;
bool StopRequested = false;
// The child and every process it starts; null when Windows would not confine
// it. Open until the run is over: when the last handle to it closes, with
// this process at the latest, Windows ends whatever is still in it.
HANDLE ChildJob = nullptr;
// Whether this process is attached to the child's console, and whether the
// child and its job have begun to be ended, after which it attaches no more.
// The console host is in the job: under Wine, ending the job ends every
// process still attached to the console, this one too.
bool OnChildConsole = false;
bool EndBegun = false;

// Wine's console came up 21 to 204 ms after the program was resumed. Tried
// every 10 ms for 250 ms, then after a quarter of the time since the launch,
// and no more after a minute: a console program with no console by then has
// let its own go.
DWORD NextAttachAttemptIn(ULONGLONG sinceLaunch)
{
    return sinceLaunch < 250 ? 10 : sinceLaunch < 60000 ? static_cast<DWORD>(sinceLaunch / 4) : INFINITE;
}

// While on the child's console this process gets the console's events too,
// and ignores them all. After CTRL_CLOSE_EVENT Windows ends it anyway once
// this returns, which is why it leaves the console before that can close.
BOOL WINAPI IgnoreConsoleEvent(DWORD /*event*/)
{
    return TRUE;
}

// Attaches to the running child's console unless this process is on it
// already, or the child is being ended. The caller holds ChildLock.
bool AttachToChildConsole()
{
    if (!OnChildConsole && State == ChildState::Running && !EndBegun) {
        // Our open process handle keeps the process id from being reused.
        OnChildConsole = AttachConsole(ChildProcess.dwProcessId) != FALSE;
    }
    return OnChildConsole;
}

// The caller holds ChildLock.
void LeaveChildConsole()
{
    if (OnChildConsole) {
        FreeConsole();
        OnChildConsole = false;
    }
}

// For the service thread while the child runs: true once there is no more
// to try, attached or the child being ended.
bool TryToAttachToChildConsole()
{
    AcquireSRWLockExclusive(&ChildLock);
    const bool over = AttachToChildConsole() || EndBegun;
    ReleaseSRWLockExclusive(&ChildLock);
    return over;
}

void ReportLaunch(const wchar_t* outcome)
{
    // Passed as an argument, so a '%' in the path is reported as it stands.
    const std::wstring text = outcome + ChildCommandLine;
    LogEvent(L"%s", text.c_str());
}

// A job that ends what is left in it when it is closed, and lets go only of
// a process started with CREATE_BREAKAWAY_FROM_JOB, which asks to outlive
// its parent. Null when it cannot be made.
HANDLE CreateChildJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (job != nullptr &&
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) == FALSE) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

// Creates the child suspended, puts it in the job before it runs any code of
// its own (so that nothing it starts escapes), and lets it run. A child that
// cannot join the job (before Windows 8, a host already in a job that
// forbids nesting) runs unconfined. The caller holds ChildLock. On failure,
// returns the error and leaves no child behind.
DWORD StartChild(HANDLE job)
{
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof startupInfo;
    // A program inherits whether it ignores Ctrl-C from its creator, and
    // nothing says what the service manager gave this process: the program
    // gets it on, or the stop's Ctrl-C would never reach it. This process
    // itself ignores the events of the console it attaches to.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(IgnoreConsoleEvent, TRUE);
    if (CreateProcessW(nullptr, &ChildCommandLine[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | CREATE_SUSPENDED,
                       nullptr, ChildWorkingDirectory.c_str(), &startupInfo, &ChildProcess) == FALSE) {
        return GetLastError();
    }
    const bool confined = job != nullptr && AssignProcessToJobObject(job, ChildProcess.hProcess) != FALSE;
    if (ResumeThread(ChildProcess.hThread) == static_cast<DWORD>(-1)) {
        // A program that never runs would hold the service up for ever.
        const DWORD error = GetLastError();
        TerminateProcess(ChildProcess.hProcess, error);
        CloseHandle(ChildProcess.hThread);
        CloseHandle(ChildProcess.hProcess);
        ChildProcess = PROCESS_INFORMATION{};
        return error;
    }
    ChildJob = confined ? job : nullptr;
    State = ChildState::Running;
    return ERROR_SUCCESS;
}

// True once Windows counts no process in the child's job, or when there is
// no job to count (the child ran unconfined) or it cannot be counted.
bool ChildJobIsEmpty()
{
    AcquireSRWLockExclusive(&ChildLock);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    const bool empty = ChildJob == nullptr ||
                       QueryInformationJobObject(ChildJob, JobObjectBasicAccountingInformation, &accounting,
                                                 sizeof accounting, nullptr) == FALSE ||
                       accounting.ActiveProcesses == 0;
    ReleaseSRWLockExclusive(&ChildLock);
    return empty;
}

// A program that ended by itself may leave what it started running in its
// job. The service is not stopped while any of it runs: a client, or the
// service manager's own recovery, may start the service again the moment it
// reports STOPPED, and a second copy would run beside the first one's
// leftovers. Ending a job's processes takes Windows a moment; one that
// cannot be ended (stuck in a driver) holds the service for 2 s at most.
void EndWhatTheChildLeft()
{
    TerminateChild();
    const ULONGLONG deadline = GetTickCount64() + 2000;
    while (!ChildJobIsEmpty() && GetTickCount64() < deadline) {
        Sleep(10);
    }
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
    // The program runs as the service's account, LocalSystem by default.
    why = WhoElseMayChange(modulePath, ChildProgramPath);
    return why.empty() ? ERROR_SUCCESS : ERROR_ACCESS_DISABLED_BY_POLICY;
}

}  // namespace

void PrepareChildProcess()
{
    AcquireSRWLockExclusive(&ChildLock);
    ChildProcess = PROCESS_INFORMATION{};
    State = ChildState::NotCreated;
    StopRequested = false;
    EndBegun = false;
    ReleaseSRWLockExclusive(&ChildLock);
}

ChildEnd RunChildProcess(const std::wstring& modulePath)
{
    // The program's new console needs a window station: Wine gives a new
    // process its parent's, and this process has one only once USER32 has
    // connected it. Without it the program starts with no console at all.
    // Windows connects the program by rules of its own; there the load only
    // comes earlier than the stop would make it. Loaded, and the job made,
    // before the lock is taken, since both take a while.
    LoadSystemLibrary(L"user32.dll");
    HANDLE job = CreateChildJob();
    std::wstring why;
    const DWORD refusal = LaunchRefusal(modulePath, why);
    const bool consoleProgram = IsConsoleProgram(ChildProgramPath);

    AcquireSRWLockExclusive(&ChildLock);
    ChildProcess = PROCESS_INFORMATION{};
    // A service already being stopped does not start its program.
    const bool launch = !StopRequested;
    const DWORD error = !launch ? ERROR_SUCCESS : refusal != ERROR_SUCCESS ? refusal : StartChild(job);
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
        ReportLaunch(L"子进程创建失败!cmd=");
        if (!why.empty()) {
            LogEvent(L"%s", why.c_str());
        }
        end.CreationError = error;
        return end;
    }
    ReportLaunch(L"子进程创建成功!cmd=");

    // A console program's console comes up while it starts. This thread
    // attaches to it as soon as it is up and stays for the whole run, so
    // that the console, and what the program wrote to it, outlive the
    // program; from then on it waits without a time-out. Only this thread
    // writes ChildProcess, so it reads it without the lock.
    const ULONGLONG launched = GetTickCount64();
    DWORD wait = consoleProgram ? NextAttachAttemptIn(0) : INFINITE;
    while (WaitForSingleObject(ChildProcess.hProcess, wait) == WAIT_TIMEOUT) {
        wait = TryToAttachToChildConsole() ? INFINITE : NextAttachAttemptIn(GetTickCount64() - launched);
    }
    if (GetExitCodeProcess(ChildProcess.hProcess, &end.ExitCode) == FALSE) {
        end.ExitCode = 0;
    }

    AcquireSRWLockExclusive(&ChildLock);
    State = ChildState::Ended;
    CloseHandle(ChildProcess.hThread);
    CloseHandle(ChildProcess.hProcess);
    // During a stop the handler ends the job, once the program has had its
    // 2 s: what the program started may still be ending by itself.
    const bool endedByItself = !StopRequested;
    // Read before anything of the job is ended (a few milliseconds);
    // EndWhatTheChildLeft leaves the console first.
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
    const QuitRequest request = State != ChildState::Running || postThreadMessage == nullptr ? QuitRequest::NothingToAsk
                                : postThreadMessage(ChildProcess.dwThreadId, WM_QUIT, 0, 0) != FALSE
                                    ? QuitRequest::Posted
                                    : QuitRequest::NotYet;
    ReleaseSRWLockExclusive(&ChildLock);
    return request;
}

bool SendCtrlCToChild()
{
    AcquireSRWLockExclusive(&ChildLock);
    // A program without a console (a GUI program), or whose console has not
    // come up yet, cannot be attached to. Every process on the console gets
    // the event, this one too, which ignores it.
    const bool attached = AttachToChildConsole();
    if (attached) {
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    }
    const bool done = attached || State != ChildState::Running;
    ReleaseSRWLockExclusive(&ChildLock);
    return done;
}

void TerminateChild()
{
    AcquireSRWLockExclusive(&ChildLock);
    LeaveChildConsole();
    EndBegun = true;
    // The job holds what the child started, whether the child still runs or
    // has already quit.
    if (ChildJob != nullptr) {
        TerminateJobObject(ChildJob, 2);
    } else if (State == ChildState::Running) {
        TerminateProcess(ChildProcess.hProcess, 2);
    }
    ReleaseSRWLockExclusive(&ChildLock);
}

void ReleaseChildJob()
{
    AcquireSRWLockExclusive(&ChildLock);
    LeaveChildConsole();
    EndBegun = true;
    if (ChildJob != nullptr) {
        CloseHandle(ChildJob);
        ChildJob = nullptr;
    }
    ReleaseSRWLockExclusive(&ChildLock);
}
