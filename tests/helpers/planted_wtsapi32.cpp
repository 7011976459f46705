// A wtsapi32.dll to drop beside a program: whoever loads it from there leaves
// a trace. On DLL_PROCESS_ATTACH it appends "process=<the loading program's
// path>" to "planted_dll.log" in its own folder (a fixed name: the loader
// names the module as the importer spelled it, WTSAPI32.dll or wtsapi32.dll).
// It exports the one function a program built against the real DLL may
// import from it, which does nothing.
#include <windows.h>

#include <string>

namespace {

std::wstring ModulePath(HMODULE module)
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size())));
    return path;
}

void RecordLoader(HMODULE self)
{
    const std::wstring line = L"process=" + ModulePath(nullptr) + L"\n";
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], size, nullptr, nullptr);
    std::wstring log = ModulePath(self);
    log.replace(log.rfind(L'\\') + 1, std::wstring::npos, L"planted_dll.log");
    const HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        CloseHandle(file);
    }
}

}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI
    WTSSendMessageW(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR, DWORD, DWORD, DWORD, DWORD*, BOOL)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        RecordLoader(instance);
    }
    return TRUE;
}
