#include "child_job.h"

#include "child_console.h"
#include "child_state.h"
#include "service_runtime.h"

// Guarded by ChildLock (child_state.h).
HANDLE ChildJob = nullptr;

namespace {

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

}  // namespace

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

void EndWhatTheChildLeft()
{
    TerminateChild();
    // Ending a job's processes takes Windows a moment; one that cannot be
    // ended (stuck in a driver) holds the service for 2 s at most.
    const ULONGLONG deadline = GetTickCount64() + 2000;
    while (!ChildJobIsEmpty() && GetTickCount64() < deadline) {
        Sleep(10);
    }
}

void TerminateChild()
{
    AcquireSRWLockExclusive(&ChildLock);
    // The job holds what the child started, whether the child still runs or
    // has already quit.
    if (ChildJob != nullptr) {
        TerminateJobObject(ChildJob, 2);
    } else if (ChildProcessState == ChildState::Running) {
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
