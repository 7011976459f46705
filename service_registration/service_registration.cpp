#include "service_registration.h"
#include "host_core/failure_notice.h"
#include "host_core/host_core.h"
#include "host_core/paths.h"
#include "host_core/texts.h"
#include "host_record.h"
#include "permission_check/who_may_change.h"
#include "registered_path.h"

namespace {

// Why the call just made failed. Windows always says, but an exit code of 0
// would report the failure as a success.
DWORD FailureError()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// A box where somebody sees it; else, for a deployment tool that runs the
// host where nobody sees a box, the text in its log of standard error and in
// the event log. Returns `error`, the process's exit code, which is what a
// deployment tool reads.
DWORD TellFailure(const wchar_t* text, DWORD error)
{
    if (!ShowFailure(text)) {
        LogEvent(L"%s", text);
    }
    return error;
}

// A service left in place is always logged, and told like the installer's
// failures as well: /uninstall that leaves the service in place must not
// look like one that removed it.
void ShowNotDeleted()
{
    LogEvent(L"%s", NotDeleted);
    ShowFailure(NotDeleted);
}

// A deletion still under way (an upgrade script's /uninstall of the running
// service a moment ago) ends once the service has stopped and every client
// has let go: wait for it, up to 10 s.
Record WaitWhileBeingDeleted(SC_HANDLE manager, const std::wstring& modulePath, DWORD access,
                             std::wstring* recorded = nullptr)
{
    const ULONGLONG deadline = GetTickCount64() + 10000;
    Record record = FindRecord(manager, modulePath, access, recorded);
    while (record == Record::BeingDeleted && GetTickCount64() < deadline) {
        Sleep(100);
        record = FindRecord(manager, modulePath, access, recorded);
    }
    return record;
}

// Records the host under ServiceName through `manager`; ERROR_SUCCESS once
// a record of this very file stands there.
DWORD CreateRecord(SC_HANDLE manager, const std::wstring& modulePath)
{
    // Anything but a live record of this very file is not installed: the
    // creation then fails on the taken name and says so.
    const DWORD checkAccess = SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG;
    std::wstring recorded;
    const Record record = WaitWhileBeingDeleted(manager, modulePath, checkAccess, &recorded);
    // A record the service manager could never run is not made; nor one
    // whose program, run as LocalSystem, others than administrators may
    // change: the host's file, the program beside it, or their folders. A
    // record already there is judged all the same, by the path it runs, as
    // its next start will judge it: a deployment tool that runs /install
    // again to make sure reads the answer that start would give.
    const std::wstring reachable =
        record == Record::OfThisHost ? LongFormOf(recorded) : PathForServiceManager(modulePath);
    if (reachable.empty()) {
        return TellFailure(CreateFailed, ERROR_BAD_PATHNAME);
    }
    // Nor one that the service manager, or the host, could not launch.
    const std::wstring program = FolderOf(reachable) + ChildProgramPath.substr(ChildWorkingDirectory.size());
    if (!FitsACommandLine(reachable) || !FitsACommandLine(program)) {
        return TellFailure(CreateFailed, ERROR_FILENAME_EXCED_RANGE);
    }
    const std::wstring why = WhyOthersMayChange(reachable, program);
    if (!why.empty()) {
        LogEvent(L"%s", why.c_str());
        return TellFailure(CreateFailed, ERROR_ACCESS_DISABLED_BY_POLICY);
    }
    if (record == Record::OfThisHost) {
        return ERROR_SUCCESS;
    }
    // Quoted when it holds blanks, so that no "C:\Program.exe" can run as
    // LocalSystem in the service's place.
    const std::wstring binaryPath = QuotedIfBlank(reachable);
    SC_HANDLE service = CreateServiceW(manager, ServiceName.c_str(), ServiceName.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       binaryPath.c_str(), nullptr, nullptr, L"", nullptr, nullptr);
    if (service != nullptr) {
        CloseServiceHandle(service);
        return ERROR_SUCCESS;
    }
    // Unless another /install of this very file got there first (the name
    // is taken then, or, since the display name is the name, that).
    const DWORD error = FailureError();
    return FindRecord(manager, modulePath, checkAccess) == Record::OfThisHost ? ERROR_SUCCESS
                                                                              : TellFailure(CreateFailed, error);
}

// Stops and deletes the record under ServiceName through `manager` if it is
// this very file's; ERROR_SUCCESS once none is left.
DWORD DeleteRecord(SC_HANDLE manager, const std::wstring& modulePath)
{
    switch (FindRecord(manager, modulePath, SERVICE_QUERY_CONFIG)) {
    case Record::Absent: return ERROR_SUCCESS;
    // Another program's service that bears our name (a system service, a
    // copy of the host in another folder) is not ours to stop or delete.
    case Record::OfAnotherProgram: return ERROR_SERVICE_EXISTS;
    case Record::Unreadable: return FailureError();
    default: break;
    }
    SC_HANDLE service = OpenServiceW(manager, ServiceName.c_str(), DELETE | SERVICE_STOP);
    if (service == nullptr) {
        return FailureError();
    }
    // The record goes once the service has stopped and every client has let
    // go of it; a service that cannot be stopped keeps it until Windows
    // restarts. ControlService returns once the handler has, which for this
    // host is after its STOPPED report; a handler busy past the service
    // manager's 30 s fails it with ERROR_SERVICE_REQUEST_TIMEOUT.
    SERVICE_STATUS lastStatus = {};
    const DWORD stopError =
        ControlService(service, SERVICE_CONTROL_STOP, &lastStatus) != FALSE ? ERROR_SUCCESS : FailureError();
    const DWORD error = DeleteService(service) != FALSE ? ERROR_SUCCESS : FailureError();
    CloseServiceHandle(service);
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_MARKED_FOR_DELETE) {
        return error;
    }
    // A deployment tool reads 0 as gone: installing again at once must work.
    if (WaitWhileBeingDeleted(manager, modulePath, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG) == Record::Absent) {
        return ERROR_SUCCESS;
    }
    // Still there: the stop's own failure says why, else another client
    // holds the record open, or the service has not stopped within 10 s.
    return stopError != ERROR_SUCCESS && stopError != ERROR_SERVICE_NOT_ACTIVE ? stopError
                                                                               : ERROR_SERVICE_MARKED_FOR_DELETE;
}

}  // namespace

DWORD InstallService(const std::wstring& modulePath)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return TellFailure(ManagerFailed, FailureError());
    }
    const DWORD error = CreateRecord(manager, modulePath);
    CloseServiceHandle(manager);
    return error;
}

DWORD UninstallService(const std::wstring& modulePath)
{
    // Refused to a prompt that is not elevated: only administrators may open
    // the service manager with full access.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return TellFailure(ManagerFailed, FailureError());
    }
    const DWORD error = DeleteRecord(manager, modulePath);
    CloseServiceHandle(manager);
    if (error != ERROR_SUCCESS) {
        ShowNotDeleted();
    }
    return error;
}
