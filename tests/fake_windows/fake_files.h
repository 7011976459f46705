// The fake's files and paths: the files on disk, their short forms, the
// drives of the logon session, and reparse points.
#pragma once

#include "fake_world.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

struct FilesPart {
    std::wstring modulePath = L"C:\\Apps\\notepadSvc.exe";
    std::map<std::wstring, int> ids;                 // PathKey -> file index
    std::map<std::wstring, std::wstring> names;      // lower-case path -> the path as added
    std::map<std::wstring, int> folderIds;           // lower-case folder path -> its index
    std::map<std::wstring, std::wstring> longPaths;  // lower-case short path -> long path
    std::map<std::wstring, std::wstring> drives;     // lower-case "z:" -> what the session's letter stands for
    struct Reparse {
        DWORD tag;
        std::wstring name;
        DWORD flags;
    };
    std::map<std::wstring, Reparse> reparsePoints;  // lower-case path, no trailing separator
    std::map<std::uintptr_t, std::vector<WIN32_FIND_DATAW>> listings;
    std::set<std::wstring> caseSensitive;  // lower-case folders whose names keep their case
};

// A path folded to lower case, but for a name in a case-sensitive folder,
// kept as written. The caller holds the lock.
std::wstring PathKey(const std::wstring& path);
// The caller holds the lock.
void AddFileLocked(const std::wstring& path);
std::wstring WithoutTrailingSeparators(std::wstring path);

}  // namespace fake
