// Prints a service's record and status as the service manager holds them,
// one "key=value" a line (UTF-8), or "missing" when it does not exist.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void Print(const char* key, const std::wstring& value)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    std::printf("%s=%s\n", key, utf8.c_str());
}

void Print(const char* key, unsigned long value)
{
    std::printf("%s=%lu\n", key, value);
}

// A double-terminated list, its items joined with '|'; NULL as "(null)".
std::wstring List(const wchar_t* list)
{
    if (list == nullptr) {
        return L"(null)";
    }
    std::wstring joined;
    for (; *list != L'\0'; list += wcslen(list) + 1) {
        joined += joined.empty() ? L"" : L"|";
        joined += list;
    }
    return joined;
}

std::wstring Text(const wchar_t* text)
{
    return text == nullptr ? L"(null)" : text;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: service_query NAME\n", stderr);
        return 1;
    }
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        Print("error_open_manager", GetLastError());
        return 1;
    }
    const SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        std::printf("missing\n");
        CloseServiceHandle(manager);
        return 0;
    }
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
        Print("type", config->dwServiceType);
        Print("start", config->dwStartType);
        Print("error_control", config->dwErrorControl);
        Print("binary_path", Text(config->lpBinaryPathName));
        Print("group", Text(config->lpLoadOrderGroup));
        Print("tag", config->dwTagId);
        Print("dependencies", List(config->lpDependencies));
        Print("account", Text(config->lpServiceStartName));
        Print("display_name", Text(config->lpDisplayName));
    } else {
        Print("error_query_config", GetLastError());
    }
    SERVICE_STATUS_PROCESS status = {};
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed)) {
        Print("state", status.dwCurrentState);
        Print("pid", status.dwProcessId);
        Print("win32_exit_code", status.dwWin32ExitCode);
        Print("service_exit_code", status.dwServiceSpecificExitCode);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
