// Sends a control to a service, as a client of the service manager does, and
// prints the answer: "state=<current state>" when the control went through,
// else "error=<GetLastError()>".
//   service_control NAME interrogate    what Wine's sc cannot send
//   service_control NAME stop FILE MS   a stop timed to another program: prints
//                                       "waiting", waits for FILE to appear and
//                                       MS ms more, prints "sent_ms=<tick>"
//                                       (GetTickCount64) and sends the stop
//   service_control NAME stopped PID    prints "watching", waits for the
//                                       running service to report STOPPED, and
//                                       at that moment prints "left=<1 if
//                                       process PID runs, else 0>"
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    const bool interrogate = argc == 3 && std::wcscmp(argv[2], L"interrogate") == 0;
    const bool stop = argc == 5 && std::wcscmp(argv[2], L"stop") == 0;
    const bool stopped = argc == 4 && std::wcscmp(argv[2], L"stopped") == 0;
    if (!interrogate && !stop && !stopped) {
        std::fputs("usage: service_control NAME interrogate | NAME stop FILE MS | NAME stopped PID\n", stderr);
        return 1;
    }
    if (stopped) {
        // The process handle, open from now on, keeps its id from being reused.
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, std::wcstoul(argv[3], nullptr, 10));
        if (process == nullptr) {
            std::printf("error=%lu\n", GetLastError());
            return 0;
        }
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        const SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS);
        std::printf("watching\n");
        std::fflush(stdout);
        SERVICE_STATUS status = {};
        // Asked every millisecond or so: the moment matters, and so does the
        // service's own work on a loaded machine.
        while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            Sleep(1);
        }
        std::printf("left=%d\n", WaitForSingleObject(process, 0) == WAIT_TIMEOUT ? 1 : 0);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        CloseHandle(process);
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
