// Who may change what the service runs. The service runs as LocalSystem, so
// anyone who can replace its files, or plant a DLL beside them, owns the
// machine.
#pragma once

#include <string>

// Empty when only trusted accounts may change what a service of the host at
// `modulePath` runs (see accounts.h for who is trusted). What is judged: the
// host's folder, which is the program's, every folder above it up to the
// root of its volume or share, every file in it (the host, the program when
// it is there, and the DLLs and files Windows' loader takes from there), its
// subfolder <program>.local with all it holds, and every junction, symbolic
// link or mount point on the way to any of them, each followed to where it
// leads, and each file also where Windows finds it. Otherwise one line that
// says which account may do what to which of them, or what could not be
// told.
std::wstring WhyOthersMayChange(const std::wstring& modulePath, const std::wstring& programPath);
