// Start latency of services against bare process starts, measured from one
// process with one clock.
//
//   bench_start CHILD ROUNDS SERVICE...
//
// Each SERVICE is a host installed beside CHILD (a stamp_child, which writes
// the performance counter at the start of its main to "CHILD.stamp" and ends);
// several hosts of different builds, named apart (fooSvc.exe, fooAlt.exe),
// all start that same file. Each round times a pair of bare starts and one
// start of every service, from a counter read just before the call to the
// counter the child wrote:
//   bare_console  CreateProcessW(CHILD) with CREATE_NEW_CONSOLE, as the host does
//   bare_plain    CreateProcessW(CHILD) with no creation flags
//   serviceI      StartServiceW(the I-th SERVICE, from 1): the service manager
//                 starts the host, which starts CHILD
// The starts of a round make a cycle (bare_console, service1, bare_plain,
// service2, service3, ...) that begins one place further each round and runs
// backwards every other full turn, so that each start takes every place, with
// either neighbour before it, as often. Before each service start every
// service has ended its previous run: it reports STOPPED (the child ends at
// once) and no process of its host's image is left. A first round is run and
// printed as "warmup" (cold caches); then one line a round:
//   round=N bare_console_us=.. bare_plain_us=.. service1_us=.. returned1_us=.. service2_us=..
// where returnedI_us is when StartServiceW returned. A round in which
// StartServiceW failed, or a child ended without its stamp, is run again and
// printed as "redone=N failure=start_service|no_stamp last_error=E", up to 3
// times in all; exit code 1 and an "error=" line on any other failure.
// A child started in a new console, by hand or by a host, that found no
// console ("error=bare_start_without_console" or
// "error=service_start_without_console") is such a failure: that start did less than a
// real one, and its time would flatter it.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

LARGE_INTEGER Frequency;

long long Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

long long Micros(long long ticks)
{
    return ticks * 1000000 / Frequency.QuadPart;
}

[[noreturn]] void Fail(const char* what)
{
    std::printf("error=%s last_error=%lu\n", what, GetLastError());
    std::fflush(stdout);
    std::exit(1);
}

std::wstring StampPath;

// What the child wrote: the counter value at its start, and its console's
// code page (0: it had no console).
struct Stamp {
    long long counter = 0;
    unsigned long consoleCodePage = 0;
};

// The child's stamp, once the whole line is there; a zero counter when it is
// not there although `ended` says the child can no longer write it. That
// is asked only after 2 s, longer than any start took here, so that asking
// (of the service manager, say) does not slow the start being timed.
template <typename Ended> Stamp WaitForStamp(Ended ended)
{
    const ULONGLONG patience = GetTickCount64() + 2000;
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (;;) {
        // Asked before the look: a stamp written just before the end counts.
        const bool last = GetTickCount64() > patience && ended();
        const HANDLE file =
            CreateFileW(StampPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char text[48] = {};
            DWORD read = 0;
            const BOOL ok = ReadFile(file, text, sizeof text - 1, &read, nullptr);
            CloseHandle(file);
            if (ok && read > 0 && text[read - 1] == '\n') {
                Stamp stamp;
                char* rest = nullptr;
                stamp.counter = std::strtoll(text, &rest, 10);
                stamp.consoleCodePage = std::strtoul(rest, nullptr, 10);
                return stamp;
            }
        }
        if (last) {
            return Stamp{};
        }
        if (GetTickCount64() > deadline) {
            Fail("no_stamp");
        }
        Sleep(1);
    }
}

void RemoveStamp()
{
    if (!DeleteFileW(StampPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        Fail("stamp_not_removed");
    }
}

// One start: the time from the call to the child's stamp, and for a service
// when StartServiceW returned; or what failed.
struct Start {
    long long time = 0;
    long long returned = 0;
    const char* failure = nullptr;  // start_service or no_stamp
    DWORD error = 0;                // StartServiceW's last error
};

Start BareStart(const std::wstring& child, DWORD flags)
{
    RemoveStamp();
    std::wstring commandLine = L"\"" + child + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const long long before = Now();
    if (!CreateProcessW(child.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                        &process)) {
        Fail("create_process");
    }
    Start start;
    const Stamp stamp = WaitForStamp([&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; });
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (stamp.counter == 0) {
        start.failure = "no_stamp";
    } else if (exitCode != 0) {
        Fail("child_exit_code");
    } else if ((flags & CREATE_NEW_CONSOLE) != 0 && stamp.consoleCodePage == 0) {
        Fail("bare_start_without_console");
    }
    start.time = stamp.counter - before;
    return start;
}

DWORD ServiceState(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        Fail("query_status");
    }
    return status.dwCurrentState;
}

bool ImageRunning(const std::wstring& image)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        Fail("snapshot");
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, image.c_str()) == 0) {
            found = true;
            break;
        }
    }
    CloseHandle(snapshot);
    return found;
}

