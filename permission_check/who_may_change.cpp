#include "who_may_change.h"

#include "path_walk.h"

#include "host_core/paths.h"
#include "host_core/texts.h"

#include <windows.h>

#include <vector>

namespace {

// Every file directly in `folder` is judged as a file, where Windows really
// finds it: Windows' loader takes a DLL from the program's folder before its
// own, and reads the program's .manifest, .config and .local there.
// Subfolders hold the program's data (logs, caches): what the program itself
// loads from them is its own business, but for those named `localFolder`
// (worker.exe.local, the one the loader reads) or, when it is empty, every
// one: they are added to `folders`, to be judged as the program's folder.
void JudgeFiles(Walk& walk, const std::wstring& folder, const std::wstring& localFolder,
                std::vector<std::wstring>& folders)
{
    // Where Windows finds the folder, which a walk by name may not show (a
    // drive letter defined for every session, say): judged there too.
    const bool root = folder.size() == RootLength(folder);
    std::wstring lies =
        WindowsPathOf(root ? folder : folder.substr(0, folder.size() - 1), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (lies.empty()) {
        walk.Why = L"where " + folder + L" leads cannot be told";
        return;
    }
    if (lies.back() != L'\\') {
        lies += L'\\';
    }
    if (lies != folder && WalkPath(walk, lies, Part::Folder).empty()) {
        return;
    }
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileExW(ExactPath(folder + L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
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
            WalkPath(walk, folder + name, Part::File, entry.dwFileAttributes, lies);
        } else if (localFolder.empty()
                       ? name != L"." && name != L".."
                       : CompareStringOrdinal(name.c_str(), -1, localFolder.c_str(), -1, TRUE) == CSTR_EQUAL) {
            // Every case of the name, as Windows folds file names (ÜBER.EXE.LOCAL
            // is über.exe's); in a case-sensitive folder, every one of them.
            folders.push_back(folder + name);
        }
    } while (walk.Why.empty() && FindNextFileW(listing, &entry) != FALSE);
    // A listing cut short (a share gone away) leaves files unjudged.
    if (walk.Why.empty() && GetLastError() != ERROR_NO_MORE_FILES) {
        walk.Why = L"what " + folder + L" holds cannot be told";
    }
    FindClose(listing);
}

}  // namespace

std::wstring WhyOthersMayChange(const std::wstring& modulePath, const std::wstring& programPath)
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
    return walk.Why.empty() ? std::wstring() : Refused + walk.Why;
}
