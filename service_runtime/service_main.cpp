#include "host_core/host_core.h"
#include "host_core/service_mode.h"
#include "host_core/texts.h"
#include "service_runtime.h"

const HostIdentity* ServiceHost = nullptr;

namespace {

// Where the run stands, and so who may still report for it. Whichever comes
// first, the program's own end or a stop, tells the end: once the handler has
// begun a stop, only it reports, and once the program has ended by itself,
// only the service thread does. STOPPED is the run's last report. The
// status handle belongs to the service, not to this process: a report made
// after STOPPED would land on whichever run a second client has started
// since, and leave it marked stopped with nobody able to stop it.
enum class RunStage { Running, Stopping, Ending, Stopped };

// Guards ServiceStatus, StatusHandle and the stage between the service thread
// and the control handler. It is released before each report: Wine holds a
// report on the service thread until the running control handler returns, so
// a report made under a lock that the handler needs would deadlock.
SRWLOCK StatusLock = SRWLOCK_INIT;
RunStage Stage = RunStage::Running;
// Set once STOPPED has been reported, for whoever waits for it.
bool StoppedReported = false;
CONDITION_VARIABLE StoppedReportMade = CONDITION_VARIABLE_INIT;

// Counts the control handlers running, so that the process does not end
// under one: Wine returns from the dispatcher as soon as STOPPED is reported,
// while its handler thread has yet to return and answer the service manager.
SRWLOCK HandlerLock = SRWLOCK_INIT;
CONDITION_VARIABLE HandlersDone = CONDITION_VARIABLE_INIT;
int RunningHandlers = 0;
DWORD HandlerThread = 0;

// Wine's control thread answers the service manager only once our handler
// has returned, and a process that ends before it has fails the client's
// request (sc stop: error 109) although the service stopped. A fraction of a
// second covers a thread preempted there on a loaded machine.
const DWORD AnswerGrace = 200;

// Moves the run from one stage to the next and reports the state, with the
// exit codes a STOPPED report carries; false, and nothing reported, when the
// run is no longer at `from`.
bool ReportServiceState(RunStage from, RunStage to, DWORD state, DWORD win32ExitCode = ERROR_SUCCESS,
                        DWORD serviceSpecificExitCode = 0)
{
    AcquireSRWLockExclusive(&StatusLock);
    const bool moves = Stage == from;
    SERVICE_STATUS report = {};
    SERVICE_STATUS_HANDLE handle = nullptr;
    if (moves) {
        Stage = to;
        ServiceStatus.dwCurrentState = state;
        // No control while starting ("or the service can crash"); a pending
        // state carries a check-point and how long it lasts at most: a stop
        // takes 4 s, a start reports RUNNING at once.
        ServiceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
        ServiceStatus.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 1 : 0;
        ServiceStatus.dwWaitHint = state == SERVICE_STOP_PENDING ? 5000 : state == SERVICE_START_PENDING ? 1000 : 0;
        ServiceStatus.dwWin32ExitCode = win32ExitCode;
        ServiceStatus.dwServiceSpecificExitCode = serviceSpecificExitCode;
        report = ServiceStatus;
        handle = StatusHandle;
    }
    ReleaseSRWLockExclusive(&StatusLock);
    if (moves) {
        SetServiceStatus(handle, &report);
    }
    if (moves && to == RunStage::Stopped) {
        AcquireSRWLockExclusive(&StatusLock);
        StoppedReported = true;
        WakeAllConditionVariable(&StoppedReportMade);
        ReleaseSRWLockExclusive(&StatusLock);
    }
    return moves;
}

// Sleeps until the tick count reaches `deadline`. Windows ends a sleep at a
// clock tick (15.6 ms by default), up to a tick before or after the time
// asked for: sleeps are not added up, and the clock is read again until the
// deadline has passed.
void SleepUntil(ULONGLONG deadline)
{
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        Sleep(static_cast<DWORD>(deadline - now));
    }
}

// Asks the child to quit, by its message queue and by its console, gives it
// 2 s, ends it and all it started, and reports STOPPED 4 s after the request
// whatever the child did. A request that comes once the run is stopping or
// stopped changes nothing.
void StopService()
{
    const ULONGLONG requested = GetTickCount64();
    if (!ReportServiceState(RunStage::Running, RunStage::Stopping, SERVICE_STOP_PENDING)) {
        return;
    }
    const ULONGLONG terminateAt = requested + 2000;
    // A program that takes the quit message has 1 s to act on it before its
    // console gets Ctrl-C, on which a console program without a handler of
    // its own ends at once, in the middle of whatever the message began. One
    // whose thread has no message queue, as most console programs, gets
    // Ctrl-C at once. A program still loading has no message queue yet: it is
    // asked again every 50 ms while it may still begin to listen.
    const QuitRequest first = AskChildToQuit();
    bool posted = first != QuitRequest::NotYet;
    ULONGLONG interruptAt = first == QuitRequest::Posted ? requested + 1000 : requested;
    bool interrupted = false;
    for (ULONGLONG now = requested; now < terminateAt; now = GetTickCount64()) {
        if (!interrupted && now >= interruptAt) {
            SendCtrlCToChild();
            interrupted = true;
        }
        if (posted && interrupted) {
            break;
        }
        const ULONGLONG wake = posted ? interruptAt : now + 50;
        Sleep(static_cast<DWORD>((wake < terminateAt ? wake : terminateAt) - now));
        if (!posted && AskChildToQuit() != QuitRequest::NotYet) {
            posted = true;
            interruptAt = interrupted ? interruptAt : GetTickCount64() + 1000;
        }
    }
    SleepUntil(terminateAt);
    TerminateChild();
    SleepUntil(requested + 4000);
    // The service thread may still wait on a program that survived its
    // termination (stuck in a driver). It reports nothing once the stage has
    // moved, and holds no lock while it waits: the dispatcher returns after
    // this STOPPED, and WinMain's return ends the process, and it with it.
    ReportStopUnderWay();
}

}  // namespace

