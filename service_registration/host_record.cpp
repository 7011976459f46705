#include "host_record.h"

#include "host_core/host_core.h"
#include "host_core/path_split.h"
#include "registered_path.h"

#include <cstring>
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

// The folder part of a path, with its last separator: "C:" alone would name
// the current folder on drive C:, not its root.
std::wstring FolderOf(const std::wstring& path)
{
    const PathParts parts = SplitPath(path);
    return parts.Drive + parts.Directory;
}

// A module name without an extension gets ".exe", as CreateProcessW gives it.
std::wstring WithExtension(std::wstring program)
{
    if (SplitPath(program).Extension.empty()) {
        program += L".exe";
    }
    return program;
}

// A file or folder named however its path is written (case, quotes, short
// or long forms, hard links): its volume and its 128-bit id, which is unique
// where the 64-bit file index is not (ReFS). A file system that cannot give
// it (some network servers) gives the volume serial and file index instead.
// A server that answers with an id of zeros, which would make every file on
// the share one file, is left with the final path Windows gives for it.
struct FileIdentity {
    ULONGLONG Volume = 0;
    BYTE Id[16] = {};
    std::wstring FinalPath;
};

bool HasNoId(const FileIdentity& identity)
{
    const BYTE none[sizeof identity.Id] = {};
    return std::memcmp(identity.Id, none, sizeof none) == 0;
}

bool IdentifyFile(const std::wstring& path, bool folder, FileIdentity& identity)
{
    // A folder opens only with backup semantics, which ask for no privilege
    // when nothing but attributes is read.
    HANDLE file =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_ID_INFO id = {};
    BY_HANDLE_FILE_INFORMATION information = {};
    bool identified = true;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) != FALSE) {
        identity.Volume = id.VolumeSerialNumber;
        std::memcpy(identity.Id, id.FileId.Identifier, sizeof identity.Id);
    } else if (GetFileInformationByHandle(file, &information) != FALSE) {
        identity.Volume = information.dwVolumeSerialNumber;
        const ULONGLONG index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
        std::memcpy(identity.Id, &index, sizeof index);
    } else {
        identified = false;
    }
    if (identified && HasNoId(identity)) {
        identity.FinalPath = FinalPathOf(file, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        identified = !identity.FinalPath.empty();
    }
    CloseHandle(file);
    return identified;
}

bool SameIdentity(const std::wstring& first, const std::wstring& second, bool folder)
{
    FileIdentity one;
    FileIdentity other;
    return IdentifyFile(first, folder, one) && IdentifyFile(second, folder, other) && one.Volume == other.Volume &&
           std::memcmp(one.Id, other.Id, sizeof one.Id) == 0 &&
           (!HasNoId(one) ||
            CompareStringOrdinal(one.FinalPath.c_str(), -1, other.FinalPath.c_str(), -1, TRUE) == CSTR_EQUAL);
}

// The same file in the same folder: a hard link of the host elsewhere is
// another program, whose own program beside it would be another too.
bool IsSameFileInSameFolder(const std::wstring& first, const std::wstring& second)
{
    return SameIdentity(first, second, false) && SameIdentity(FolderOf(first), FolderOf(second), true);
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
    return IsSameFileInSameFolder(ProgramOfBinaryPath(buffer[0].lpBinaryPathName), modulePath);
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

Record FindRecord(SC_HANDLE manager, const std::wstring& modulePath, DWORD access)
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
    } else if (!RunsThisHost(service, modulePath)) {
        record = Record::OfAnotherProgram;
    }
    CloseServiceHandle(service);
    return record;
}
