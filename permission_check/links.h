// Where a junction, symbolic link or mount point leads, read from its
// reparse data.
#pragma once

#include <windows.h>

#include <string>

struct LinkTarget {
    bool IsLink;        // a name surrogate: it names another file or folder
    std::wstring Path;  // where it leads, as a full path; empty when that cannot be read
};

// For the object at `path`, opened on `object` as itself (with
// FILE_FLAG_OPEN_REPARSE_POINT), whose attributes say it is a reparse point.
// Reparse points that name nothing else (deduplicated files, cloud files,
// container layers) are not links.
LinkTarget ReadLink(HANDLE object, const std::wstring& path);
