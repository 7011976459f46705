// The fake's event log: event sources and the events reported to them.
#include "fake_core.h"

using namespace fake;

HANDLE WINAPI RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName)
{
    Locked lock;
    Record("RegisterEventSourceW(" + Text(serverName) + ", " + Text(sourceName) + ")");
    if (ShouldFail("RegisterEventSourceW")) {
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(NewHandle("event source", -1, sourceName));
}

namespace {

// ReportEventW: "If the string that you log contains %n, where n is an
// integer value (for example, %1), the event viewer treats it as an insertion
// string."
std::wstring AsEventViewerShows(const std::wstring& text, LPCWSTR* strings, WORD count)
{
    std::wstring shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned n = i + 1 < text.size() ? static_cast<unsigned>(text[i + 1] - L'0') : 0;
        if (text[i] == L'%' && n >= 1 && n <= count) {
            shown += strings[n - 1];
            ++i;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

}  // namespace

BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                         DWORD dataSize, LPCWSTR* strings, LPVOID rawData)
{
    Locked lock;
    World& world = TheWorld();
    Record("ReportEventW(" + HandleName(eventLog) + ", " + Number(type) + ", " + Number(category) + ", " +
           Number(eventId) + ", " + Pointer(userSid) + ", " + Number(numStrings) + ", " + Number(dataSize) + ", " +
           (numStrings > 0 && strings != nullptr ? Text(strings[0]) : "no strings") + ", " + Pointer(rawData) + ")");
    HandleEntry* entry = Use(eventLog, "event source", "ReportEventW");
    if (entry == nullptr) {
        return FALSE;
    }
    world.eventLog.events.push_back(Event{entry->name, type, category, eventId, userSid == nullptr, numStrings,
                                          dataSize, rawData == nullptr, numStrings > 0 ? strings[0] : L"",
                                          numStrings > 0 ? AsEventViewerShows(strings[0], strings, numStrings) : L"",
                                          ThreadName, ClockMs(), world.core.processEnded});
    return ShouldFail("ReportEventW") ? FALSE : TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog)
{
    Locked lock;
    Record("DeregisterEventSource(" + HandleName(eventLog) + ")");
    return CloseOneOf(eventLog, {"event source"}, "event source", "DeregisterEventSource") != nullptr ? TRUE : FALSE;
}
