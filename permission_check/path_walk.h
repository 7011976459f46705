// The objects a path brings in: its root, every folder on the way, the
// object at its end, and every link on the way, each followed to where it
// leads.
#pragma once

#include "descriptor.h"
#include "links.h"

#include <windows.h>

#include <string>
#include <vector>

// One check: what it has judged so far, and why it refuses, if it does.
struct Walk {
    struct SeenObject {
        std::wstring Path;  // as opened, without a trailing separator but on a root
        bool AsFolder;      // judged as the program's folder, which is stricter than a folder above
        LinkTarget Link;
    };
    ::Accounts Accounts;
    std::vector<SeenObject> Seen;
    std::wstring Why;
};

// Judges every object `start` brings in, the one at its end as `role` (File
// or Folder). `attributes`, when known, are those of the object at the end;
// `listedIn`, for a file listed in a folder, is where Windows finds that
// folder (FinalPathOf with FILE_NAME_NORMALIZED, a trailing separator): a
// file Windows finds in another is judged there as well.
// Returns where the path leads through every link, a folder with its
// trailing separator; empty once the walk refuses, with walk.Why set.
std::wstring WalkPath(Walk& walk, const std::wstring& start, Part role, DWORD attributes = INVALID_FILE_ATTRIBUTES,
                      std::wstring listedIn = std::wstring());
