// A path as a command line must carry it.
#pragma once

#include <string>

// The path in double quotes when it holds a blank or a tab, else unchanged.
// Unquoted, such a path lets Windows try each blank-separated prefix of it as
// a program ("C:\Program.exe" before "C:\Program Files\...").
std::wstring QuotedIfBlank(const std::wstring& path);

// Whether a command line can name the program at `path`: CreateProcessW
// reads at most MAX_PATH units of a program's name from one, long paths
// enabled or not, and the service manager runs a binary path the same way.
bool FitsACommandLine(const std::wstring& path);
