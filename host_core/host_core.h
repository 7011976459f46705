// The host's process-wide state and the entry's building blocks.
#pragma once

#include <windows.h>

#include <string>

// Owned by WinMain for the whole run; the service's binary path.
struct HostIdentity {
    std::wstring ModulePath;
};

// Set once by DeriveHostIdentity, then only read, from any thread.
extern std::wstring ServiceName;            // file stem: service, display and event source name
extern std::wstring ChildProgramPath;       // the program beside the host, unquoted
extern std::wstring ChildCommandLine;       // writable: CreateProcessW may change it in place
extern std::wstring ChildWorkingDirectory;  // drive and directory, trailing separator kept

// Reported to the service manager; the runtime guards it once threads exist.
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE StatusHandle;

void DeriveHostIdentity(HostIdentity& identity);

// Reports one information event under ServiceName. The format knows "%s"
// (a wide string) and "%%"; texts longer than an event holds go out as
// consecutive events.
void LogEvent(const wchar_t* format, ...);

// Hands the process to the service manager's control dispatcher for the
// host `identity`, which lives until it returns. Returns the process's exit
// code: ERROR_SUCCESS after a service run, else the dispatcher's error.
DWORD RunAsService(const HostIdentity& identity);
