#include "event_text.h"
#include "host_core.h"
#include "service_mode.h"

#include <wtsapi32.h>

namespace {

// Nobody sees a box on a service's desktop, and it would block the thread
// that shows it: a service sends the text to the console session's user
// without waiting for an answer, and to a debugger, and goes on.
void ReportEventLogUnreachable()
{
    wchar_t caption[] = L"ERROR";
    wchar_t text[] = L"RegisterEventSource() Failed!";
    if (!IsRunningAsService()) {
        MessageBoxW(nullptr, text, caption, MB_OK);
        return;
    }
    DWORD response = 0;
    WTSSendMessageW(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(), caption,
                    sizeof caption - sizeof(wchar_t), text, sizeof text - sizeof(wchar_t), MB_OK, 0, &response, FALSE);
    OutputDebugStringW(text);
}

}  // namespace

void LogEvent(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::wstring text = FormatEventText(format, arguments);
    va_end(arguments);

    HANDLE source = RegisterEventSourceW(nullptr, ServiceName.c_str());
    if (source == nullptr) {
        ReportEventLogUnreachable();
        return;
    }

    // One event holds 255 units; a longer text goes out whole, in order, as
    // consecutive events.
    std::size_t offset = 0;
    do {
        const std::size_t pieceLength = NextEventPieceLength(text.c_str() + offset, text.size() - offset);
        const std::wstring piece = text.substr(offset, pieceLength);
        LPCWSTR strings[1] = {piece.c_str()};
        ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
        offset += pieceLength;
    } while (offset < text.size());

    DeregisterEventSource(source);
}
