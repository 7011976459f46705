// Many services at once, for the scale bench:
//
//   bench_scale ROOT NAME COUNT
//
// Service i (01..COUNT) is a host ROOT\NAMEii\NAMEiiSvc.exe beside its child
// ROOT\NAMEii\NAMEii.exe (a loop_child, which writes "pid=" and "ready=yes"
// to "<its path>.log" and ends on WM_QUIT). The phases, each timed from its
// first call to its end:
//   install    every host run with /install at once; ends when all have exited
//   start      StartServiceW for all, one thread each, released together; ends
//              when every child has written ready=yes
//   stop       ControlService(STOP) for all, one thread each, released
//              together; ends when every service reports STOPPED and every
//              host and child process has ended
//   uninstall  every host run with /uninstall at once; ends when no record is
//              left
// Prints "phase=<name> ms=<wall time> failures=<count>" for each, a
// "failure=<phase> <service> <what> <last error>" line for each failure,
// "start_locked_retries=<n>", "start_failed_retries=<n>" and
// "stop_broken_pipes=<n>" (see StartOne and StopAll), "children_quit=<n>" (children that ended on WM_QUIT, exit code 0)
// and "left_running=<n>" (processes whose image starts with NAME afterwards).
// Exit code 0 only when there was no failure and nothing is left running.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const DWORD PhaseTimeoutMs = 120000;

struct Service {
    std::wstring name;   // NAMEiiSvc
    std::wstring host;   // ROOT\NAMEii\NAMEiiSvc.exe
    std::wstring child;  // ROOT\NAMEii\NAMEii.exe
    SC_HANDLE handle = nullptr;
    HANDLE hostProcess = nullptr;
    HANDLE childProcess = nullptr;
    bool failed = false;
    // Written by the thread that makes the call for this service.
    BOOL callOk = FALSE;
    DWORD callError = 0;
    int lockedRetries = 0;
    int failedStartRetries = 0;
};

SC_HANDLE Manager;
HANDLE Go;  // manual-reset: releases the threads of a phase together
int Failures;

void Failure(const char* phase, Service& service, const char* what, DWORD error)
{
    std::printf("failure=%s %ls %s %lu\n", phase, service.name.c_str(), what, error);
    service.failed = true;
    ++Failures;
}

long long Millis(const LARGE_INTEGER& from)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (now.QuadPart - from.QuadPart) * 1000 / frequency.QuadPart;
}

LARGE_INTEGER Start()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

void ReportPhase(const char* phase, long long ms, int failuresBefore)
{
    std::printf("phase=%s ms=%lld failures=%d\n", phase, ms, Failures - failuresBefore);
    std::fflush(stdout);
}

DWORD Remaining(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Runs every host with `argument` at once and waits for all of them.
void RunHosts(std::vector<Service>& services, const wchar_t* argument, const char* phase)
{
    std::vector<HANDLE> processes(services.size(), nullptr);
    for (std::size_t i = 0; i < services.size(); ++i) {
        std::wstring commandLine = L"\"" + services[i].host + L"\" " + argument;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(services[i].host.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &process)) {
            CloseHandle(process.hThread);
            processes[i] = process.hProcess;
        } else {
            Failure(phase, services[i], "create_process", GetLastError());
        }
    }
    const ULONGLONG deadline = GetTickCount64() + PhaseTimeoutMs;
    for (std::size_t i = 0; i < services.size(); ++i) {
        if (processes[i] == nullptr) {
            continue;
        }
        if (WaitForSingleObject(processes[i], Remaining(deadline)) != WAIT_OBJECT_0) {
            Failure(phase, services[i], "host_did_not_exit", 0);
            TerminateProcess(processes[i], 1);
        }
        CloseHandle(processes[i]);
    }
}

