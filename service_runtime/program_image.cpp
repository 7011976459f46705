#include "program_image.h"

#include "host_core/paths.h"

#include <windows.h>

#include <cstring>

bool IsConsoleProgram(const std::wstring& path)
{
    HANDLE file = OpenToQuery(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Linkers put an image's headers in its first page. The DOS header says
    // where the PE header begins (at 0x3C); the subsystem lies 0x5C into
    // that, in 32-bit and 64-bit images alike.
    BYTE headers[4096];
    DWORD read = 0;
    const bool readable = ReadFile(file, headers, sizeof headers, &read, nullptr) != FALSE && read >= 0x40 &&
                          headers[0] == 'M' && headers[1] == 'Z';
    CloseHandle(file);
    DWORD peHeader = 0;
    if (readable) {
        std::memcpy(&peHeader, headers + 0x3C, sizeof peHeader);
    }
    WORD subsystem = 0;
    if (readable && read >= 0x5E && peHeader <= read - 0x5E && std::memcmp(headers + peHeader, "PE\0\0", 4) == 0) {
        std::memcpy(&subsystem, headers + peHeader + 0x5C, sizeof subsystem);
    }
    return subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}
