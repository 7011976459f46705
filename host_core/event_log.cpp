#include "event_text.h"
#include "failure_notice.h"
#include "host_core.h"
#include "texts.h"

void LogEvent(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::wstring text = ReadAsWritten(FormatEventText(format, arguments));
    va_end(arguments);

    HANDLE source = RegisterEventSourceW(nullptr, ServiceName.c_str());
    if (source == nullptr) {
        ShowFailure(EventSourceFailed);
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
