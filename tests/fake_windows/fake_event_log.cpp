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
                                          dataSize, rawData == nullptr, numStrings > 0 ? strings[0] : L"", ThreadName,
                                          ClockMs(), world.core.processEnded});
    return ShouldFail("ReportEventW") ? FALSE : TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog)
{
    Locked lock;
    Record("DeregisterEventSource(" + HandleName(eventLog) + ")");
    return CloseOneOf(eventLog, {"event source"}, "event source", "DeregisterEventSource") != nullptr ? TRUE : FALSE;
}