// Wine's service manager starts one service at a time; a StartServiceW that
// waited 3 s for another start fails with ERROR_SERVICE_DATABASE_LOCKED.
// Windows documents the same error. Like an administrator's script, this
// tries again, until the phase's deadline, and counts how often it had to.
// Wine also fails to start a process now and then (see bench_start): the
// StartServiceW fails with ERROR_INTERNAL_ERROR and the service stays
// stopped; that is tried again a few times.
ULONGLONG StartDeadline;
const int MaxFailedStartRetries = 3;

DWORD WINAPI StartOne(void* parameter)
{
    auto& service = *static_cast<Service*>(parameter);
    WaitForSingleObject(Go, INFINITE);
    for (;;) {
        service.callOk = StartServiceW(service.handle, 0, nullptr);
        service.callError = service.callOk ? 0 : GetLastError();
        const bool locked = service.callError == ERROR_SERVICE_DATABASE_LOCKED;
        const bool failedStart =
            service.callError == ERROR_INTERNAL_ERROR && service.failedStartRetries < MaxFailedStartRetries;
        if (service.callOk || !(locked || failedStart) || GetTickCount64() > StartDeadline) {
            return 0;
        }
        ++(locked ? service.lockedRetries : service.failedStartRetries);
        Sleep(10);
    }
}

DWORD WINAPI StopOne(void* parameter)
{
    auto& service = *static_cast<Service*>(parameter);
    WaitForSingleObject(Go, INFINITE);
    SERVICE_STATUS status = {};
    service.callOk = ControlService(service.handle, SERVICE_CONTROL_STOP, &status);
    service.callError = service.callOk ? 0 : GetLastError();
    return 0;
}

// Runs `body` for every service that has a handle, on a thread of its own;
// the threads wait until Go is set.
std::vector<HANDLE> Threads(std::vector<Service>& services, LPTHREAD_START_ROUTINE body)
{
    ResetEvent(Go);
    std::vector<HANDLE> threads;
    for (auto& service : services) {
        service.callOk = FALSE;
        service.callError = 0;
        HANDLE thread = nullptr;
        if (service.handle != nullptr) {
            thread = CreateThread(nullptr, 0, body, &service, 0, nullptr);
            if (thread == nullptr) {
                service.callError = GetLastError();  // reported as the call's failure
            }
        }
        threads.push_back(thread);
    }
    return threads;
}

void Join(std::vector<HANDLE>& threads, ULONGLONG deadline)
{
    for (auto& thread : threads) {
        if (thread != nullptr) {
            WaitForSingleObject(thread, Remaining(deadline));
            CloseHandle(thread);
            thread = nullptr;
        }
    }
}

SERVICE_STATUS_PROCESS Status(const Service& service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        status.dwCurrentState = 0;
    }
    return status;
}

// The child's process id once its log says ready=yes; 0 before that.
DWORD ReadyChild(const Service& service)
{
    const HANDLE file = CreateFileW((service.child + L".log").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    char text[8192] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof text - 1, &read, nullptr);
    CloseHandle(file);
    const char* pid = std::strstr(text, "\npid=");
    if (std::strstr(text, "\nready=yes\n") == nullptr || pid == nullptr) {
        return 0;
    }
    return static_cast<DWORD>(std::strtoul(pid + 5, nullptr, 10));
}

