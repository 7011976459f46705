#include "registered_path.h"

#include <windows.h>

namespace {

bool IsDriveLetterPath(const std::wstring& path)
{
    return path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

// A mapped network drive, or a SUBST drive, whose device is a folder
// ("\??\C:\Real"), not a volume ("\Device\HarddiskVolume2").
bool IsDriveOfTheLogonSession(const std::wstring& path)
{
    const std::wstring root = path.substr(0, 2) + L"\\";
    if (GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) {
        return true;
    }
    const std::wstring drive = path.substr(0, 2);
    std::wstring device(32768, L'\0');
    return QueryDosDeviceW(drive.c_str(), &device[0], static_cast<DWORD>(device.size())) != 0 &&
           device.compare(0, 4, L"\\??\\") == 0;
}

// The path Windows resolves the file to, without the "\\?\" that only
// long-path-aware callers take.
std::wstring FinalPathOf(const std::wstring& path)
{
    HANDLE file =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return path;
    }
    std::wstring final(MAX_PATH, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetFinalPathNameByHandleW(file, &final[0], static_cast<DWORD>(final.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length < final.size()) {
            break;
        }
        final.assign(length + 1, L'\0');  // the size it needs, terminator included
    }
    CloseHandle(file);
    if (length == 0) {
        return path;
    }
    final.resize(length);
    if (final.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\\\" + final.substr(8);
    }
    if (final.compare(0, 4, L"\\\\?\\") == 0) {
        return final.substr(4);
    }
    return final;
}

}  // namespace

std::wstring PathForServiceManager(const std::wstring& modulePath)
{
    if (!IsDriveLetterPath(modulePath) || !IsDriveOfTheLogonSession(modulePath)) {
        return modulePath;
    }
    return FinalPathOf(modulePath);
}
