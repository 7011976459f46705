// A child for the start-latency bench: the first thing main does is ask its
// console's input code page (0 when it has no console), and then read the
// performance counter: a console program is up once it can use its console.
// Windows makes a new console before the program's main runs; Wine only
// begins to then, and answers the first call once it is up. It writes the
// counter and the code page, in decimal, separated by a blank and
// followed by a newline, to "<its own path>.stamp" and ends at once. A service running it
// therefore stops by itself and can be started again.
#include <windows.h>

#include <cstdio>

int main()
{
    const UINT codePage = GetConsoleCP();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);

    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 1;
    }
    lstrcpyW(path + length, L".stamp");

    char text[48];
    const int size = std::snprintf(text, sizeof text, "%lld %u\n", static_cast<long long>(now.QuadPart), codePage);
    const HANDLE file =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 2;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return ok && written == static_cast<DWORD>(size) ? 0 : 3;
}
