// The fake's service manager: its handles and records, the controls
// clients send, and the dispatcher that runs the host's service and takes
// its status reports.
#include "fake_core.h"

#include <chrono>
#include <cwchar>
#include <functional>
#include <thread>
#include <utility>

namespace fake {
namespace {

const auto StatusHandleValue = reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0x5717});

// A marked record goes once nobody holds it open any more and the service
// has stopped; one that cannot be stopped stays until Windows restarts.
void DropIfReleased(const std::wstring& name)
{
    World& world = TheWorld();
    const auto found = world.services.records.find(LowerCase(name));
    if (found == world.services.records.end() || !found->second.markedForDeletion || found->second.heldByOthers > 0 ||
        found->second.running) {
        return;
    }
    for (const auto& entry : world.core.handles) {
        if (entry.second.kind == "service" && entry.second.open && LowerCase(entry.second.name) == found->first) {
            return;
        }
    }
    world.services.records.erase(found);
}

// Whether a service that declared `accepted` takes this control.
bool Accepts(DWORD accepted, DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP: return (accepted & SERVICE_ACCEPT_STOP) != 0;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    case SERVICE_CONTROL_SHUTDOWN: return (accepted & SERVICE_ACCEPT_SHUTDOWN) != 0;
    case 6: return (accepted & SERVICE_ACCEPT_PARAMCHANGE) != 0;
    case 7:
    case 8:
    case 9:
    case 10: return (accepted & SERVICE_ACCEPT_NETBINDCHANGE) != 0;
    default: return true;  // interrogate and the codes 128 to 255 always reach the handler
    }
}

std::wstring MultiString(const wchar_t* list)
{
    std::wstring text;
    while (list != nullptr && *list != L'\0') {
        text += list;
        text += L'|';
        list += std::wcslen(list) + 1;
    }
    return text;
}

// A control the service manager did not pass on, in the journal.
void RecordRefusal(DWORD control, DWORD error)
{
    Record("(ControlService " + Number(control) + " refused with " + Number(error) + ")");
}

