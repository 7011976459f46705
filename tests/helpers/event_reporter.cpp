// Reports information events with exact UTF-16 texts, so that the e2e tests
// can check their trace parser against what Wine really prints.
//
//   event_reporter.exe FILE
//
// FILE holds UTF-16LE units: the event source name, then each event's text,
// every one ended by a 0 unit. Each text goes out as its own event (type 4,
// category 0, id 0, one string), the source registered and deregistered
// around it as the host does. Exit code 0, or 1 when FILE cannot be read.
#include <windows.h>

#include <string>
#include <vector>

namespace {

bool ReadUnits(const wchar_t* path, std::wstring& units)
{
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<char> bytes;
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    CloseHandle(file);
    if (!ok || bytes.size() % 2 != 0) {
        return false;
    }
    units.resize(bytes.size() / 2);
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring units;
    if (argc != 2 || !ReadUnits(argv[1], units)) {
        return 1;
    }
    std::vector<std::wstring> fields;
    std::wstring::size_type start = 0;
    for (std::wstring::size_type end; (end = units.find(L'\0', start)) != std::wstring::npos; start = end + 1) {
        fields.push_back(units.substr(start, end - start));
    }
    if (fields.empty()) {
        return 1;
    }
    for (std::size_t i = 1; i < fields.size(); ++i) {
        const HANDLE source = RegisterEventSourceW(nullptr, fields[0].c_str());
        if (source == nullptr) {
            return 1;
        }
        LPCWSTR strings[1] = {fields[i].c_str()};
        ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
    return 0;
}
