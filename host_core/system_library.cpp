#include "system_library.h"

HMODULE LoadSystemLibrary(const wchar_t* library)
{
    // Never freed: a later call finds the module already loaded, and USER32
    // must not go away under a thread that has used it.
    return LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

FARPROC SystemLibraryFunction(const wchar_t* library, const char* name)
{
    HMODULE module = LoadSystemLibrary(library);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}
