#include "who_may_change.h"

#include "path_walk.h"

#include "host_core/ascii_case.h"
#include "host_core/path_form.h"
#include "host_core/path_split.h"

#include <windows.h>

#include <vector>

namespace {

const wchar_t* const Refused = L"Only administrators may change what this service runs, but ";

// Every file directly in `folder` is judged as a file: Windows' loader takes
// a DLL from the program's folder before its own, and reads the program's
// .manifest, .config and .local there. Subfolders hold the program's data
// (logs, caches): what the program itself loads from them is its own
// business, but for those named `localFolder` (worker.exe.local, the one the
// loader reads) or, when it is empty, every one: they are added to
// `folders`, to be judged as the program's folder.
void JudgeFiles(Walk& walk, const std::wstring& folder, const std::wstring& localFolder,
                std::vector<std::wstring>& folders)
{
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileExW(Openable(folder + L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                      nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (listing == INVALID_HANDLE_VALUE) {
        // A root has no "." entry: empty, it lists nothing at all.
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            walk.Why = L"what " + folder + L" holds cannot be told";
        }
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            WalkPath(walk, folder + name, Part::File, entry.dwFileAttributes);
        } else if (localFolder.empty() ? name != L"." && name != L".." : EqualFoldingAscii(name, localFolder)) {
            folders.push_back(folder + name);
        }
    } while (walk.Why.empty() && FindNextFileW(listing, &entry) != FALSE);
    // A listing cut short (a share gone away) leaves files unjudged.
    if (walk.Why.empty() && GetLastError() != ERROR_NO_MORE_FILES) {
        walk.Why = L"what " + folder + L" holds cannot be told";
    }
    FindClose(listing);
}

// The program may be copied in after /install; one that cannot be looked
// at counts as there.
bool IsThere(const std::wstring& path)
{
    return GetFileAttributesW(Openable(path).c_str()) != INVALID_FILE_ATTRIBUTES ||
           GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::wstring WhoElseMayChange(const std::wstring& modulePath, const std::wstring& programPath)
{
    Walk walk;
    // The folder of both files, through every link on the way, and all it
    // holds: the host, the program (which may be copied in after /install)
    // and whatever the program loads from there.
    const std::wstring folder = WalkPath(walk, FolderOf(modulePath), Part::Folder);
    std::vector<std::wstring> local;
    if (!folder.empty()) {
        JudgeFiles(walk, folder, programPath.substr(FolderOf(programPath).size()) + L".local", local);
    }
    // worker.exe.local, which can redirect every DLL the program loads (and
    // hold its side-by-side assemblies in folders of their own), is judged
    // as the folder itself, with all it holds.
    while (walk.Why.empty() && !local.empty()) {
        const std::wstring resolved = WalkPath(walk, local.back(), Part::Folder);
        local.pop_back();
        if (!resolved.empty()) {
            JudgeFiles(walk, resolved, std::wstring(), local);
        }
    }
    // And each file where Windows finds it, through whatever a walk by name
    // does not show (a drive letter defined for every session, say).
    for (const std::wstring* file : {&modulePath, &programPath}) {
        if (!walk.Why.empty() || (file == &programPath && !IsThere(programPath))) {
            continue;
        }
        const std::wstring resolved = WindowsPathOf(*file, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (resolved.empty()) {
            walk.Why = L"where " + *file + L" leads cannot be told";
        } else if (!EqualFoldingAscii(FolderOf(resolved), folder) &&
                   !WalkPath(walk, FolderOf(resolved), Part::Folder).empty()) {
            WalkPath(walk, resolved, Part::File);
        }
    }
    return walk.Why.empty() ? std::wstring() : Refused + walk.Why;
}
