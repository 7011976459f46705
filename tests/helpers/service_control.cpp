// Sends a control to a service, as a client of the service manager does, and
// prints the answer: "state=<current state>" when the control went through,
// else "error=<GetLastError()>".
//   service_control NAME interrogate    what Wine's sc cannot send
//   service_control NAME stop FILE MS   a stop timed to another program: prints
//                                       "waiting", waits for FILE to appear and
//                                       MS ms more, prints "sent_ms=<tick>"
//                                       (GetTickCount64) and sends the stop
//   service_control NAME stopped IMAGE  prints "waiting", waits for the
//                                       service to leave STOPPED and come back
//                                       to it, and at that moment prints
//                                       "left=<processes whose file name is
//                                       IMAGE>"
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

DWORD CurrentState(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

int ProcessesNamed(const wchar_t* image)
{
    const HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    int count = 0;
    for (BOOL more = Process32FirstW(processes, &process); more; more = Process32NextW(processes, &process)) {
        count += _wcsicmp(process.szExeFile, image) == 0 ? 1 : 0;
    }
    CloseHandle(processes);
    return count;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool interrogate = argc == 3 && std::wcscmp(argv[2], L"interrogate") == 0;
    const bool stop = argc == 5 && std::wcscmp(argv[2], L"stop") == 0;
    const bool stopped = argc == 4 && std::wcscmp(argv[2], L"stopped") == 0;
    if (!interrogate && !stop && !stopped) {
        std::fputs("usage: service_control NAME interrogate | NAME stop FILE MS | NAME stopped IMAGE\n", stderr);
        return 1;
    }
    if (stopped) {
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        const SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS);
        std::printf("waiting\n");
        std::fflush(stdout);
        while (CurrentState(service) == SERVICE_STOPPED) {
            Sleep(1);
        }
        // Asked without a pause: the moment matters.
        while (CurrentState(service) != SERVICE_STOPPED) {
        }
        std::printf("left=%d\n", ProcessesNamed(argv[3]));
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return 0;
    }
    // Both handles are open before the wait, so that the stop goes out at once.
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager == nullptr ? nullptr : OpenServiceW(manager, argv[1], interrogate ? SERVICE_INTERROGATE : SERVICE_STOP);
    if (stop) {
        std::printf("waiting\n");
        std::fflush(stdout);
        while (GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES) {
            Sleep(1);
        }
        Sleep(static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)));
        std::printf("sent_ms=%llu\n", GetTickCount64());
    }
    SERVICE_STATUS status = {};
    if (service != nullptr &&
        ControlService(service, interrogate ? SERVICE_CONTROL_INTERROGATE : SERVICE_CONTROL_STOP, &status)) {
        std::printf("state=%lu\n", status.dwCurrentState);
    } else {
        std::printf("error=%lu\n", GetLastError());
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return 0;
}
