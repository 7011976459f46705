// A child for the service tests. It writes what it saw to "<its path>.log"
// (UTF-8, one "key=value" a line) and then behaves as its kind says:
//   TEST_CHILD_LOOP       a message loop on the primary thread; WM_QUIT ends it
//   TEST_CHILD_LATE_LOOP  a program still loading: records its start, creates
//                         its message queue 1 s later, then loops as LOOP
//   TEST_CHILD_CONSOLE    no message queue at all: WM_QUIT is lost on it; it
//                         writes three lines to its console first
//   TEST_CHILD_CTRL_C     a console program that ends on Ctrl-C
//   TEST_CHILD_QUICK      ends at once
//   TEST_CHILD_LAUNCHER   starts a second process of its own (this file again,
//                         with the argument "grandchild", which only sleeps),
//                         records its id, then loops as LOOP
//   TEST_CHILD_LAUNCHER_EXITS
//                         starts the second process, then ends with exit code
//                         3 once the file "<its path>.end" exists
//   TEST_CHILD_SAYS=N     once the host is on its console, writes N lines to
//                         it, then ends with exit code 3
// All but CTRL_C ignore Ctrl-C, as a program without a console would: their
// end shows which request reached them.
#include <windows.h>

#include <string>

namespace {

std::wstring ModulePath()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path;
}

void Record(const std::wstring& key, const std::wstring& value)
{
    const std::wstring line = key + L"=" + value + L"\n";
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], size, nullptr, nullptr);
    const HANDLE file = CreateFileW((ModulePath() + L".log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        CloseHandle(file);
    }
}

#ifdef TEST_CHILD_CTRL_C
HANDLE CtrlC = CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT) {
        return FALSE;
    }
    SetEvent(CtrlC);
    return TRUE;
}
#endif

#if defined(TEST_CHILD_SAYS) || defined(TEST_CHILD_CONSOLE)
// "line K of N to stdout" (or stderr: odd lines go to standard output, even
// ones to standard error), the last one ending in ": é 中文".
void Say(int count)
{
    for (int line = 1; line <= count; ++line) {
        const bool odd = line % 2 != 0;
        const std::wstring text = L"line " + std::to_wstring(line) + L" of " + std::to_wstring(count) +
                                  (odd ? L" to stdout" : L" to stderr") + (line == count ? L": é 中文\n" : L"\n");
        DWORD written = 0;
        WriteConsoleW(GetStdHandle(odd ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), text.c_str(),
                      static_cast<DWORD>(text.size()), &written, nullptr);
    }
}
#endif

#if defined(TEST_CHILD_LAUNCHER) || defined(TEST_CHILD_LAUNCHER_EXITS)
// The second process shares this one's console and job, as any process a
// program starts without flags does.
void StartGrandchild()
{
    std::wstring commandLine = L"\"" + ModulePath() + L"\" grandchild";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        Record(L"grandchild_pid", std::to_wstring(process.dwProcessId));
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        Record(L"grandchild_error", std::to_wstring(GetLastError()));
    }
}
#endif

}  // namespace

int main(int argc, char** argv)
{
#ifdef TEST_CHILD_CTRL_C
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    SetConsoleCtrlHandler(nullptr, TRUE);
#endif
    if (argc == 2 && std::string(argv[1]) == "grandchild") {
        Sleep(INFINITE);
    }
#if defined(TEST_CHILD_LOOP) || defined(TEST_CHILD_LAUNCHER)
    // Create the thread's message queue before saying we are up, so that a
    // quit message posted from then on is not lost.
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
#endif
    std::wstring directory(32768, L'\0');
    directory.resize(GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), &directory[0]));
    DWORD consoleProcesses[8];
    const DWORD attached = GetConsoleProcessList(consoleProcesses, 8);

    Record(L"command_line", GetCommandLineW());
    Record(L"directory", directory);
    // A console of its own has this process attached to it (and the host,
    // once it is), and a code page: without a console GetConsoleCP() is 0.
    Record(L"console_processes", std::to_wstring(attached));
    Record(L"console_cp", std::to_wstring(GetConsoleCP()));
    Record(L"pid", std::to_wstring(GetCurrentProcessId()));
#ifdef TEST_CHILD_LATE_LOOP
    // Up but still loading: a quit message posted in its first second finds
    // no queue. GetTickCount64 counts on the clock of Wine's trace
    // timestamps, so a test can time its stop request against this.
    Record(L"started_ms", std::to_wstring(GetTickCount64()));
    Sleep(1000);
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
#endif
#if defined(TEST_CHILD_LAUNCHER) || defined(TEST_CHILD_LAUNCHER_EXITS)
    StartGrandchild();
#endif
#ifdef TEST_CHILD_CONSOLE
    Say(3);
#endif
    Record(L"ready", L"yes");

#if defined(TEST_CHILD_LOOP) || defined(TEST_CHILD_LATE_LOOP) || defined(TEST_CHILD_LAUNCHER)
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    Record(L"ended", L"WM_QUIT");
    return 0;
#elif defined(TEST_CHILD_CONSOLE)
    Sleep(INFINITE);
    return 0;
#elif defined(TEST_CHILD_CTRL_C)
    WaitForSingleObject(CtrlC, INFINITE);
    Record(L"ended", L"Ctrl-C");
    return 0;
#elif defined(TEST_CHILD_SAYS)
    // What it writes outlives it only while the host is on its console.
    while (GetConsoleProcessList(consoleProcesses, 8) < 2) {
        Sleep(10);
    }
    Say(TEST_CHILD_SAYS);
    return 3;
#elif defined(TEST_CHILD_LAUNCHER_EXITS)
    while (GetFileAttributesW((ModulePath() + L".end").c_str()) == INVALID_FILE_ATTRIBUTES) {
        Sleep(10);
    }
    Record(L"ended", L"by itself");
    return 3;
#else
    Record(L"ended", L"by itself");
    return 0;
#endif
}
