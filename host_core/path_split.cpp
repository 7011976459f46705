#include "path_split.h"

PathParts SplitPath(const std::wstring& path)
{
    PathParts parts;
    std::wstring::size_type start = 0;
    if (path.size() >= 2 && path[1] == L':') {
        parts.Drive = path.substr(0, 2);
        start = 2;
    }

    const std::wstring::size_type lastSeparator = path.find_last_of(Separators);
    std::wstring::size_type nameStart = start;
    if (lastSeparator != std::wstring::npos && lastSeparator >= start) {
        nameStart = lastSeparator + 1;
        parts.Directory = path.substr(start, nameStart - start);
    }

    std::wstring::size_type lastDot = path.find_last_of(L'.');
    if (lastDot == std::wstring::npos || lastDot < nameStart) {
        lastDot = path.size();
    }
    parts.Stem = path.substr(nameStart, lastDot - nameStart);
    parts.Extension = path.substr(lastDot);
    return parts;
}

std::wstring FolderOf(const std::wstring& path)
{
    const PathParts parts = SplitPath(path);
    return parts.Drive + parts.Directory;
}
