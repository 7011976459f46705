// What Windows itself says about a process, for the idle bench:
//   process_stats PID
// prints "image=<exe file name>", "threads=<count in a toolhelp thread
// snapshot>", and "user_100ns=", "kernel_100ns=" from GetProcessTimes,
// one a line; "gone" when no such process exists.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

unsigned long long Ticks(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: process_stats PID\n", stderr);
        return 2;
    }
    const DWORD id = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));

    const HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    bool found = false;
    for (BOOL more = Process32FirstW(processes, &process); more; more = Process32NextW(processes, &process)) {
        if (process.th32ProcessID == id) {
            found = true;
            break;
        }
    }
    CloseHandle(processes);
    if (!found) {
        std::printf("gone\n");
        return 0;
    }
    std::printf("image=%ls\n", process.szExeFile);

    const HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 thread = {};
    thread.dwSize = sizeof thread;
    int count = 0;
    for (BOOL more = Thread32First(threads, &thread); more; more = Thread32Next(threads, &thread)) {
        count += thread.th32OwnerProcessID == id ? 1 : 0;
    }
    CloseHandle(threads);
    std::printf("threads=%d\n", count);

    const HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    FILETIME created, exited, kernel, user;
    if (handle != nullptr && GetProcessTimes(handle, &created, &exited, &kernel, &user)) {
        std::printf("user_100ns=%llu\nkernel_100ns=%llu\n", Ticks(user), Ticks(kernel));
    } else {
        std::printf("error_process_times=%lu\n", GetLastError());
    }
    if (handle != nullptr) {
        CloseHandle(handle);
    }
    return 0;
}
