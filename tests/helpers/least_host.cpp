// The least a service host can do, for the bench to measure the real one
// against: the dispatcher, START_PENDING and RUNNING, the program beside it
// (its own stem less three characters, plus ".exe") in a new console in its
// folder, the wait, STOPPED; and /install and /uninstall, which the bench
// uses. No checks, no events, no job, no stop beyond ending the program.
// Like the host, a GUI program that loads USER32 before the program starts:
// Wine gives a new console only to a process whose window station USER32 has
// connected, and a start without a console would do less than the host's.
#include <windows.h>

namespace {

wchar_t ModulePath[MAX_PATH];
wchar_t ServiceName[MAX_PATH];
SERVICE_STATUS_HANDLE StatusHandle;
HANDLE Program;

void Report(DWORD state)
{
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(StatusHandle, &status);
}

void WINAPI Handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP) {
        TerminateProcess(Program, 2);
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    StatusHandle = RegisterServiceCtrlHandlerW(ServiceName, Handler);
    Report(SERVICE_START_PENDING);
    Report(SERVICE_RUNNING);
    LoadLibraryW(L"user32.dll");
    wchar_t folder[MAX_PATH] = {};
    wcsncpy(folder, ModulePath, wcsrchr(ModulePath, L'\\') + 1 - ModulePath);
    wchar_t commandLine[2 * MAX_PATH] = L"\"";
    wcscat(commandLine, folder);
    wcsncat(commandLine, ServiceName, wcslen(ServiceName) - 3);
    wcscat(commandLine, L".exe\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, folder, &startup,
                       &process) != FALSE) {
        Program = process.hProcess;
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
    }
    Report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
    GetModuleFileNameW(nullptr, ModulePath, MAX_PATH);
    const wchar_t* name = wcsrchr(ModulePath, L'\\') + 1;
    wcsncpy(ServiceName, name, wcsrchr(name, L'.') - name);
    const bool install = lstrcmpiW(commandLine, L"/install") == 0;
    if (install || lstrcmpiW(commandLine, L"/uninstall") == 0) {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = install
                                ? CreateServiceW(manager, ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                 ModulePath, nullptr, nullptr, nullptr, nullptr, nullptr)
                                : OpenServiceW(manager, ServiceName, DELETE);
        if (!install) {
            DeleteService(service);
        }
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    } else {
        SERVICE_TABLE_ENTRYW table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
        StartServiceCtrlDispatcherW(table);
    }
    return 0;
}
