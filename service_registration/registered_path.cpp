#include "registered_path.h"

#include "host_core/grown_text.h"
#include "host_core/paths.h"

#include <windows.h>

namespace {

// The text as the service manager would read a binary path, as far as this
// process can tell: each %NAME% of a variable defined here replaced by its
// value. The service manager's own environment is the system's, which ours
// holds too, besides the user's own variables: a name that only the user
// defines is taken as expanded as well. Empty when Windows cannot tell.
std::wstring Expanded(const std::wstring& text)
{
    return GrownText(text.size() + 1, [&](wchar_t* buffer, DWORD size) {
        // Its size, terminator included, whether it fits or not.
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer, size);
        return needed == 0 || needed > size ? needed : needed - 1;
    });
}

// The binary path is an expandable string, as system services' are
// ("%SystemRoot%\..."): a folder named after a variable between percent
// signs would send the service manager elsewhere. Such a path is given in
// its short form where that holds no such name; else none is.
std::wstring SurvivingExpansion(const std::wstring& path)
{
    if (path.empty() || Expanded(path) == path) {
        return path;
    }
    const std::wstring shortForm = ShortFormOf(path);
    return !shortForm.empty() && Expanded(shortForm) == shortForm ? shortForm : std::wstring();
}

// The path itself unless it is on a drive letter of the logon session.
std::wstring WithoutSessionDrives(const std::wstring& modulePath)
{
    // A SUBST drive may stand for a folder on another drive of the session,
    // itself SUBST or mapped: followed four steps, no more (a drive may be
    // made to stand for itself).
    std::wstring path = modulePath;
    for (int steps = 0;; ++steps) {
        if (!HasDriveLetter(path) || RootLength(path) == 0) {
            return path;
        }
        const std::wstring drive = path.substr(0, 2);
        if (GetDriveTypeW((drive + L"\\").c_str()) == DRIVE_REMOTE) {
            // The share it stands for, as the file was opened (a link on the
            // share is kept as a link).
            return WindowsPathOf(path, FILE_NAME_OPENED | VOLUME_NAME_DOS);
        }
        // A SUBST drive's device is the folder it stands for ("\??\C:\Real"),
        // a volume's is a device ("\Device\HarddiskVolume2"). The folder is
        // kept as it is written, junctions and all.
        std::wstring device(32768, L'\0');
        if (QueryDosDeviceW(drive.c_str(), &device[0], static_cast<DWORD>(device.size())) == 0 ||
            !HasDevicePrefix(device)) {
            return path;
        }
        if (steps == 4) {
            return std::wstring();
        }
        device.resize(device.find(L'\0'));
        path = WithoutDevicePrefix(device) + path.substr(2);
    }
}

}  // namespace

std::wstring PathForServiceManager(const std::wstring& modulePath)
{
    return SurvivingExpansion(WithoutSessionDrives(modulePath));
}
