#include "host_core/failure_notice.h"
#include "host_core/file_identity.h"
#include "host_core/host_core.h"
#include "host_core/paths.h"
#include "host_core/system_library.h"
#include "last_words.h"
#include "permission_check/who_may_change.h"
#include "program_image.h"
#include "service_runtime.h"

#include <atomic>

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
// Whether this process made a console for a console program and is on it.
// It stays until the run is over, so that the console, and what the program
// wrote to it, outlive the program however fast it ends: Windows closes a
// console when the last process on it has left.
bool OnChildConsole = false;
// The thread that makes the program's console while the service manager
// connects the dispatcher, taken by whoever waits for it first (the launch,
// or the dispatcher's failure), and what came of it (read once it has
// ended).
enum class EarlyConsole { NotTried, Made, Failed };
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

// The caller holds ChildLock.
void LeaveChildConsole()
{
    if (OnChildConsole) {
        FreeOurConsole();
        OnChildConsole = false;
    }
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

// Waits for the early console, and tells what came of it.
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

// The creation flags for the program: none besides suspension on our console
// (made early, or now), or a console of its own when ours cannot be made
// (the program is then asked to end without Ctrl-C, and leaves no last
// words). A GUI program gets no console. The caller holds ChildLock.
DWORD MakeChildConsole(bool consoleProgram)
{
    if (!consoleProgram) {
        return CREATE_NEW_CONSOLE;
    }
    OnChildConsole = OnChildConsole || MakeConsole();
    return OnChildConsole ? 0 : CREATE_NEW_CONSOLE;
}

void ReportLaunch(const wchar_t* outcome)
{
    // Passed as an argument, so that a '%' in the path is not read as a
    // format; the event log keeps it from reading as an insertion.
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
    // Installed before the host refused such a path, or moved since.
    if (!FitsACommandLine(ChildProgramPath)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // The program runs as the service's account, LocalSystem by default.
    why = WhyOthersMayChange(modulePath, ChildProgramPath);
    return why.empty() ? ERROR_SUCCESS : ERROR_ACCESS_DISABLED_BY_POLICY;
}

}  // namespace

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

void PrepareChildProcess()
{
    AcquireSRWLockExclusive(&ChildLock);
    ChildProcess = PROCESS_INFORMATION{};
    State = ChildState::NotCreated;
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
        ReportLaunch(L"子进程创建失败!cmd=");
        if (!why.empty()) {
            LogEvent(L"%s", why.c_str());
        }
        end.CreationError = error;
        return end;
    }
    ReportLaunch(L"子进程创建成功!cmd=");

    // Only this thread writes ChildProcess, so it reads it without the lock.
    WaitForSingleObject(ChildProcess.hProcess, INFINITE);
    if (GetExitCodeProcess(ChildProcess.hProcess, &end.ExitCode) == FALSE) {
        end.ExitCode = 0;
    }
    // The program ended by itself unless a stop had begun: then the stop
    // ends the job once the program has had its 2 s, and tells the end.
    const bool endedByItself = ClaimTheEndOfTheRun();

    AcquireSRWLockExclusive(&ChildLock);
    State = ChildState::Ended;
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
    const QuitRequest request = State != ChildState::Running || postThreadMessage == nullptr ? QuitRequest::NothingToAsk
                                : postThreadMessage(ChildProcess.dwThreadId, WM_QUIT, 0, 0) != FALSE
                                    ? QuitRequest::Posted
                                    : QuitRequest::NotYet;
    ReleaseSRWLockExclusive(&ChildLock);
    return request;
}

void SendCtrlCToChild()
{
    AcquireSRWLockExclusive(&ChildLock);
    // Every process on the console gets it: the program, what it started
    // there, and this process, which ignores it.
    if (OnChildConsole && State == ChildState::Running) {
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    }
    ReleaseSRWLockExclusive(&ChildLock);
}

void TerminateChild()
{
    AcquireSRWLockExclusive(&ChildLock);
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
    if (ChildJob != nullptr) {
        CloseHandle(ChildJob);
        ChildJob = nullptr;
    }
    LeaveChildConsole();
    ReleaseSRWLockExclusive(&ChildLock);
}
