// A path in its long or its short (8.3) form, as the file system gives it.
#pragma once

#include <windows.h>

#include <string>

// Every short component in its long form: started as C:\TOOLS\LONGPR~1.EXE,
// the host is still longprogramSvc. The path as it is when Windows cannot
// tell.
std::wstring LongFormOf(const std::wstring& path);
// Every component in its short form, where it has one; empty when Windows
// cannot tell.
std::wstring ShortFormOf(const std::wstring& path);

// The path Windows gives for an open file (GetFinalPathNameByHandleW with
// `flags`), however long; empty when it gives none.
std::wstring FinalPathOf(HANDLE file, DWORD flags);

// Where Windows finds the file or folder at `path`, as FinalPathOf gives it
// with `flags`, without its "\\?\" prefix; empty when it cannot be opened.
std::wstring WindowsPathOf(const std::wstring& path, DWORD flags);

// The path as CreateFileW and the like take it whatever its length: one of
// MAX_PATH units or more gets the "\\?\" prefix, which lifts Windows' limit
// (and its parsing of the path, which a full path without "." or ".."
// components does not need).
std::wstring Openable(const std::wstring& path);

// The file or folder at `path` opened to read its attributes or security
// (`access`), shared with everyone; INVALID_HANDLE_VALUE when it cannot be.
HANDLE OpenToQuery(const std::wstring& path, DWORD access, DWORD flags);

// Whether the path begins with "\\?\" or "\??\", the prefixes with which
// Windows writes a path as it is, unparsed.
bool HasDevicePrefix(const std::wstring& path);

// A UNC path for what Windows writes as "\??\UNC\server\share" or
// "\\?\UNC\server\share", a plain one for "\??\C:\Real" or "\\?\C:\Real".
std::wstring WithoutDevicePrefix(const std::wstring& path);
