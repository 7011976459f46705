// Runs a program on a window station of its own that nobody sees, as an
// installer run by an unattended setup would be, and tells how it ended.
//
//   hidden_station_run.exe TIMEOUT_MS PROGRAM [ARGUMENT...]
//
// The program gets this process's standard input, output and error. Prints
// "ended=yes exit=<code>" once it ends, or "ended=no" when it still ran
// after TIMEOUT_MS, in which case it is terminated: nothing is left behind.
// Exit code: 0 when it ended by itself, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring Quoted(const std::wstring& argument)
{
    return argument.find(L' ') == std::wstring::npos ? argument : L"\"" + argument + L"\"";
}

// Handed to the program: an inheritable copy of a standard handle.
HANDLE Inheritable(DWORD which)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(which), GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fputs("usage: hidden_station_run TIMEOUT_MS PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    const DWORD timeoutMs = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    std::wstring commandLine = Quoted(argv[2]);
    for (int i = 3; i < argc; ++i) {
        commandLine += L" " + Quoted(argv[i]);
    }

    // Not visible (no WSF_VISIBLE); the desktop is made from inside it.
    const std::wstring stationName = L"hidden" + std::to_wstring(GetCurrentProcessId());
    const HWINSTA ownStation = GetProcessWindowStation();
    const HWINSTA station = CreateWindowStationW(stationName.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr || !SetProcessWindowStation(station)) {
        std::printf("error_station=%lu\n", GetLastError());
        return 2;
    }
    const HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(ownStation);
    if (desktop == nullptr) {
        std::printf("error_desktop=%lu\n", GetLastError());
        return 2;
    }

    std::wstring desktopName = stationName + L"\\Default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = &desktopName[0];
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = Inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = Inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = Inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::printf("error_create_process=%lu\n", GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);

    const bool ended = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (ended) {
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        std::printf("ended=yes exit=%lu\n", static_cast<unsigned long>(exitCode));
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        std::printf("ended=no\n");
    }
    CloseHandle(process.hProcess);
    CloseDesktop(desktop);
    CloseWindowStation(station);
    return ended ? 0 : 1;
}
