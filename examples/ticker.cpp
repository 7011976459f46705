// An example program to run as a service: once a second it appends a
// timestamped line to ticker.log beside itself, and it ends cleanly when its
// main thread receives WM_QUIT, which is how the host asks it to stop.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring LogPath()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"ticker.log";
}

void AppendLine(const std::wstring& path, const char* text)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u pid %lu %s\r\n", now.wYear,
                                     now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                     static_cast<unsigned long>(GetCurrentProcessId()), text);
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int main()
{
    const std::wstring log = LogPath();
    AppendLine(log, "started");
    // A thread timer: WM_TIMER arrives through the same loop that WM_QUIT ends.
    SetTimer(nullptr, 0, 1000, nullptr);
    MSG message;
    unsigned ticks = 0;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) {
            char text[32];
            std::snprintf(text, sizeof text, "tick %u", ++ticks);
            AppendLine(log, text);
        }
    }
    AppendLine(log, "asked to quit: stopping cleanly");
    return 0;
}
