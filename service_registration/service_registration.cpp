#include "host_core/host_core.h"
#include "host_core/quoted_path.h"

namespace {

void ShowInstallFailure(const wchar_t* text)
{
    MessageBoxW(nullptr, text, L"ERROR", MB_OK);
}

// Any failure to open counts as absence, whatever its cause.
bool ServiceExists()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = OpenServiceW(manager, ServiceName.c_str(), SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return service != nullptr;
}

}  // namespace

void InstallService(const std::wstring& modulePath)
{
    if (ServiceExists()) {
        return;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        ShowInstallFailure(L"OpenSCManager() 失败!");
        return;
    }
    // Quoted when it holds blanks, so that no "C:\Program.exe" can run as
    // LocalSystem in the service's place.
    const std::wstring binaryPath = QuotedIfBlank(modulePath);
    SC_HANDLE service = CreateServiceW(manager, ServiceName.c_str(), ServiceName.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       binaryPath.c_str(), nullptr, nullptr, L"", nullptr, nullptr);
    if (service == nullptr) {
        ShowInstallFailure(L"CreateServiceW() 失败!");
        CloseServiceHandle(manager);
        return;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void UninstallService()
{
    if (!ServiceExists()) {
        return;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        LogEvent(L"Service could not be deleted");
        return;
    }
    bool deleted = false;
    SC_HANDLE service = OpenServiceW(manager, ServiceName.c_str(), DELETE | SERVICE_STOP);
    if (service != nullptr) {
        // The stop is only asked for: the record goes now, and the service
        // manager removes it once the service has stopped.
        SERVICE_STATUS lastStatus = {};
        ControlService(service, SERVICE_CONTROL_STOP, &lastStatus);
        deleted = DeleteService(service) != FALSE;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (!deleted) {
        LogEvent(L"Service could not be deleted");
    }
}
