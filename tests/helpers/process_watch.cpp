// Watches a process by id until it ends, then prints its exit code and how
// long the wait took: "exit=<code> waited_ms=<ms>". Prints "watching" once
// the process is open, so that the caller knows when to act.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: process_watch PID\n", stderr);
        return 1;
    }
    const DWORD id = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) {
        std::printf("gone\n");
        return 0;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    const ULONGLONG start = GetTickCount64();
    WaitForSingleObject(process, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process, &exitCode);
    std::printf("exit=%lu waited_ms=%llu\n", static_cast<unsigned long>(exitCode), GetTickCount64() - start);
    CloseHandle(process);
    return 0;
}
