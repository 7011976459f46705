// Path splitting with the C runtime's _wsplitpath_s rules, for paths of any
// length (the runtime's version is bound to fixed buffers).
#pragma once

#include <string>

struct PathParts {
    std::wstring Drive;      // "C:" when the second unit is a colon, else empty
    std::wstring Directory;  // up to and including the last '\' or '/'
    std::wstring Stem;       // file name up to its last dot
    std::wstring Extension;  // from the last dot of the file name, dot included
};

PathParts SplitPath(const std::wstring& path);

// Backslash and slash both separate the components of a path.
constexpr const wchar_t* Separators = L"\\/";
inline bool IsSeparator(wchar_t unit)
{
    return unit == L'\\' || unit == L'/';
}

// The folder part of a path, with its last separator: "C:" alone would name
// the current folder on drive C:, not its root.
std::wstring FolderOf(const std::wstring& path);
