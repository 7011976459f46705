// Windows' own DLLs that the host needs only now and then (USER32 for the
// program's console, a quit message or a box, WTSAPI32 for a message to the
// console session), loaded when first needed and from the system directory alone: a
// DLL of the same name dropped beside the host never runs.
#pragma once

#include <windows.h>

// The DLL, or null when it cannot be loaded. It stays loaded for the rest of
// the process, as an import would.
HMODULE LoadSystemLibrary(const wchar_t* library);

// The function's address, or null when its DLL or the function cannot be
// loaded. The DLL stays loaded for the rest of the process, as an import
// would.
FARPROC SystemLibraryFunction(const wchar_t* library, const char* name);

// The same, as the function's own type: LoadSystemFunction<decltype(&MessageBoxW)>(L"user32.dll", "MessageBoxW").
template <typename Function> Function LoadSystemFunction(const wchar_t* library, const char* name)
{
    // Through a plain function type, which every compiler lets us convert
    // to any other without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(SystemLibraryFunction(library, name)));
}