// The service's record behind an open handle that was opened for `access`;
// null, with the error Windows gives, otherwise.
ServiceRecord* RecordOf(SC_HANDLE service, DWORD access, const std::string& operation)
{
    World& world = TheWorld();
    HandleEntry* entry = Use(service, "service", operation);
    if (entry == nullptr || world.services.records.count(LowerCase(entry->name)) == 0) {
        LastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if ((entry->access & access) != access) {
        LastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return &world.services.records[LowerCase(entry->name)];
}

// What the service's last report accepts; nothing before its first.
DWORD AcceptedControls()
{
    const World& world = TheWorld();
    return world.services.statusReports.empty() ? 0 : world.services.statusReports.back().status.dwControlsAccepted;
}

// Whether the service manager passes this control on in the service's
// state: ControlService's table sends a stop while START_PENDING as while
// RUNNING, any other control only while RUNNING. Before its first report the
// service counts as starting.
bool Deliverable(DWORD control)
{
    const World& world = TheWorld();
    const DWORD state = world.services.statusReports.empty() ? SERVICE_START_PENDING : world.services.lastReportedState;
    return state == SERVICE_RUNNING || (state == SERVICE_START_PENDING && control == SERVICE_CONTROL_STOP);
}

// Hands queued controls to the service's handler, one at a time, on the
// calling thread, until the service has stopped and no handler runs.
void DeliverControls()
{
    World& world = TheWorld();
    Locked lock;
    for (;;) {
        // A service that never reports leaves the dispatcher waiting until
        // somebody ends the process.
        const auto deliverable = [&] {
            return !world.services.controls.empty() && Deliverable(world.services.controls.front());
        };
        lock.Wait([&] { return deliverable() || world.services.stoppedReported || world.core.processEnded; });
        if (!deliverable()) {
            return;
        }
        const DWORD control = world.services.controls.front();
        world.services.controls.pop_front();
        // A control sent before the service declared what it accepts.
        if (!Accepts(AcceptedControls(), control)) {
            RecordRefusal(control, ERROR_INVALID_SERVICE_CONTROL);
            continue;
        }
        world.services.handlerRunning = true;
        const LPHANDLER_FUNCTION handler = world.services.handler;
        lock.RunHostCode([handler, control] { handler(control); });
        Record("(handler returned)");
        world.services.handlerRunning = false;
        world.changed.notify_all();
    }
}

}  // namespace

void JoinDispatcherThreads()
{
    World& world = TheWorld();
    if (world.services.serviceThread.joinable()) {
        world.services.serviceThread.join();
    }
    if (world.services.handlerThread.joinable()) {
        world.services.handlerThread.join();
    }
}

void SetStartedByServiceManager(bool started)
{
    Locked lock;
    TheWorld().services.startedByServiceManager = started;
    // Services run in session 0, which no user sees.
    TheWorld().windows.session = started ? 0 : 1;
}

void AddService(const std::wstring& name, bool running, const std::wstring& binaryPath)
{
    Locked lock;
    ServiceRecord record{};
    record.name = name;
    record.displayName = name;
    record.binaryPath = binaryPath;
    record.running = running;
    TheWorld().services.records[LowerCase(name)] = record;
}

void HoldService(const std::wstring& name)
{
    Locked lock;
    TheWorld().services.records.at(LowerCase(name)).heldByOthers += 1;
}

void SetStopRefusal(const std::wstring& name, DWORD error)
{
    Locked lock;
    TheWorld().services.records.at(LowerCase(name)).stopRefusal = error;
}

void MarkForDeletion(const std::wstring& name)
{
    Locked lock;
    TheWorld().services.records.at(LowerCase(name)).markedForDeletion = true;
    DropIfReleased(name);
}

void SetStatusWaitsForHandler(bool wait)
{
    Locked lock;
    TheWorld().services.statusWaitsForHandler = wait;
}

void SetWineDispatcher(bool wine)
{
    Locked lock;
    TheWorld().services.wineDispatcher = wine;
}

void SetProcessEndsAtStoppedReport(bool ends)
{
    Locked lock;
    TheWorld().services.processEndsAtStopped = ends;
}

void OnStatusReport(std::function<void(DWORD)> hook)
{
    Locked lock;
    TheWorld().services.statusHook = std::move(hook);
}

DWORD SendControl(DWORD control)
{
    Locked lock;
    World& world = TheWorld();
    const bool defined =
        (control >= 1 && control <= 10 && control != SERVICE_CONTROL_SHUTDOWN) || (control >= 128 && control <= 255);
    DWORD refusal = 0;
    if (!defined) {
        refusal = ERROR_INVALID_PARAMETER;
    } else if (world.services.stoppedReported) {
        refusal = ERROR_SERVICE_NOT_ACTIVE;
    } else if (!Deliverable(control)) {
        // Stopping, or starting for any control but a stop: refused, not
        // kept for later.
        refusal = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else if (!Accepts(AcceptedControls(), control)) {
        refusal = ERROR_INVALID_SERVICE_CONTROL;
    }
    if (refusal != 0) {
        RecordRefusal(control, refusal);
        return refusal;
    }
    world.services.controls.push_back(control);
    world.changed.notify_all();
    return 0;
}

}  // namespace fake

using namespace fake;

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess)
{
    Locked lock;
    Record("OpenSCManagerW(" + Text(machineName) + ", " + Text(databaseName) + ", " + Hex(desiredAccess) + ")");
    // Any user may connect, enumerate and read; only administrators get more.
    const DWORD everyone = 0x20015;
    if (ShouldFail("OpenSCManagerW") || (!TheWorld().security.elevated && (desiredAccess & ~everyone) != 0)) {
        LastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(NewHandle("manager", -1, L""));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess)
{
    Locked lock;
    Record("OpenServiceW(" + HandleName(manager) + ", " + Text(serviceName) + ", " + Hex(desiredAccess) + ")");
    // A record marked for deletion still opens, until its last handle closes.
    // Any user may query a service; only administrators may change, stop or
    // delete it.
    const DWORD everyone = 0x2018D;
    if (Use(manager, "manager", "OpenServiceW") == nullptr || ShouldFail("OpenServiceW") ||
        (!TheWorld().security.elevated && (desiredAccess & ~everyone) != 0)) {
        LastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (std::wstring(serviceName).empty()) {
        LastError = ERROR_INVALID_NAME;
        return nullptr;
    }
    if (TheWorld().services.records.count(LowerCase(serviceName)) == 0) {
        LastError = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    const std::uintptr_t handle = NewHandle("service", -1, serviceName);
    TheWorld().core.handles[handle].access = desiredAccess;
    return reinterpret_cast<SC_HANDLE>(handle);
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                                DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                                LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                                LPCWSTR password)
{
    Locked lock;
    World& world = TheWorld();
    Record("CreateServiceW(" + HandleName(manager) + ", " + Text(serviceName) + ", " + Text(displayName) + ", " +
           Hex(desiredAccess) + ", " + Hex(serviceType) + ", " + Number(startType) + ", " + Number(errorControl) +
           ", " + Text(binaryPathName) + ", " + Text(loadOrderGroup) + ", " + Pointer(tagId) + ", " +
           (dependencies == nullptr ? "NULL" : "\"" + Utf8(MultiString(dependencies)) + "\"") + ", " +
           Text(serviceStartName) + ", " + Text(password) + ")");
    const auto existing = world.services.records.find(LowerCase(serviceName));
    if (Use(manager, "manager", "CreateServiceW") == nullptr || ShouldFail("CreateServiceW") ||
        existing != world.services.records.end()) {
        LastError = existing == world.services.records.end() ? ERROR_ACCESS_DENIED
                    : existing->second.markedForDeletion     ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                             : ERROR_SERVICE_EXISTS;
        return nullptr;
    }
    world.services.records[LowerCase(serviceName)] = ServiceRecord{serviceName,
                                                                   displayName,
                                                                   desiredAccess,
                                                                   serviceType,
                                                                   startType,
                                                                   errorControl,
                                                                   binaryPathName,
                                                                   loadOrderGroup == nullptr,
                                                                   tagId == nullptr,
                                                                   dependencies == nullptr,
                                                                   MultiString(dependencies),
                                                                   serviceStartName == nullptr,
                                                                   password == nullptr,
                                                                   false,
                                                                   {},
                                                                   false,
                                                                   0,
                                                                   0};
    const std::uintptr_t handle = NewHandle("service", -1, serviceName);
    world.core.handles[handle].access = desiredAccess;
    return reinterpret_cast<SC_HANDLE>(handle);
}

BOOL WINAPI QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, DWORD* needed)
{
    Locked lock;
    ServiceRecord* record = RecordOf(service, SERVICE_QUERY_CONFIG, "QueryServiceConfigW");
    const std::wstring strings[] = {record == nullptr ? L"" : record->binaryPath, L"", L"", L"LocalSystem",
                                    record == nullptr ? L"" : record->displayName};
    DWORD required = sizeof(QUERY_SERVICE_CONFIGW);
    for (const std::wstring& text : strings) {
        required += static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    }
    required += sizeof(wchar_t);  // the dependency list's second terminator
    Record("QueryServiceConfigW(" + HandleName(service) + ", " +
           (config == nullptr  ? "NULL"
            : size >= required ? "buffer"
                               : "small buffer") +
           ")");
    if (record == nullptr) {
        return FALSE;
    }
    *needed = required;
    if (config == nullptr || size < required) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    auto* text = reinterpret_cast<wchar_t*>(config + 1);
    LPWSTR* fields[] = {&config->lpBinaryPathName, &config->lpLoadOrderGroup, &config->lpDependencies,
                        &config->lpServiceStartName, &config->lpDisplayName};
    for (std::size_t i = 0; i < 5; ++i) {
        *fields[i] = text;
        std::wmemcpy(text, strings[i].c_str(), strings[i].size() + 1);
        text += strings[i].size() + 1 + (i == 2 ? 1 : 0);
    }
    config->lpDependencies[1] = L'\0';
    config->dwServiceType = record->type;
    config->dwStartType = record->startType;
    config->dwErrorControl = record->errorControl;
    config->dwTagId = 0;
    return TRUE;
}

BOOL WINAPI ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                                 LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies,
                                 LPCWSTR serviceStartName, LPCWSTR password, LPCWSTR displayName)
{
    Locked lock;
    World& world = TheWorld();
    const bool changesNothing = serviceType == SERVICE_NO_CHANGE && startType == SERVICE_NO_CHANGE &&
                                errorControl == SERVICE_NO_CHANGE && binaryPathName == nullptr &&
                                loadOrderGroup == nullptr && tagId == nullptr && dependencies == nullptr &&
                                serviceStartName == nullptr && password == nullptr && displayName == nullptr;
    Record("ChangeServiceConfigW(" + HandleName(service) + ", " +
           (changesNothing ? "nothing to change" : "changes to the record") + ")");
    if (!changesNothing) {
        world.core.misuses.push_back("ChangeServiceConfigW: the host changes a record it did not create");
    }
    ServiceRecord* record = RecordOf(service, SERVICE_CHANGE_CONFIG, "ChangeServiceConfigW");
    if (record == nullptr) {
        return FALSE;
    }
    if (record->markedForDeletion) {
        LastError = ERROR_SERVICE_MARKED_FOR_DELETE;
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    Locked lock;
    World& world = TheWorld();
    Record("ControlService(" + HandleName(service) + ", " + Number(control) + ", " + Pointer(status) + ")");
    HandleEntry* entry = Use(service, "service", "ControlService");
    if (entry == nullptr || world.services.records.count(LowerCase(entry->name)) == 0) {
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP && (entry->access & SERVICE_STOP) == 0) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    ServiceRecord& record = world.services.records[LowerCase(entry->name)];
    record.controls.push_back(control);
    if (!record.running) {
        *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
        LastError = ERROR_SERVICE_NOT_ACTIVE;
        return FALSE;
    }
    // A handler busy past the service manager's 30 s fails the request, and
    // the status is not filled in.
    if (control == SERVICE_CONTROL_STOP && record.stopRefusal != 0) {
        LastError = record.stopRefusal;
        return FALSE;
    }
    // The host's handler returns once it has reported STOPPED.
    record.running = control != SERVICE_CONTROL_STOP;
    *status = SERVICE_STATUS{
        SERVICE_WIN32_OWN_PROCESS, record.running ? SERVICE_RUNNING : SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE service)
{
    Locked lock;
    Record("DeleteService(" + HandleName(service) + ")");
    ServiceRecord* record = RecordOf(service, DELETE, "DeleteService");
    if (record == nullptr) {
        return FALSE;
    }
    if (ShouldFail("DeleteService")) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (record->markedForDeletion) {
        LastError = ERROR_SERVICE_MARKED_FOR_DELETE;
        return FALSE;
    }
    // The record goes when the last handle to it closes.
    record->markedForDeletion = true;
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle)
{
    Locked lock;
    Record("CloseServiceHandle(" + HandleName(handle) + ")");
    const HandleEntry* entry = CloseOneOf(handle, {"manager", "service"}, "service manager", "CloseServiceHandle");
    if (entry == nullptr) {
        return FALSE;
    }
    if (entry->kind == "service") {
        DropIfReleased(entry->name);
    }
    return TRUE;
}

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table)
{
    World& world = TheWorld();
    LPSERVICE_MAIN_FUNCTIONW serviceMain = nullptr;
    std::wstring name;
    {
        Locked lock;
        const bool ended = table[1].lpServiceName == nullptr && table[1].lpServiceProc == nullptr;
        Record("StartServiceCtrlDispatcherW(" + Text(table[0].lpServiceName) + ", " +
               (table[0].lpServiceProc != nullptr ? "main" : "NULL") + ", " + (ended ? "end" : "no end") + ")");
        if (!world.services.startedByServiceManager) {
            LastError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
            return FALSE;
        }
        serviceMain = table[0].lpServiceProc;
        name = table[0].lpServiceName;
    }
    // Thread start is real synchronisation, visible to ThreadSanitizer.
    world.services.serviceThread = std::thread([serviceMain, name] {
        ThreadName = "service";
        std::wstring argument = name;
        LPWSTR arguments[1] = {&argument[0]};
        serviceMain(1, arguments);
    });

    if (!world.services.wineDispatcher) {
        DeliverControls();
    } else {
        // Wine: the controls go to a thread of their own, and the dispatcher
        // returns as soon as the service reports STOPPED, handler or not.
        world.services.handlerThread = std::thread([] {
            ThreadName = "handler";
            DeliverControls();
        });
        Locked lock;
        lock.Wait([&] { return world.services.stoppedReported || world.core.processEnded; });
    }
    // Ended from outside, the process never sees the dispatcher return; here
    // it returns into calls that are marked lost.
    Locked lock;
    return world.services.stoppedReported ? TRUE : FALSE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler)
{
    Locked lock;
    Record("RegisterServiceCtrlHandlerW(" + Text(serviceName) + ", " + (handler != nullptr ? "handler" : "NULL") + ")");
    if (ShouldFail("RegisterServiceCtrlHandlerW")) {
        return nullptr;
    }
    TheWorld().services.handler = handler;
    TheWorld().changed.notify_all();
    return StatusHandleValue;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    std::function<void(DWORD)> hook;
    const SERVICE_STATUS s = *status;
    {
        Locked lock;
        World& world = TheWorld();
        if (world.services.statusWaitsForHandler && std::string(ThreadName) == "service") {
            lock.Wait([&] { return !world.services.handlerRunning; });
        }
        Record("SetServiceStatus(" + std::string(handle == StatusHandleValue ? "status handle" : "bad handle") + ", {" +
               Hex(s.dwServiceType) + ", " + Number(s.dwCurrentState) + ", " + Hex(s.dwControlsAccepted) + ", " +
               Number(s.dwWin32ExitCode) + ", " + Number(s.dwServiceSpecificExitCode) + ", " + Number(s.dwCheckPoint) +
               ", " + Number(s.dwWaitHint) + "})");
        if (handle != StatusHandleValue) {
            world.core.misuses.push_back("SetServiceStatus: not the registered status handle");
        }
        if (world.services.stoppedReported) {
            world.core.misuses.push_back("SetServiceStatus: a report after STOPPED can crash the process");
        }
        if (s.dwCurrentState == SERVICE_START_PENDING && s.dwControlsAccepted != 0) {
            world.core.misuses.push_back(
                "SetServiceStatus: accepting controls while START_PENDING can crash the service");
        }
        const bool pending = s.dwCurrentState == SERVICE_START_PENDING || s.dwCurrentState == SERVICE_STOP_PENDING;
        if (pending != (s.dwWaitHint != 0 && s.dwCheckPoint != 0)) {
            world.core.misuses.push_back("SetServiceStatus: a wait hint and check-point for pending states only");
        }
        world.services.statusReports.push_back(StatusReport{handle == StatusHandleValue, s, ThreadName, ClockMs()});
        world.services.lastReportedState = s.dwCurrentState;
        if (s.dwCurrentState == SERVICE_STOPPED) {
            world.services.stoppedReported = true;
            world.core.processEnded = world.core.processEnded || world.services.processEndsAtStopped;
        }
        world.changed.notify_all();
        hook = world.services.statusHook;
    }
    if (hook) {
        hook(s.dwCurrentState);
    }
    if (s.dwCurrentState == SERVICE_STOPPED && std::string(ThreadName) == "handler") {
        // Wine's dispatcher has already returned on the main thread; this
        // thread still has to come back and answer the service manager.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Locked lock;
        Record("(handler's STOPPED report returned)");
    }
    return TRUE;
}
