// What stands in the service manager under the host's name, and whether it
// is this very host's.
#pragma once

#include <windows.h>

#include <string>

// The program a service's binary path names, as the service manager runs
// it: what stands between its first pair of quotes; unquoted, what
// CreateProcessW would take from it: the first blank-separated prefix,
// shortest first, that names an existing file (".exe" added to a name
// without an extension), else the whole text.
std::wstring ProgramOfBinaryPath(const std::wstring& binaryPath);

enum class Record { Absent, OfThisHost, OfAnotherProgram, BeingDeleted, Unreadable };

// What stands under ServiceName, looked up through `manager`. The service is
// opened with `access`; with SERVICE_CHANGE_CONFIG in it, a record is first
// checked for a deletion under way. Only a service that does not exist is
// absent; one that would not open is unreadable, and GetLastError then
// gives why. `recorded`, when given, gets the path the record runs when it
// is this host's.
Record FindRecord(SC_HANDLE manager, const std::wstring& modulePath, DWORD access, std::wstring* recorded = nullptr);
