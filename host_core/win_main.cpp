#include "command_line.h"
#include "host_core.h"
#include "service_mode.h"
#include "service_registration/service_registration.h"
#include "service_runtime/service_runtime.h"
#include "texts.h"

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle;

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/, int /*showCommand*/)
{
    // Whatever the host loads from now on comes from the system directory,
    // never from its own folder, which others may be able to write to.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    HostIdentity identity;
    DeriveHostIdentity(identity);

    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
    StatusHandle = nullptr;
    SetRunningAsService(false);

    // The start-up code's narrow text loses characters outside the code page
    // and splits the program name by rules of its own: read the command line
    // as the process was given it.
    const wchar_t* command = CommandLineTail(GetCommandLineW());
    // Deployment tools read nothing but the exit code.
    DWORD exitCode = ERROR_SUCCESS;
    if (IsCommandWord(command, L"/install")) {
        exitCode = InstallService(identity.ModulePath);
    } else if (IsCommandWord(command, L"/uninstall")) {
        exitCode = UninstallService(identity.ModulePath);
    } else {
        exitCode = RunAsService(identity);
    }
    return static_cast<int>(exitCode);
}

DWORD RunAsService(const HostIdentity& identity)
{
    ServiceHost = &identity;
    StartMakingChildConsole();
    SERVICE_TABLE_ENTRYW table[2] = {{&ServiceName[0], ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table) == FALSE) {
        // Started by hand, not by the service manager: nothing was run.
        const DWORD error = GetLastError();
        ForgetEarlyConsole();
        LogEvent(L"%s", DispatcherFailed);
        return error;
    }
    WaitForControlHandlers();
    // The service has stopped: nothing the program left running outlives it.
    ReleaseChildJob();
    LogEvent(L"%s", DispatcherReturned);
    return ERROR_SUCCESS;
}
