#include "host_core/failure_notice.h"
#include "host_core/host_core.h"
#include "host_core/quoted_path.h"

#include <vector>

namespace {

// A deployment tool that runs /install where nobody sees a box finds the
// text in its log of standard error, and in the event log.
void ShowInstallFailure(const wchar_t* text)
{
    if (!ShowFailure(text)) {
        LogEvent(L"%s", text);
    }
}

// Volume and file index name a file however its path is written: case,
// quotes, short or long forms.
bool IdentifyFile(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& information)
{
    HANDLE file =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool identified = GetFileInformationByHandle(file, &information) != FALSE;
    CloseHandle(file);
    return identified;
}

bool RunsThisHost(SC_HANDLE service, const std::wstring& modulePath)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<QUERY_SERVICE_CONFIGW> buffer(needed / sizeof(QUERY_SERVICE_CONFIGW) + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(QUERY_SERVICE_CONFIGW));
    if (QueryServiceConfigW(service, buffer.data(), size, &needed) == FALSE || buffer[0].lpBinaryPathName == nullptr) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION program = {};
    BY_HANDLE_FILE_INFORMATION host = {};
    return IdentifyFile(UnquotedProgram(buffer[0].lpBinaryPathName), program) && IdentifyFile(modulePath, host) &&
           program.dwVolumeSerialNumber == host.dwVolumeSerialNumber && program.nFileIndexHigh == host.nFileIndexHigh &&
           program.nFileIndexLow == host.nFileIndexLow;
}

// A record that another client still holds open outlives DeleteService until
// that client lets go; changing nothing in it fails then, and only then.
bool IsMarkedForDeletion(SC_HANDLE service)
{
    return ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr) == FALSE &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

enum class Record { Absent, OfThisHost, OfThisHostBeingDeleted, OfAnotherProgram };

// What stands under the host's name. Any failure to open the manager or the
// service counts as absence, whatever its cause. Opened with
// SERVICE_CHANGE_CONFIG too, a record of this host is also checked for a
// deletion under way.
Record FindRecord(const std::wstring& modulePath, DWORD access)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return Record::Absent;
    }
    Record record = Record::Absent;
    SC_HANDLE service = OpenServiceW(manager, ServiceName.c_str(), access);
    if (service != nullptr) {
        if (!RunsThisHost(service, modulePath)) {
            record = Record::OfAnotherProgram;
        } else if ((access & SERVICE_CHANGE_CONFIG) != 0 && IsMarkedForDeletion(service)) {
            record = Record::OfThisHostBeingDeleted;
        } else {
            record = Record::OfThisHost;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return record;
}

}  // namespace

void InstallService(const std::wstring& modulePath)
{
    // Anything but a live record of this very file is not installed: the
    // creation then fails on the taken name and says so.
    if (FindRecord(modulePath, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG) == Record::OfThisHost) {
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

void UninstallService(const std::wstring& modulePath)
{
    const Record record = FindRecord(modulePath, SERVICE_QUERY_CONFIG);
    if (record == Record::Absent) {
        return;
    }
    // Another program's service that bears our name (a system service, a copy
    // of the host in another folder) is not ours to stop or delete.
    if (record == Record::OfAnotherProgram) {
        LogEvent(L"Service could not be deleted");
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
        // manager removes it once the service has stopped and every client
        // has let go of it. A deletion already under way is as good as done.
        SERVICE_STATUS lastStatus = {};
        ControlService(service, SERVICE_CONTROL_STOP, &lastStatus);
        deleted = DeleteService(service) != FALSE || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (!deleted) {
        LogEvent(L"Service could not be deleted");
    }
}