// Waits until the service is stopped and its host process is gone.
void WaitUntilIdle(SC_HANDLE service, const std::wstring& hostImage)
{
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (ServiceState(service) != SERVICE_STOPPED || ImageRunning(hostImage)) {
        if (GetTickCount64() > deadline) {
            Fail("service_not_idle");
        }
        Sleep(5);
    }
}

// The host's file name, from the binary path in the service's record.
std::wstring HostImage(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
        Fail("query_config");
    }
    std::wstring path = config->lpBinaryPathName;
    if (!path.empty() && path.front() == L'"') {
        path = path.substr(1, path.find(L'"', 1) - 1);
    }
    return path.substr(path.find_last_of(L"\\/") + 1);
}

const int MaxRedone = 3;

struct Service {
    SC_HANDLE handle = nullptr;
    std::wstring hostImage;
};

Start ServiceStart(const Service& service)
{
    WaitUntilIdle(service.handle, service.hostImage);
    RemoveStamp();
    Start start;
    const long long before = Now();
    if (!StartServiceW(service.handle, 0, nullptr)) {
        start.failure = "start_service";
        start.error = GetLastError();
        return start;
    }
    start.returned = Now() - before;
    // The child ends at once, and the service with it: a service that
    // stopped without a stamp had a child that never reached its main.
    const Stamp stamp = WaitForStamp([&] { return ServiceState(service.handle) == SERVICE_STOPPED; });
    if (stamp.counter == 0) {
        start.failure = "no_stamp";
    } else if (stamp.consoleCodePage == 0) {
        Fail("service_start_without_console");
    }
    start.time = stamp.counter - before;
    WaitUntilIdle(service.handle, service.hostImage);
    return start;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fputs("usage: bench_start CHILD ROUNDS SERVICE...\n", stderr);
        return 2;
    }
    QueryPerformanceFrequency(&Frequency);
    // The host's child starts on the service's window station, which nobody
    // sees. Wine's console host makes a window, which Wine can do without an X
    // server only on such a station: the bare starts run on one too, so that
    // they make the same console (a new process takes its parent's station).
    const HWINSTA station = CreateWindowStationW(L"svcshim-bench", 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr || !SetProcessWindowStation(station) ||
        CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr) == nullptr) {
        Fail("hidden_station");
    }
    const std::wstring child = argv[1];
    StampPath = child + L".stamp";
    const int rounds = _wtoi(argv[2]);

    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        Fail("open_manager");
    }
    std::vector<Service> services;
    for (int i = 3; i < argc; ++i) {
        Service service;
        service.handle = OpenServiceW(manager, argv[i], SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
        if (service.handle == nullptr) {
            Fail("open_service");
        }
        service.hostImage = HostImage(service.handle);
        services.push_back(service);
    }
    std::printf("qpc_frequency=%lld\n", static_cast<long long>(Frequency.QuadPart));

    // The starts of a round, by number: 0 bare_console, 1 bare_plain, 2 and on
    // the services; and the cycle they run in. What a start leaves behind may
    // slow the next one (a console host still ending), so the first two
    // services sit between the two bare starts: they have the same neighbours.
    const int starts = 2 + static_cast<int>(services.size());
    std::vector<int> cycle = {0, 2, 1};
    for (int i = 3; i < starts; ++i) {
        cycle.push_back(i);
    }
    int redone = 0;
    for (int round = 0; round <= rounds;) {
        std::vector<Start> done(starts);
        const Start* failed = nullptr;
        const bool backwards = (round / starts) % 2 == 1;
        for (int turn = 0; turn < starts; ++turn) {
            const int which = cycle[(round + (backwards ? starts - turn : turn)) % starts];
            switch (which) {
            case 0: done[which] = BareStart(child, CREATE_NEW_CONSOLE); break;
            case 1: done[which] = BareStart(child, 0); break;
            default: done[which] = ServiceStart(services[which - 2]); break;
            }
            if (failed == nullptr && done[which].failure != nullptr) {
                failed = &done[which];
            }
        }
        // Wine fails to start a process now and then, a few times in some
        // thousands here, with "failed to map the shared user data" in its
        // log: CreateProcessW fails with ERROR_INTERNAL_ERROR, and so did a
        // StartServiceW once, and a child never reached its main once. Such a
        // round is run again, a few times a run at most.
        if (failed != nullptr) {
            if (++redone > MaxRedone) {
                SetLastError(failed->error);
                Fail(failed->failure);
            }
            std::printf("redone=%d failure=%s last_error=%lu\n", round, failed->failure, failed->error);
            continue;
        }
        if (round == 0) {
            std::printf("warmup");
        } else {
            std::printf("round=%d", round);
        }
        std::printf(" bare_console_us=%lld bare_plain_us=%lld", Micros(done[0].time), Micros(done[1].time));
        for (int i = 2; i < starts; ++i) {
            std::printf(" service%d_us=%lld returned%d_us=%lld", i - 1, Micros(done[i].time), i - 1,
                        Micros(done[i].returned));
        }
        std::printf("\n");
        std::fflush(stdout);
        ++round;
    }
    for (const Service& service : services) {
        CloseServiceHandle(service.handle);
    }
    CloseServiceHandle(manager);
    return 0;
}
