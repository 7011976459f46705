// Whether two paths name the same file, however each is written.
#pragma once

#include <string>

// The same file in the same folder, told by the volume and file id of each
// (case, quotes, short or long forms, hard links): a hard link of the host
// elsewhere is another program, whose own program beside it would be another
// too.
bool IsSameFileInSameFolder(const std::wstring& first, const std::wstring& second);
