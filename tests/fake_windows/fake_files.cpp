// The fake's files and paths: long and short forms, drives, attributes,
// listings, reparse points, final paths and file ids.
#include "fake_core.h"

#include <cstring>
#include <cwchar>
#include <set>
#include <string>

namespace fake {
namespace {

const DWORD VolumeSerial = 0x5EED;

// What a drive letter of the logon session stands for ("\\\\server\\share" or
// a folder), or null for any other drive. The caller holds the lock.
const std::wstring* DriveTargetLocked(const std::wstring& drive)
{
    const auto found = TheWorld().files.drives.find(LowerCase(drive.substr(0, 2)));
    return found == TheWorld().files.drives.end() ? nullptr : &found->second;
}

bool IsShare(const std::wstring& target)
{
    return target.compare(0, 2, L"\\\\") == 0;
}

// The path with a drive letter of the logon session replaced by what it
// stands for. The caller holds the lock.
std::wstring ResolvedLocked(const std::wstring& path)
{
    // A SUBST drive may stand on another drive of the session.
    std::wstring resolved = path;
    for (int step = 0; step < 8; ++step) {
        const std::wstring* target = DriveTargetLocked(resolved);
        if (target == nullptr) {
            break;
        }
        resolved = *target + resolved.substr(2);
    }
    return resolved;
}

// A path as Windows reads it. With the "\\?\" prefix, exactly as written:
// "\\?\C:\x" is "C:\x", "\\?\UNC\s\sh" is "\\s\sh". Without it, "If the path
// doesn't end in a separator, all trailing periods and spaces (U+0020) are
// removed" ("File path formats on Windows systems"): "helper.dll." is
// helper.dll.
std::wstring WithoutLongPrefix(const std::wstring& path)
{
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\\\" + path.substr(8);
    }
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        return path.compare(4, 7, L"Volume{") != 0 ? path.substr(4) : path;
    }
    const std::size_t name = path.find_last_of(L"\\/") + 1;
    const std::size_t end = path.find_last_not_of(L". ");
    const bool relative =
        path.compare(name, std::wstring::npos, L".") == 0 || path.compare(name, std::wstring::npos, L"..") == 0;
    return relative || end == std::wstring::npos || end < name ? path : path.substr(0, end + 1);
}

// Without the prefix, Windows takes no path of MAX_PATH units or more (the
// host declares no awareness of long paths).
bool IsTooLong(const std::wstring& path)
{
    return path.size() >= MAX_PATH && path.compare(0, 4, L"\\\\?\\") != 0;
}

// The long form of a path to an existing file, or empty.
std::wstring LongPathLocked(const std::wstring& given)
{
    World& world = TheWorld();
    const std::wstring path = WithoutLongPrefix(given);
    const auto alias = world.files.longPaths.find(LowerCase(path));
    if (alias != world.files.longPaths.end()) {
        return alias->second;
    }
    return world.files.ids.count(PathKey(ResolvedLocked(path))) != 0 ? path : std::wstring();
}

// A folder exists while a file is in it, or in a folder below it.
bool IsFolderLocked(const std::wstring& path)
{
    const std::wstring key = WithoutTrailingSeparators(LowerCase(ResolvedLocked(WithoutLongPrefix(path))));
    for (const auto& file : TheWorld().files.ids) {
        if (!key.empty() && file.first.compare(0, key.size() + 1, key + L"\\") == 0) {
            return true;
        }
    }
    return false;
}

