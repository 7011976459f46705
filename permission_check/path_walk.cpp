#include "path_walk.h"

#include "host_core/event_text.h"
#include "host_core/paths.h"

#include <aclapi.h>

namespace {

// Windows itself follows up to 63 reparse points in one path; a chain of
// links longer than any administrator makes is refused.
const int MostLinks = 8;

// Judges the object at `path` (no trailing separator, but on a root) as
// itself: a link as a link, whoever may set where it leads, and anything
// else in its role. `listedIn`, when given, is where Windows finds the folder
// it was listed in; found in any other, it is followed there as a link would
// be. Returns what the walk knows of it; with walk.Why set when it refuses.
const Walk::SeenObject* Visit(Walk& walk, const std::wstring& path, Part role, bool isRoot, DWORD attributes,
                              const std::wstring& listedIn)
{
    // Remembered by the name exactly as written: in a case-sensitive folder,
    // names that differ only in case are two files.
    for (const Walk::SeenObject& seen : walk.Seen) {
        if ((seen.AsFolder || role != Part::Folder) && seen.Path == path) {
            return &seen;
        }
    }
    const bool asFolder = role != Part::File && !isRoot;
    const std::wstring named = path + (asFolder ? L"\\" : L"");
    // Asked by path: Wine shows a folder symlink as a reparse point only there.
    if (!isRoot && attributes == INVALID_FILE_ATTRIBUTES) {
        attributes = GetFileAttributesW(ExactPath(path).c_str());
    }
    HANDLE object = attributes == INVALID_FILE_ATTRIBUTES && !isRoot
                        ? INVALID_HANDLE_VALUE
                        : OpenToQuery(path, READ_CONTROL, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    LinkTarget link = {false, std::wstring()};
    bool elsewhere = false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = ERROR_FILE_NOT_FOUND;
    if (object != INVALID_HANDLE_VALUE) {
        if (!isRoot && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            link = ReadLink(object, path);
        } else if (!listedIn.empty()) {
            // A link that is no reparse point (a Unix symbolic link under
            // Wine) shows only here. What is judged is the object opened;
            // one elsewhere in the same folder is judged there itself.
            const std::wstring lies = FinalPathOf(object, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            elsewhere = FolderOf(lies) != listedIn;
            link = {elsewhere, lies};
        }
        error = GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                nullptr, &dacl, nullptr, &descriptor);
        CloseHandle(object);
    }
    if (error != ERROR_SUCCESS) {
        walk.Why = L"who may change " + named + L" cannot be told";
    } else if (link.IsLink && link.Path.empty()) {
        walk.Why = L"where " + path + L" leads cannot be told";
    } else {
        const bool asLink = link.IsLink && !elsewhere;
        walk.Why =
            JudgeSecurity({asLink ? path : named, asLink ? Part::Link : role, isRoot}, owner, dacl, walk.Accounts);
    }
    LocalFree(descriptor);
    walk.Seen.push_back({path, role == Part::Folder, link});
    return walk.Why.empty() ? &walk.Seen.back() : nullptr;
}

}  // namespace

std::wstring WalkPath(Walk& walk, const std::wstring& start, Part role, DWORD attributes, std::wstring listedIn)
{
    std::wstring path = PlainPath(start);
    for (int links = 0;; ++links) {
        if (links > MostLinks) {
            walk.Why = L"where " + PlainPath(start) + L" leads cannot be told: it goes through more than " +
                       DecimalText(MostLinks) + L" links";
            return std::wstring();
        }
        const std::size_t root = RootLength(path);
        if (root == 0) {
            walk.Why = L"where " + path + L" leads cannot be told";
            return std::wstring();
        }
        while (path.size() > root && path.back() == L'\\') {
            path.pop_back();
        }
        std::wstring current = path.substr(0, root);
        if (Visit(walk, current, path.size() == root ? role : Part::FolderAbove, true, attributes, std::wstring()) ==
            nullptr) {
            return std::wstring();
        }
        // Each name in turn; a link sends the rest of the path on from where
        // it leads.
        std::size_t next = root;
        const Walk::SeenObject* seen = nullptr;
        while (next < path.size()) {
            const std::size_t end = path.find(L'\\', next) == std::wstring::npos ? path.size() : path.find(L'\\', next);
            current = path.substr(0, end);
            const bool last = end == path.size();
            seen = Visit(walk, current, last ? role : Part::FolderAbove, false,
                         last ? attributes : INVALID_FILE_ATTRIBUTES, last ? listedIn : std::wstring());
            if (seen == nullptr) {
                return std::wstring();
            }
            if (seen->Link.IsLink) {
                break;
            }
            next = end + 1;
        }
        if (seen == nullptr || !seen->Link.IsLink) {
            return path + (role == Part::File || path.size() == root ? L"" : L"\\");
        }
        const std::wstring rest = current.size() < path.size() ? path.substr(current.size() + 1) : std::wstring();
        path = PlainPath(seen->Link.Path + (rest.empty() ? L"" : L"\\" + rest));
        attributes = INVALID_FILE_ATTRIBUTES;
        listedIn.clear();
    }
}