void Install(std::vector<Service>& services)
{
    const int before = Failures;
    const LARGE_INTEGER began = Start();
    RunHosts(services, L"/install", "install");
    const long long ms = Millis(began);
    for (auto& service : services) {
        service.handle =
            OpenServiceW(Manager, service.name.c_str(), SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
        if (service.handle == nullptr) {
            Failure("install", service, "no_record", GetLastError());
        }
    }
    ReportPhase("install", ms, before);
}

void StartAll(std::vector<Service>& services)
{
    const int before = Failures;
    const ULONGLONG deadline = GetTickCount64() + PhaseTimeoutMs;
    StartDeadline = deadline;
    auto threads = Threads(services, StartOne);
    const LARGE_INTEGER began = Start();
    SetEvent(Go);
    std::vector<DWORD> childIds(services.size(), 0);
    std::vector<bool> givenUp(services.size(), false);
    for (int pass = 1;; ++pass) {
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < services.size(); ++i) {
            if (services[i].handle == nullptr || childIds[i] != 0 || givenUp[i]) {
                continue;
            }
            childIds[i] = ReadyChild(services[i]);
            if (childIds[i] != 0) {
                continue;
            }
            // No child to wait for: the start failed, or (asked every 40th
            // pass, about 0.2 s, so as not to load the service manager) the
            // service stopped again without the child having written.
            const bool callDone = threads[i] == nullptr || WaitForSingleObject(threads[i], 0) == WAIT_OBJECT_0;
            if (callDone && !services[i].callOk) {
                givenUp[i] = true;
            } else if (callDone && pass % 40 == 0 && Status(services[i]).dwCurrentState == SERVICE_STOPPED) {
                childIds[i] = ReadyChild(services[i]);
                givenUp[i] = childIds[i] == 0;
            }
            waiting += childIds[i] == 0 && !givenUp[i] ? 1 : 0;
        }
        if (waiting == 0 || GetTickCount64() > deadline) {
            break;
        }
        Sleep(5);
    }
    const long long ms = Millis(began);
    Join(threads, deadline);
    int lockedRetries = 0;
    int failedStartRetries = 0;
    for (const auto& service : services) {
        lockedRetries += service.lockedRetries;
        failedStartRetries += service.failedStartRetries;
    }
    std::printf("start_locked_retries=%d\nstart_failed_retries=%d\n", lockedRetries, failedStartRetries);
    for (std::size_t i = 0; i < services.size(); ++i) {
        Service& service = services[i];
        if (service.handle == nullptr) {
            continue;
        }
        if (!service.callOk) {
            Failure("start", service, "start_service", service.callError);
        }
        if (childIds[i] == 0) {
            Failure("start", service, "child_not_seen", 0);
            continue;
        }
        const SERVICE_STATUS_PROCESS status = Status(service);
        if (status.dwCurrentState != SERVICE_RUNNING) {
            Failure("start", service, "not_running", status.dwCurrentState);
        }
        service.hostProcess = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
        service.childProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, childIds[i]);
        if (service.hostProcess == nullptr || service.childProcess == nullptr) {
            Failure("start", service, "process_not_open", GetLastError());
        }
    }
    ReportPhase("start", ms, before);
}

int StopAll(std::vector<Service>& services)
{
    const int before = Failures;
    auto threads = Threads(services, StopOne);
    const LARGE_INTEGER began = Start();
    SetEvent(Go);
    const ULONGLONG deadline = GetTickCount64() + PhaseTimeoutMs;
    Join(threads, deadline);
    for (auto& service : services) {
        if (service.handle == nullptr) {
            continue;
        }
        while (Status(service).dwCurrentState != SERVICE_STOPPED && GetTickCount64() < deadline) {
            Sleep(5);
        }
        for (HANDLE process : {service.hostProcess, service.childProcess}) {
            if (process != nullptr) {
                WaitForSingleObject(process, Remaining(deadline));
            }
        }
    }
    const long long ms = Millis(began);
    int quit = 0;
    int brokenPipes = 0;
    for (auto& service : services) {
        if (service.handle == nullptr) {
            continue;
        }
        // Under Wine the control handler's reply travels back on a thread of
        // Wine's own, and the host's process may end (its dispatcher returns
        // at the STOPPED report) before that reply is written: ControlService
        // then fails with ERROR_BROKEN_PIPE although the service did stop.
        // Counted apart; whether it stopped is checked below all the same.
        if (!service.callOk && service.callError == ERROR_BROKEN_PIPE) {
            std::printf("broken_pipe=%ls\n", service.name.c_str());
            ++brokenPipes;
        } else if (!service.callOk) {
            Failure("stop", service, "control_service", service.callError);
        }
        const DWORD state = Status(service).dwCurrentState;
        if (state != SERVICE_STOPPED) {
            Failure("stop", service, "not_stopped", state);
        }
        if (service.hostProcess != nullptr && WaitForSingleObject(service.hostProcess, 0) != WAIT_OBJECT_0) {
            Failure("stop", service, "host_still_running", 0);
        }
        if (service.childProcess != nullptr) {
            DWORD exitCode = STILL_ACTIVE;
            GetExitCodeProcess(service.childProcess, &exitCode);
            if (WaitForSingleObject(service.childProcess, 0) != WAIT_OBJECT_0) {
                Failure("stop", service, "child_still_running", 0);
            } else if (exitCode == 0) {
                ++quit;
            }
        }
        for (HANDLE* process : {&service.hostProcess, &service.childProcess}) {
            if (*process != nullptr) {
                CloseHandle(*process);
                *process = nullptr;
            }
        }
    }
    std::printf("stop_broken_pipes=%d\n", brokenPipes);
    ReportPhase("stop", ms, before);
    return quit;
}

