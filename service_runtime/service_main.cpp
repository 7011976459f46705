#include "host_core/host_core.h"
#include "host_core/service_mode.h"
#include "service_runtime.h"

namespace {

// Guards ServiceStatus and StatusHandle between the service thread and the
// control handler. It is released before each report: Wine holds a report on
// the service thread until the running control handler returns, so a report
// made under a lock that the handler needs would deadlock.
SRWLOCK StatusLock = SRWLOCK_INIT;

// Counts the control handlers running, so that the process does not end
// under one: Wine returns from the dispatcher as soon as STOPPED is reported,
// while its handler thread has yet to return and answer the service manager.
SRWLOCK HandlerLock = SRWLOCK_INIT;
CONDITION_VARIABLE HandlersDone = CONDITION_VARIABLE_INIT;
int RunningHandlers = 0;

void ReportServiceState(DWORD state)
{
    AcquireSRWLockExclusive(&StatusLock);
    ServiceStatus.dwCurrentState = state;
    SERVICE_STATUS report = ServiceStatus;
    SERVICE_STATUS_HANDLE handle = StatusHandle;
    ReleaseSRWLockExclusive(&StatusLock);
    SetServiceStatus(handle, &report);
}

// "Service stopped" goes out before the STOPPED report: once that report is
// made the process may end at any moment, taking later work with it.
void ReportStopped()
{
    LogEvent(L"Service stopped");
    ReportServiceState(SERVICE_STOPPED);
}

// Asks the child to quit, gives it 2 s, terminates it, and reports STOPPED
// 4 s after the request whatever the child did.
void StopService()
{
    ReportServiceState(SERVICE_STOP_PENDING);
    AskChildToQuit();
    Sleep(2000);
    TerminateRunningChild();
    Sleep(2000);
    ReportStopped();
}

}  // namespace

void WINAPI ServiceMain(DWORD /*argumentCount*/, LPWSTR* /*arguments*/)
{
    SetRunningAsService(true);
    PrepareChildProcess();

    AcquireSRWLockExclusive(&StatusLock);
    ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    ReleaseSRWLockExclusive(&StatusLock);

    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(ServiceName.c_str(), ServiceCtrlHandler);
    if (handle == nullptr) {
        LogEvent(L"Handler not installed");
        return;
    }
    AcquireSRWLockExclusive(&StatusLock);
    StatusHandle = handle;
    ReleaseSRWLockExclusive(&StatusLock);
    ReportServiceState(SERVICE_START_PENDING);

    AcquireSRWLockExclusive(&StatusLock);
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
    ReleaseSRWLockExclusive(&StatusLock);
    ReportServiceState(SERVICE_RUNNING);

    RunChildProcess();

    ReportStopped();
}

void WaitForControlHandlers()
{
    AcquireSRWLockExclusive(&HandlerLock);
    while (RunningHandlers > 0) {
        SleepConditionVariableSRW(&HandlersDone, &HandlerLock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&HandlerLock);
}

void WINAPI ServiceCtrlHandler(DWORD control)
{
    AcquireSRWLockExclusive(&HandlerLock);
    ++RunningHandlers;
    ReleaseSRWLockExclusive(&HandlerLock);

    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: StopService(); break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE: break;
    default: LogEvent(L"Bad service request"); break;
    }

    AcquireSRWLockExclusive(&HandlerLock);
    --RunningHandlers;
    WakeAllConditionVariable(&HandlersDone);
    ReleaseSRWLockExclusive(&HandlerLock);
}