void WINAPI ServiceMain(DWORD /*argumentCount*/, LPWSTR* /*arguments*/)
{
    // Copied before any control can come: once a stop has been handled,
    // WinMain, whose record it is, may return while this thread goes on.
    const std::wstring modulePath = ServiceHost->ModulePath;
    SetRunningAsService(true);
    PrepareChildProcess();

    AcquireSRWLockExclusive(&StatusLock);
    Stage = RunStage::Running;
    StoppedReported = false;
    ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    ReleaseSRWLockExclusive(&StatusLock);

    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(ServiceName.c_str(), ServiceCtrlHandler);
    if (handle == nullptr) {
        ForgetEarlyConsole();
        LogEvent(L"%s", HandlerNotInstalled);
        return;
    }
    AcquireSRWLockExclusive(&StatusLock);
    StatusHandle = handle;
    ReleaseSRWLockExclusive(&StatusLock);
    ReportServiceState(RunStage::Running, RunStage::Running, SERVICE_START_PENDING);
    ReportServiceState(RunStage::Running, RunStage::Running, SERVICE_RUNNING);

    const ChildEnd end = RunChildProcess(modulePath);

    // During a stop the handler makes the run's one STOPPED report, 4 s after
    // the request, with no error: the service shows STOP_PENDING until then.
    // Otherwise the report says why the service ended, so that monitoring
    // and Windows' recovery actions see a failure as one: the error that
    // kept the program from starting, or the program's own exit code.
    if (end.CreationError != ERROR_SUCCESS) {
        ClaimTheEndOfTheRun();
    }
    LogEvent(L"%s", StoppedEvent);
    const DWORD win32ExitCode = end.CreationError != ERROR_SUCCESS ? end.CreationError
                                : end.ExitCode != 0                ? ERROR_SERVICE_SPECIFIC_ERROR
                                                                   : ERROR_SUCCESS;
    ReportServiceState(RunStage::Ending, RunStage::Stopped, SERVICE_STOPPED, win32ExitCode, end.ExitCode);
}

bool ClaimTheEndOfTheRun()
{
    AcquireSRWLockExclusive(&StatusLock);
    const bool claimed = Stage == RunStage::Running;
    if (claimed) {
        Stage = RunStage::Ending;
    }
    ReleaseSRWLockExclusive(&StatusLock);
    return claimed;
}

void ReportStopUnderWay()
{
    AcquireSRWLockExclusive(&StatusLock);
    const bool stopping = Stage == RunStage::Stopping;
    ReleaseSRWLockExclusive(&StatusLock);
    // "Service stopped" goes out before the STOPPED report: once that report
    // is made the process may end at any moment, taking later work with it.
    // The handler and a closing console may both get here: only the first
    // report is made.
    if (stopping) {
        LogEvent(L"%s", StoppedEvent);
        ReportServiceState(RunStage::Stopping, RunStage::Stopped, SERVICE_STOPPED);
    }
}

bool WaitForStoppedReport(ULONGLONG deadline)
{
    AcquireSRWLockExclusive(&StatusLock);
    for (ULONGLONG now = GetTickCount64(); !StoppedReported && now < deadline; now = GetTickCount64()) {
        SleepConditionVariableSRW(&StoppedReportMade, &StatusLock, static_cast<DWORD>(deadline - now), 0);
    }
    const bool reported = StoppedReported;
    ReleaseSRWLockExclusive(&StatusLock);
    return reported;
}

void WaitForControlHandlers()
{
    AcquireSRWLockExclusive(&HandlerLock);
    while (RunningHandlers > 0) {
        SleepConditionVariableSRW(&HandlersDone, &HandlerLock, INFINITE, 0);
    }
    // Windows runs the handler on this very thread, which has answered for
    // it before the dispatcher returns; only Wine's thread needs the grace.
    const bool handledElsewhere = HandlerThread != 0 && HandlerThread != GetCurrentThreadId();
    ReleaseSRWLockExclusive(&HandlerLock);
    if (handledElsewhere) {
        Sleep(AnswerGrace);
    }
}

void WINAPI ServiceCtrlHandler(DWORD control)
{
    AcquireSRWLockExclusive(&HandlerLock);
    ++RunningHandlers;
    HandlerThread = GetCurrentThreadId();
    ReleaseSRWLockExclusive(&HandlerLock);

    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: StopService(); break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE: break;
    default: LogEvent(L"%s", BadServiceRequest); break;
    }

    AcquireSRWLockExclusive(&HandlerLock);
    --RunningHandlers;
    WakeAllConditionVariable(&HandlersDone);
    ReleaseSRWLockExclusive(&HandlerLock);
}
