// The two installer actions: the service record of the host under its own
// name, made and removed in the service manager.
#pragma once

#include <windows.h>

#include <string>

// Each reads ServiceName and returns the process's exit code: ERROR_SUCCESS,
// or the Win32 error of what failed (a deployment tool reads nothing else).
// A failure is also told to whoever can see it: a box, or where nobody sees
// one, standard error and the event log.

// Records the host at `modulePath` as a demand-start service run as
// LocalSystem, unless this very file is recorded already, or others than
// administrators may change what it would run.
DWORD InstallService(const std::wstring& modulePath);

// Stops and deletes the record of the host at `modulePath`; a record of the
// same name that runs another program is left alone.
DWORD UninstallService(const std::wstring& modulePath);
