// Paths: how the host reads a path's text, and what Windows says of the file
// or folder one names. Each question has its one answer here.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// Backslash and slash both separate the components of a path.
constexpr const wchar_t* Separators = L"\\/";
inline bool IsSeparator(wchar_t unit)
{
    return unit == L'\\' || unit == L'/';
}

// "C:": a unit and a colon, as Windows' own parsing and the C runtime read a
// drive (neither asks for a letter).
bool HasDriveLetter(const std::wstring& path);

// Whether the path begins with "\\?\" or "\??\", the prefixes with which
// Windows writes a path as it is, unparsed, or with "\\.\" (the same path
// through the device namespace).
bool HasDevicePrefix(const std::wstring& path);
// A UNC path for what Windows writes as "\??\UNC\server\share" or
// "\\?\UNC\server\share", a plain one for "\??\C:\Real" or "\\?\C:\Real"
// (and the same with "\\.\").
std::wstring WithoutDevicePrefix(const std::wstring& path);

// The length of "C:\", "\\server\share\" or "\\?\Volume{...}\", with which
// a whole path begins; 0 when it begins with none of them.
std::size_t RootLength(const std::wstring& path);

// The path in the form the host compares and opens: backslashes, no device
// prefix but on a volume's own name ("\\?\Volume{...}\"), and no "." or ".."
// components. Names are kept as they are, a trailing dot or
// blank included.
std::wstring PlainPath(const std::wstring& path);

// The path as CreateFileW and the like open it exactly as it is spelled:
// once whole, with the "\\?\" prefix, whatever its length. Without it
// Windows strips a trailing dot or blank from a name ("helper.dll." opens
// helper.dll) and refuses a path of MAX_PATH units or more. A path that has
// the prefix already is taken as it is written; so is a relative one.
std::wstring ExactPath(const std::wstring& path);

// Path splitting with the C runtime's _wsplitpath_s rules, for paths of any
// length (the runtime's version is bound to fixed buffers).
struct PathParts {
    std::wstring Drive;      // "C:" (see HasDriveLetter), else empty
    std::wstring Directory;  // up to and including the last '\' or '/'
    std::wstring Stem;       // file name up to its last dot
    std::wstring Extension;  // from the last dot of the file name, dot included
};
PathParts SplitPath(const std::wstring& path);

// The folder part of a path, with its last separator: "C:" alone would name
// the current folder on drive C:, not its root.
std::wstring FolderOf(const std::wstring& path);

// The path in double quotes when it holds a blank or a tab, else unchanged.
// Unquoted, such a path lets Windows try each blank-separated prefix of it as
// a program ("C:\Program.exe" before "C:\Program Files\...").
std::wstring QuotedIfBlank(const std::wstring& path);

// Whether a command line can name the program at `path`: CreateProcessW
// reads at most MAX_PATH units of a program's name from one, long paths
// enabled or not, and the service manager runs a binary path the same way.
bool FitsACommandLine(const std::wstring& path);

// Every short component in its long form: started as C:\TOOLS\LONGPR~1.EXE,
// the host is still longprogramSvc. The path as it is when Windows cannot
// tell.
std::wstring LongFormOf(const std::wstring& path);
// Every component in its short form, where it has one; empty when Windows
// cannot tell.
std::wstring ShortFormOf(const std::wstring& path);

// The file or folder at `path` opened to read its attributes or security
// (`access`), shared with everyone; INVALID_HANDLE_VALUE when it cannot be.
HANDLE OpenToQuery(const std::wstring& path, DWORD access, DWORD flags);

// Where Windows finds an open file or folder, as GetFinalPathNameByHandleW
// gives it with `flags`, without its "\\?\" prefix, however long; empty
// when it gives none.
std::wstring FinalPathOf(HANDLE file, DWORD flags);
// The same for the file or folder at `path`; empty when it cannot be opened.
std::wstring WindowsPathOf(const std::wstring& path, DWORD flags);
