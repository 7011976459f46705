// Who may change what the service runs. The service runs as LocalSystem, so
// anyone who can replace its files, or plant a DLL beside them, owns the
// machine.
#pragma once

#include <string>

// Empty when only trusted accounts may change what a service of the host at
// `hostPath` runs: LocalSystem, Administrators, TrustedInstaller, the
// service's own account (when this process is the service), and any user
// account that is a member of Administrators. What is looked at: the host's
// file, the program's file (when it exists), their folder and every folder
// above it up to the root of its volume, both along the path as written (a
// link judged as itself) and along the path Windows resolves each file to.
// Otherwise one line that says which account may do what to which of them,
// or what could not be told. Files already in the folder are not looked at
// one by one: only a trusted account could have put them there.
std::wstring WhoElseMayChange(const std::wstring& hostPath, const std::wstring& programPath);
