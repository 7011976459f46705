#include "path_form.h"

#include <windows.h>

namespace {

// GetLongPathNameW and GetShortPathNameW alike: grown to the size asked for
// (terminator included) until the path fits; empty when Windows fails.
std::wstring Converted(DWORD(WINAPI* convert)(LPCWSTR, LPWSTR, DWORD), const std::wstring& path)
{
    std::wstring buffer(path.size() + 1, L'\0');
    for (;;) {
        const DWORD length = convert(path.c_str(), &buffer[0], static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(length, L'\0');
    }
}

}  // namespace

std::wstring LongFormOf(const std::wstring& path)
{
    const std::wstring longForm = Converted(GetLongPathNameW, path);
    return longForm.empty() ? path : longForm;
}

std::wstring ShortFormOf(const std::wstring& path)
{
    return Converted(GetShortPathNameW, path);
}
