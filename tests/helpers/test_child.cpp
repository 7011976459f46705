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
//   TEST_CHILD_SAYS=N     writes N lines to its console, ends with exit code 3
//   TEST_CHILD_HOMES      as SAYS=40, its cursor moved home before it ends
//   TEST_CHILD_PROGRESS   writes a line and one ended by "\r", ends with 3
//   TEST_CHILD_CRT_FAILS  at once prints why it fails and returns 4
//   TEST_CHILD_TERMINATES at once writes why it fails, terminates itself with 5
//   TEST_CHILD_ENDS_AT=MS writes three lines, ends with 3 MS ms after its start
//   TEST_CHILD_CLOSES_CONSOLE writes a line, closes its console window, runs on
//                         (its handler of the close never returns)
// All but CTRL_C ignore Ctrl-C, as a program without a console would: their
// end shows which request reached them.
#include <windows.h>

#include <cstdio>
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

#ifdef TEST_CHILD_CLOSES_CONSOLE
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT) {
        Record(L"close_event", L"yes");
        Sleep(INFINITE);
    }
    return TRUE;
}
#endif

void Write(DWORD handle, const std::wstring& text)
{
    DWORD written = 0;
    WriteConsoleW(GetStdHandle(handle), text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// "line K of N to stdout" (or stderr: odd lines go to standard output, even
// ones to standard error), the last one ending in ": é 中文".
[[maybe_unused]] void Say(int count)
{
    for (int line = 1; line <= count; ++line) {
        const bool odd = line % 2 != 0;
        Write(odd ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
              L"line " + std::to_wstring(line) + L" of " + std::to_wstring(count) +
                  (odd ? L" to stdout" : L" to stderr") + (line == count ? L": é 中文\n" : L"\n"));
    }
}

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
#if defined(TEST_CHILD_CRT_FAILS)
    std::printf("loading settings.ini\n");
    std::fprintf(stderr, "fatal: settings.ini: no such file\n");
    return 4;
#elif defined(TEST_CHILD_TERMINATES)
    Write(STD_ERROR_HANDLE, L"allocating 64 GB\nfatal: out of memory\n");
    TerminateProcess(GetCurrentProcess(), 5);
#endif
#if defined(TEST_CHILD_CTRL_C) || defined(TEST_CHILD_CLOSES_CONSOLE)
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

#ifdef TEST_CHILD_ENDS_AT
    // Its start is when its log appears, to which a test can time a stop.
    const ULONGLONG endAt = GetTickCount64() + TEST_CHILD_ENDS_AT;
#endif
    Record(L"command_line", GetCommandLineW());
    Record(L"directory", directory);
    // A console program's console has this process and the host that made it
    // on it, and a code page: without a console GetConsoleCP() is 0.
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
    Say(TEST_CHILD_SAYS);
    return 3;
#elif defined(TEST_CHILD_HOMES)
    Say(40);
    SetConsoleCursorPosition(GetStdHandle(STD_OUTPUT_HANDLE), COORD{0, 0});
    return 3;
#elif defined(TEST_CHILD_PROGRESS)
    Write(STD_OUTPUT_HANDLE, L"copying 3 files\nprogress 100% done, fatal: disk full\r");
    return 3;
#elif defined(TEST_CHILD_ENDS_AT)
    // GetTickCount64 counts on the clock of Wine's trace timestamps.
    Record(L"end_ms", std::to_wstring(endAt));
    Say(3);
    while (GetTickCount64() < endAt) {
        Sleep(1);
    }
    return 3;
#elif defined(TEST_CHILD_CLOSES_CONSOLE)
    Write(STD_OUTPUT_HANDLE, L"closing my console window\n");
    const HWND window = GetConsoleWindow();
    Record(L"closed", window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? L"yes" : L"no");
    Sleep(INFINITE);
    return 0;
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
