#include "host_record.h"

#include "host_core/file_identity.h"
#include "host_core/host_core.h"
#include "host_core/paths.h"

#include <vector>

namespace {

bool IsBlank(wchar_t unit)
{
    return unit == L' ' || unit == L'\t';
}

bool IsExistingFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A module name without an extension gets ".exe", as CreateProcessW gives it.
std::wstring WithExtension(std::wstring program)
{
    if (SplitPath(program).Extension.empty()) {
        program += L".exe";
    }
    return program;
}

// The program the record runs, when it is this very file (however the record
// names it); empty when it is another program, or cannot be read.
std::wstring ThisHostAsRecorded(SC_HANDLE service, const std::wstring& modulePath)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<QUERY_SERVICE_CONFIGW> buffer(needed / sizeof(QUERY_SERVICE_CONFIGW) + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(QUERY_SERVICE_CONFIGW));
    if (QueryServiceConfigW(service, buffer.data(), size, &needed) == FALSE || buffer[0].lpBinaryPathName == nullptr) {
        return std::wstring();
    }
    const std::wstring program = ProgramOfBinaryPath(buffer[0].lpBinaryPathName);
    return IsSameFileInSameFolder(program, modulePath) ? program : std::wstring();
}

// A record that another client still holds open outlives DeleteService until
// that client lets go; changing nothing in it fails then, and only then.
bool IsMarkedForDeletion(SC_HANDLE service)
{
    return ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr) == FALSE &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

}  // namespace

std::wstring ProgramOfBinaryPath(const std::wstring& binaryPath)
{
    if (!binaryPath.empty() && binaryPath[0] == L'"') {
        const std::wstring::size_type closing = binaryPath.find(L'"', 1);
        return WithExtension(binaryPath.substr(1, closing == std::wstring::npos ? std::wstring::npos : closing - 1));
    }
    // Each prefix that ends where a run of blanks begins, then the whole.
    for (std::wstring::size_type end = 1; end <= binaryPath.size(); ++end) {
        const bool wordEnds = end == binaryPath.size() || (IsBlank(binaryPath[end]) && !IsBlank(binaryPath[end - 1]));
        if (!wordEnds) {
            continue;
        }
        std::wstring candidate = WithExtension(binaryPath.substr(0, end));
        if (end == binaryPath.size() || IsExistingFile(candidate)) {
            return candidate;
        }
    }
    return binaryPath;
}

Record FindRecord(SC_HANDLE manager, const std::wstring& modulePath, DWORD access, std::wstring* recorded)
{
    SC_HANDLE service = OpenServiceW(manager, ServiceName.c_str(), access);
    if (service == nullptr) {
        // No service can have an empty name: there is none of it.
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_INVALID_NAME ? Record::Absent
                                                                                    : Record::Unreadable;
    }
    // A record being deleted is on its way out, whoever's it is.
    Record record = Record::OfThisHost;
    if ((access & SERVICE_CHANGE_CONFIG) != 0 && IsMarkedForDeletion(service)) {
        record = Record::BeingDeleted;
    } else {
        const std::wstring program = ThisHostAsRecorded(service, modulePath);
        record = program.empty() ? Record::OfAnotherProgram : Record::OfThisHost;
        if (recorded != nullptr) {
            *recorded = program;
        }
    }
    CloseServiceHandle(service);
    return record;
}