void UninstallAll(std::vector<Service>& services)
{
    const int before = Failures;
    for (auto& service : services) {
        if (service.handle != nullptr) {
            CloseServiceHandle(service.handle);
            service.handle = nullptr;
        }
    }
    const LARGE_INTEGER began = Start();
    RunHosts(services, L"/uninstall", "uninstall");
    const ULONGLONG deadline = GetTickCount64() + PhaseTimeoutMs;
    std::vector<bool> gone(services.size(), false);
    for (;;) {
        std::size_t left = 0;
        for (std::size_t i = 0; i < services.size(); ++i) {
            if (gone[i]) {
                continue;
            }
            const SC_HANDLE handle = OpenServiceW(Manager, services[i].name.c_str(), SERVICE_QUERY_STATUS);
            if (handle == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
                gone[i] = true;
            } else {
                ++left;
            }
            if (handle != nullptr) {
                CloseServiceHandle(handle);
            }
        }
        if (left == 0 || GetTickCount64() > deadline) {
            break;
        }
        Sleep(5);
    }
    const long long ms = Millis(began);
    for (std::size_t i = 0; i < services.size(); ++i) {
        if (!gone[i]) {
            Failure("uninstall", services[i], "record_left", 0);
        }
    }
    ReportPhase("uninstall", ms, before);
}

int LeftRunning(const std::wstring& name)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int left = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsnicmp(entry.szExeFile, name.c_str(), name.size()) == 0) {
            std::printf("left=%ls pid=%lu\n", entry.szExeFile, entry.th32ProcessID);
            ++left;
        }
    }
    CloseHandle(snapshot);
    return left;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        std::fputs("usage: bench_scale ROOT NAME COUNT\n", stderr);
        return 2;
    }
    const std::wstring root = argv[1];
    const std::wstring name = argv[2];
    const int count = _wtoi(argv[3]);
    if (count < 1 || count > 999) {
        std::fputs("COUNT: 1 to 999\n", stderr);
        return 2;
    }
    std::vector<Service> services(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        wchar_t number[8];
        std::swprintf(number, 8, L"%02d", i + 1);
        const std::wstring stem = name + number;
        services[i].name = stem + L"Svc";
        services[i].host = root + L"\\" + stem + L"\\" + stem + L"Svc.exe";
        services[i].child = root + L"\\" + stem + L"\\" + stem + L".exe";
    }
    Manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    Go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (Manager == nullptr || Go == nullptr) {
        std::printf("error=setup last_error=%lu\n", GetLastError());
        return 1;
    }

    Install(services);
    StartAll(services);
    const int quit = StopAll(services);
    UninstallAll(services);
    const int left = LeftRunning(name);
    std::printf("children_quit=%d\nleft_running=%d\nfailures=%d\n", quit, left, Failures);
    CloseHandle(Go);
    CloseServiceHandle(Manager);
    return Failures == 0 && left == 0 ? 0 : 1;
}
