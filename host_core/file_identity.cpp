#include "file_identity.h"

#include "paths.h"

#include <windows.h>

#include <cstring>

namespace {

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
    HANDLE file = OpenToQuery(path, FILE_READ_ATTRIBUTES, folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL);
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

}  // namespace

bool IsSameFileInSameFolder(const std::wstring& first, const std::wstring& second)
{
    return SameIdentity(first, second, false) && SameIdentity(FolderOf(first), FolderOf(second), true);
}
