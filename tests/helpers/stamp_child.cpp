// A child for the start-latency bench: the first thing main does is read the
// performance counter; it then writes that value and its console's input code
// page (0 when it has no console), in decimal, separated by a blank and
// followed by a newline, to "<its own path>.stamp" and ends at once. A service running it
// therefore stops by itself and can be started again.
#include <windows.h>

#include <cstdio>

int main()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);

    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 1;
    }
    lstrcpyW(path + length, L".stamp");

    char text[48];
    const int size =
        std::snprintf(text, sizeof text, "%lld %u\n", static_cast<long long>(now.QuadPart), GetConsoleCP());
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
