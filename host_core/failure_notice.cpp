#include "failure_notice.h"

#include "service_mode.h"
#include "system_library.h"
#include "texts.h"

#include <windows.h>
#include <wtsapi32.h>

#include <string>

bool WindowsCanBeSeen()
{
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) == FALSE || session == 0) {
        return false;
    }
    const auto getProcessWindowStation =
        LoadSystemFunction<decltype(&GetProcessWindowStation)>(L"user32.dll", "GetProcessWindowStation");
    const auto getUserObjectInformation =
        LoadSystemFunction<decltype(&GetUserObjectInformationW)>(L"user32.dll", "GetUserObjectInformationW");
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    return getProcessWindowStation != nullptr && getUserObjectInformation != nullptr &&
           getUserObjectInformation(getProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed) != FALSE &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

namespace {

// To the user at the machine's console, if one is logged on; the box there
// is not waited for.
void SendToConsoleSession(const wchar_t* caption, const wchar_t* text)
{
    const DWORD session = WTSGetActiveConsoleSessionId();
    const auto sendMessage = LoadSystemFunction<decltype(&WTSSendMessageW)>(L"wtsapi32.dll", "WTSSendMessageW");
    if (session == 0xFFFFFFFF || sendMessage == nullptr) {
        return;
    }
    std::wstring title = caption;
    std::wstring message = text;
    DWORD response = 0;
    sendMessage(WTS_CURRENT_SERVER_HANDLE, session, &title[0], static_cast<DWORD>(title.size() * sizeof(wchar_t)),
                &message[0], static_cast<DWORD>(message.size() * sizeof(wchar_t)), MB_OK, 0, &response, FALSE);
}

// One line: as text to a console, which would show UTF-8 bytes garbled, and
// as UTF-8 to a file or pipe, for the script or deployment tool that
// captures it.
void WriteToStandardError(const wchar_t* text)
{
    HANDLE output = GetStdHandle(STD_ERROR_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::wstring line = std::wstring(text) + L"\r\n";
    const int units = static_cast<int>(line.size());
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode) != FALSE) {
        WriteConsoleW(output, line.c_str(), static_cast<DWORD>(units), &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), units, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), units, &utf8[0], size, nullptr, nullptr);
    WriteFile(output, utf8.data(), static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace

bool ShowFailure(const wchar_t* text)
{
    if (!IsRunningAsService() && WindowsCanBeSeen()) {
        const auto messageBox = LoadSystemFunction<decltype(&MessageBoxW)>(L"user32.dll", "MessageBoxW");
        // A box that could not be made (Windows gives 0, Wine without a
        // display -1) was seen by nobody: the text goes the unattended way.
        if (messageBox != nullptr && messageBox(nullptr, text, BoxCaption, MB_OK) == IDOK) {
            return true;
        }
    }
    SendToConsoleSession(BoxCaption, text);
    OutputDebugStringW(text);
    WriteToStandardError(text);
    return false;
}
