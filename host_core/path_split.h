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
