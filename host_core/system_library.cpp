#include "system_library.h"

FARPROC SystemLibraryFunction(const wchar_t* library, const char* name)
{
    // Never freed: a later call finds the module already loaded, and USER32
    // must not go away under a thread that has used it.
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}