// A path into a buffer as the path functions give it: its length, or, when
// the buffer is too small, the size it needs, terminator included.
DWORD CopyOut(const std::wstring& path, LPWSTR buffer, DWORD size)
{
    if (path.size() >= size) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// The attributes of the file or folder at `path` (a path of the world's),
// or INVALID_FILE_ATTRIBUTES. The caller holds the lock.
DWORD AttributesLocked(const std::wstring& path)
{
    const bool link =
        TheWorld().files.reparsePoints.count(PathKey(WithoutTrailingSeparators(WithoutLongPrefix(path)))) != 0;
    const DWORD reparse = link ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
    if (!LongPathLocked(path).empty()) {
        return FILE_ATTRIBUTE_NORMAL | reparse;
    }
    return IsFolderLocked(path) ? FILE_ATTRIBUTE_DIRECTORY | reparse : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::wstring PathKey(const std::wstring& path)
{
    std::wstring key = LowerCase(path);
    const std::size_t name = key.find_last_of(L'\\');
    if (name != std::wstring::npos && TheWorld().files.caseSensitive.count(key.substr(0, name)) != 0) {
        key.replace(name + 1, std::wstring::npos, path.substr(name + 1));
    }
    return key;
}

void AddFileLocked(const std::wstring& path)
{
    World& world = TheWorld();
    const std::wstring key = PathKey(ResolvedLocked(path));
    if (world.files.longPaths.count(LowerCase(path)) == 0 && world.files.ids.count(key) == 0) {
        const int index = static_cast<int>(world.files.ids.size()) + 1;
        world.files.ids[key] = index;
        world.files.names[key] = ResolvedLocked(path);
    }
}

std::wstring WithoutTrailingSeparators(std::wstring path)
{
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

void SetModulePath(const std::wstring& path)
{
    Locked lock;
    TheWorld().files.modulePath = path;
    AddFileLocked(path);
}

void AddFile(const std::wstring& path)
{
    Locked lock;
    AddFileLocked(path);
}

void MakeCaseSensitive(const std::wstring& folder)
{
    Locked lock;
    TheWorld().files.caseSensitive.insert(LowerCase(WithoutTrailingSeparators(folder)));
}

void MapDrive(const std::wstring& drive, const std::wstring& target)
{
    Locked lock;
    TheWorld().files.drives[LowerCase(drive)] = target;
}

void SetReparsePoint(const std::wstring& path, DWORD tag, const std::wstring& name, DWORD flags)
{
    Locked lock;
    TheWorld().files.reparsePoints[PathKey(WithoutTrailingSeparators(path))] = {tag, name, flags};
}

void AddShortPath(const std::wstring& shortPath, const std::wstring& longPath)
{
    Locked lock;
    TheWorld().files.ids.erase(LowerCase(shortPath));
    AddFileLocked(longPath);
    TheWorld().files.longPaths[LowerCase(shortPath)] = longPath;
}

}  // namespace fake

using namespace fake;

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
{
    Locked lock;
    Record("GetModuleFileNameW(" + Pointer(module) + ", " + Number(size) + ")");
    const std::wstring& path = TheWorld().files.modulePath;
    if (size == 0) {
        return 0;
    }
    if (ShouldFail("GetModuleFileNameW")) {
        std::wmemset(fileName, L'X', size);  // what a failed call leaves is not a path
        return 0;
    }
    // As Windows does: a path that does not fit is cut, terminated, and
    // reported with the buffer's whole size.
    const std::size_t copied = path.size() < size ? path.size() : size - 1;
    std::wmemcpy(fileName, path.data(), copied);
    fileName[copied] = L'\0';
    return path.size() < size ? static_cast<DWORD>(path.size()) : size;
}

DWORD WINAPI GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD size)
{
    Locked lock;
    Record("GetLongPathNameW(" + Text(shortPath) + ", " + Number(size) + ")");
    const std::wstring path = LongPathLocked(shortPath);
    if (ShouldFail("GetLongPathNameW") || path.empty()) {
        LastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    return CopyOut(path, longPath, size);
}

// The host asks for a short form only of a path that expands, and
// ExpandEnvironmentStringsW here expands none.
DWORD WINAPI GetShortPathNameW(LPCWSTR longPath, LPWSTR /*shortPath*/, DWORD size)
{
    Locked lock;
    Record("GetShortPathNameW(" + Text(longPath) + ", " + Number(size) + ")");
    NotModelled("GetShortPathNameW");
    return 0;
}

// No variable the tests' paths name is defined: the text as it is, and its
// size with the terminator.
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size)
{
    Locked lock;
    Record("ExpandEnvironmentStringsW(" + Text(source) + ", " + Number(size) + ")");
    return CopyOut(source, destination, size) + (std::wcslen(source) < size ? 1 : 0);
}

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
{
    Locked lock;
    World& world = TheWorld();
    Record("CreateFileW(" + Text(fileName) + ", " + Hex(desiredAccess) + ", " + Hex(shareMode) + ", " +
           Pointer(securityAttributes) + ", " + Number(creationDisposition) + ", " + Hex(flagsAndAttributes) + ", " +
           Pointer(templateFile) + ")");
    if (std::wstring(fileName) == L"CONOUT$") {
        return ConsoleOutputLocked();
    }
    const std::wstring path = LongPathLocked(fileName);
    if (creationDisposition != OPEN_EXISTING || IsTooLong(fileName) || (path.empty() && !IsFolderLocked(fileName))) {
        LastError = IsTooLong(fileName) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (!path.empty()) {
        const std::wstring resolved = ResolvedLocked(path);
        return reinterpret_cast<HANDLE>(NewHandle("file", world.files.ids.at(PathKey(resolved)), resolved));
    }
    // A folder opens only with backup semantics.
    if ((flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        LastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring resolved = WithoutTrailingSeparators(ResolvedLocked(WithoutLongPrefix(fileName)));
    const auto folder =
        world.files.folderIds.emplace(LowerCase(resolved), 100000 + static_cast<int>(world.files.folderIds.size()));
    return reinterpret_cast<HANDLE>(NewHandle("file", folder.first->second, resolved));
}

// The host falls back on it only when GetFileInformationByHandleEx fails on
// a file it opened, which here it never does.
BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION /*information*/)
{
    Locked lock;
    Record("GetFileInformationByHandle(" + HandleName(file) + ")");
    NotModelled("GetFileInformationByHandle");
    return FALSE;
}

BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass, LPVOID information,
                                         DWORD size)
{
    Locked lock;
    Record("GetFileInformationByHandleEx(" + HandleName(file) + ", " + Number(informationClass) + ", " + Number(size) +
           ")");
    HandleEntry* entry = Use(file, "file", "GetFileInformationByHandleEx");
    if (entry == nullptr || informationClass != FileIdInfo || size < sizeof(FILE_ID_INFO)) {
        LastError = ERROR_INVALID_PARAMETER;  // as from a server that does not know the class
        return FALSE;
    }
    // Shares answer with an id of zeros, as some servers do.
    FILE_ID_INFO id{};
    id.VolumeSerialNumber = VolumeSerial;
    const auto index = static_cast<std::uint32_t>(IsShare(entry->name) ? 0 : entry->child);
    std::memcpy(id.FileId.Identifier, &index, sizeof index);
    std::memcpy(information, &id, sizeof id);
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName)
{
    Locked lock;
    Record("GetFileAttributesW(" + Text(fileName) + ")");
    const DWORD attributes = IsTooLong(fileName) ? INVALID_FILE_ATTRIBUTES : AttributesLocked(fileName);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        LastError = IsTooLong(fileName) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    }
    return attributes;
}

// The folder's entries, files and folders, in the order of their lower-case
// paths; no "." or "..".
HANDLE WINAPI FindFirstFileExW(LPCWSTR fileName, FINDEX_INFO_LEVELS infoLevel, LPVOID findData,
                               FINDEX_SEARCH_OPS searchOp, LPVOID searchFilter, DWORD additionalFlags)
{
    Locked lock;
    World& world = TheWorld();
    Record("FindFirstFileExW(" + Text(fileName) + ", " + Number(infoLevel) + ", " + Number(searchOp) + ", " +
           Pointer(searchFilter) + ", " + Hex(additionalFlags) + ")");
    const std::wstring pattern = WithoutLongPrefix(fileName);
    if (IsTooLong(fileName) || pattern.size() < 2 || pattern.compare(pattern.size() - 2, 2, L"\\*") != 0) {
        LastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring folder = LowerCase(ResolvedLocked(pattern.substr(0, pattern.size() - 1)));
    std::vector<WIN32_FIND_DATAW> entries;
    std::set<std::wstring> listed;
    for (const auto& file : world.files.ids) {
        if (file.first.compare(0, folder.size(), folder) != 0) {
            continue;
        }
        const std::wstring& path = world.files.names[file.first];
        const std::size_t end = path.find(L'\\', folder.size());
        const std::wstring entry = path.substr(0, end);
        if (!listed.insert(PathKey(entry)).second) {
            continue;
        }
        WIN32_FIND_DATAW data = {};
        data.dwFileAttributes = AttributesLocked(entry);
        const auto reparse = world.files.reparsePoints.find(PathKey(entry));
        data.dwReserved0 = reparse != world.files.reparsePoints.end() ? reparse->second.tag : 0;
        const std::wstring name = entry.substr(folder.size());
        std::wmemcpy(data.cFileName, name.c_str(), name.size() + 1);
        entries.push_back(data);
    }
    if (entries.empty()) {
        LastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(findData, &entries[0], sizeof entries[0]);
    const std::uintptr_t handle = NewHandle("find", 1, folder);
    world.files.listings[handle] = entries;
    return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI FindNextFileW(HANDLE find, WIN32_FIND_DATAW* findData)
{
    Locked lock;
    Record("FindNextFileW(" + HandleName(find) + ")");
    HandleEntry* entry = Use(find, "find", "FindNextFileW");
    const std::vector<WIN32_FIND_DATAW>& entries = TheWorld().files.listings[reinterpret_cast<std::uintptr_t>(find)];
    // "If the function fails because no more matching files can be found",
    // ERROR_NO_MORE_FILES; a share can fail a listing before its end.
    if (ShouldFail("FindNextFileW")) {
        LastError = ERROR_UNEXP_NET_ERR;
        return FALSE;
    }
    if (entry == nullptr || static_cast<std::size_t>(entry->child) >= entries.size()) {
        LastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    *findData = entries[static_cast<std::size_t>(entry->child++)];
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE find)
{
    Locked lock;
    Record("FindClose(" + HandleName(find) + ")");
    return CloseOneOf(find, {"find"}, "find", "FindClose") != nullptr ? TRUE : FALSE;
}

// FSCTL_GET_REPARSE_POINT on a file or folder opened as itself: the reparse
// data a test wrote, laid out as Windows does, its names in UTF-16 units.
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                            DWORD outSize, DWORD* bytesReturned, LPVOID overlapped)
{
    Locked lock;
    Record("DeviceIoControl(" + HandleName(device) + ", " + Hex(controlCode) + ", " + Pointer(inBuffer) + ", " +
           Number(inSize) + ", " + Number(outSize) + ", " + Pointer(overlapped) + ")");
    HandleEntry* entry = Use(device, "file", "DeviceIoControl");
    const auto found = TheWorld().files.reparsePoints.find(entry == nullptr ? std::wstring() : PathKey(entry->name));
    if (controlCode != FSCTL_GET_REPARSE_POINT || found == TheWorld().files.reparsePoints.end()) {
        LastError = ERROR_NOT_A_REPARSE_POINT;
        return FALSE;
    }
    const FilesPart::Reparse& reparse = found->second;
    const bool symbolicLink = reparse.tag == IO_REPARSE_TAG_SYMLINK;
    std::vector<BYTE> data;
    const auto put = [&data](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            data.push_back(static_cast<BYTE>(value >> (8 * i)));
        }
    };
    const auto nameBytes = static_cast<std::uint32_t>(2 * reparse.name.size());
    put(reparse.tag, 4);
    put((symbolicLink ? 12 : 8) + nameBytes, 2);
    put(0, 2);
    put(0, 2);          // the substitute name's offset
    put(nameBytes, 2);  // and length
    put(nameBytes, 2);  // an empty print name after it
    put(0, 2);
    if (symbolicLink) {
        put(reparse.flags, 4);
    }
    for (wchar_t unit : reparse.name) {
        put(static_cast<std::uint32_t>(unit), 2);
    }
    if (data.size() > outSize) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::memcpy(outBuffer, data.data(), data.size());
    *bytesReturned = static_cast<DWORD>(data.size());
    return TRUE;
}

UINT WINAPI GetDriveTypeW(LPCWSTR rootPath)
{
    Locked lock;
    Record("GetDriveTypeW(" + Text(rootPath) + ")");
    // A SUBST drive has the type of the drive it stands on.
    return IsShare(ResolvedLocked(rootPath)) ? DRIVE_REMOTE : DRIVE_FIXED;
}

DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size)
{
    Locked lock;
    Record("QueryDosDeviceW(" + Text(deviceName) + ", " + Number(size) + ")");
    const std::wstring* target = DriveTargetLocked(deviceName);
    std::wstring device = L"\\Device\\HarddiskVolume1";
    if (target != nullptr) {
        device = IsShare(*target) ? L"\\Device\\LanmanRedirector\\;" + std::wstring(deviceName) + L"0000000000012345" +
                                        target->substr(1)
                                  : L"\\??\\" + *target;
    }
    // A list of names, each terminated, and the list terminated again.
    if (device.size() + 2 > size) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::wmemcpy(targetPath, device.c_str(), device.size() + 1);
    targetPath[device.size() + 1] = L'\0';
    return static_cast<DWORD>(device.size() + 2);
}

DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR filePath, DWORD size, DWORD flags)
{
    Locked lock;
    Record("GetFinalPathNameByHandleW(" + HandleName(file) + ", " + Number(size) + ", " + Hex(flags) + ")");
    HandleEntry* entry = Use(file, "file", "GetFinalPathNameByHandleW");
    if (entry == nullptr || ShouldFail("GetFinalPathNameByHandleW")) {
        LastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    const std::wstring& path = entry->name;
    const std::wstring final = path.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
    if (final.size() + 1 > size) {
        return static_cast<DWORD>(final.size() + 1);
    }
    std::wmemcpy(filePath, final.c_str(), final.size() + 1);
    return static_cast<DWORD>(final.size());
}

// Case folded per unit, which is what Windows does for the letters of file
// names that the tests use.
int WINAPI CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second, int secondLength, BOOL ignoreCase)
{
    Locked lock;
    Record("CompareStringOrdinal(" + Text(first) + ", " + Number(firstLength) + ", " + Text(second) + ", " +
           Number(secondLength) + ", " + Number(ignoreCase) + ")");
    const bool equal = ignoreCase != FALSE ? LowerCase(first) == LowerCase(second) : std::wcscmp(first, second) == 0;
    return equal ? CSTR_EQUAL : 1;
}
