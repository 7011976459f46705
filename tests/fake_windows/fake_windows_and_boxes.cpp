// The fake's windows and boxes: sessions and window stations, message
// boxes (user32, wtsapi32), and the host's standard error.
#include "fake_core.h"

#include <wtsapi32.h>

#include <cstring>

namespace fake {
namespace {

const auto StandardErrorValue = reinterpret_cast<HANDLE>(std::uintptr_t{0xE77});

const auto WindowStationValue = reinterpret_cast<HWINSTA>(std::uintptr_t{0x57A7});

}  // namespace

void SetSession(DWORD session)
{
    Locked lock;
    TheWorld().windows.session = session;
}

void SetWindowStationVisible(bool visible)
{
    Locked lock;
    TheWorld().windows.stationVisible = visible;
}

void SetConsoleSession(DWORD session)
{
    Locked lock;
    TheWorld().windows.consoleSession = session;
}

void SetStandardError(bool given)
{
    Locked lock;
    TheWorld().windows.standardHandles[2] = given ? StandardErrorValue : nullptr;
}

void SetStandardErrorIsConsole(bool console)
{
    Locked lock;
    TheWorld().windows.standardErrorIsConsole = console;
}

}  // namespace fake

using namespace fake;

DWORD WINAPI GetCurrentProcessId()
{
    return 3000;
}

BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId)
{
    Locked lock;
    Record("ProcessIdToSessionId(" + Number(processId) + ", " + Pointer(sessionId) + ")");
    if (processId != GetCurrentProcessId()) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    *sessionId = TheWorld().windows.session;
    return TRUE;
}

DWORD WINAPI WTSGetActiveConsoleSessionId()
{
    Locked lock;
    Record("WTSGetActiveConsoleSessionId()");
    return TheWorld().windows.consoleSession;
}

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    Locked lock;
    Record("MessageBoxW(" + Pointer(owner) + ", " + Text(text) + ", " + Text(caption) + ", " + Hex(type) + ")");
    RequireModule("user32.dll", "MessageBoxW");
    TheWorld().windows.boxes.push_back(Box{owner == nullptr, text, caption, type});
    return IDOK;
}

HWINSTA WINAPI GetProcessWindowStation()
{
    Locked lock;
    Record("GetProcessWindowStation()");
    RequireModule("user32.dll", "GetProcessWindowStation");
    return WindowStationValue;
}

BOOL WINAPI GetUserObjectInformationW(HANDLE object, int index, void* information, DWORD length, DWORD* needed)
{
    Locked lock;
    Record("GetUserObjectInformationW(" + std::string(object == WindowStationValue ? "window station" : "unknown") +
           ", " + Number(index) + ", " + Pointer(information) + ", " + Number(length) + ", " + Pointer(needed) + ")");
    RequireModule("user32.dll", "GetUserObjectInformationW");
    if (object != WindowStationValue || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    USEROBJECTFLAGS flags{};
    flags.dwFlags = TheWorld().windows.stationVisible ? WSF_VISIBLE : 0;
    std::memcpy(information, &flags, sizeof flags);
    *needed = sizeof flags;
    return TRUE;
}

BOOL WINAPI WTSSendMessageW(HANDLE server, DWORD sessionId, LPWSTR title, DWORD titleLength, LPWSTR message,
                            DWORD messageLength, DWORD style, DWORD timeout, DWORD* response, BOOL wait)
{
    Locked lock;
    Record("WTSSendMessageW(" + Pointer(server) + ", " + Number(sessionId) + ", " + Text(title) + ", " +
           Number(titleLength) + ", " + Text(message) + ", " + Number(messageLength) + ", " + Hex(style) + ", " +
           Number(timeout) + ", " + Pointer(response) + ", " + Number(wait) + ")");
    RequireModule("wtsapi32.dll", "WTSSendMessageW");
    return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD standardHandle)
{
    Locked lock;
    Record("GetStdHandle(" + Number(static_cast<int>(standardHandle)) + ")");
    const DWORD index = STD_INPUT_HANDLE - standardHandle;
    return index < 3 ? TheWorld().windows.standardHandles[index] : INVALID_HANDLE_VALUE;
}

BOOL WINAPI SetStdHandle(DWORD standardHandle, HANDLE handle)
{
    Locked lock;
    Record("SetStdHandle(" + Number(static_cast<int>(standardHandle)) + ", " + Pointer(handle) + ")");
    const DWORD index = STD_INPUT_HANDLE - standardHandle;
    if (index >= 3) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    TheWorld().windows.standardHandles[index] = handle;
    return TRUE;
}

BOOL WINAPI GetConsoleMode(HANDLE console, DWORD* mode)
{
    Locked lock;
    Record("GetConsoleMode(" + std::string(console == StandardErrorValue ? "stderr" : "unknown") + ", " +
           Pointer(mode) + ")");
    if (console != StandardErrorValue || !TheWorld().windows.standardErrorIsConsole) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *mode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
    return TRUE;
}

BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD unitsToWrite, DWORD* unitsWritten, void* reserved)
{
    Locked lock;
    const std::wstring text(static_cast<const wchar_t*>(buffer), unitsToWrite);
    Record("WriteConsoleW(" + std::string(console == StandardErrorValue ? "stderr" : "unknown") + ", " +
           Text(text.c_str()) + ", " + Number(unitsToWrite) + ", " + Pointer(unitsWritten) + ", " + Pointer(reserved) +
           ")");
    if (console != StandardErrorValue || !TheWorld().windows.standardErrorIsConsole) {
        TheWorld().core.misuses.push_back("WriteConsoleW: not a console the process was given");
        return FALSE;
    }
    TheWorld().windows.standardErrorText += Utf8(text);
    *unitsWritten = unitsToWrite;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* overlapped)
{
    Locked lock;
    const std::string bytes(static_cast<const char*>(buffer), bytesToWrite);
    Record("WriteFile(" + std::string(file == StandardErrorValue ? "stderr" : "unknown") + ", \"" + bytes + "\", " +
           Number(bytesToWrite) + ", " + Pointer(bytesWritten) + ", " + Pointer(overlapped) + ")");
    if (file != StandardErrorValue) {
        TheWorld().core.misuses.push_back("WriteFile: not a handle the process was given");
        return FALSE;
    }
    if (TheWorld().windows.standardErrorIsConsole) {
        TheWorld().core.misuses.push_back("WriteFile: UTF-8 bytes on a console show garbled");
    }
    TheWorld().windows.standardErrorText += bytes;
    *bytesWritten = bytesToWrite;
    return TRUE;
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD /*flags*/, LPCWSTR wideText, int wideLength, LPSTR multiByteText,
                               int multiByteSize, LPCSTR /*defaultChar*/, BOOL* /*usedDefaultChar*/)
{
    if (codePage != CP_UTF8 || wideLength < 0) {
        return 0;  // the host converts counted text to UTF-8 only
    }
    const std::string utf8 = Utf8(std::wstring(wideText, static_cast<std::size_t>(wideLength)));
    if (multiByteText == nullptr) {
        return static_cast<int>(utf8.size());
    }
    if (static_cast<int>(utf8.size()) > multiByteSize) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(multiByteText, utf8.data(), utf8.size());
    return static_cast<int>(utf8.size());
}

void WINAPI OutputDebugStringW(LPCWSTR text)
{
    Locked lock;
    Record("OutputDebugStringW(" + Text(text) + ")");
}
