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

std::wstring FinalPathOf(HANDLE file, DWORD flags)
{
    std::wstring final(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(file, &final[0], static_cast<DWORD>(final.size()), flags);
        if (length < final.size()) {
            final.resize(length);
            return final;
        }
        final.assign(length, L'\0');  // the size it needs, terminator included
    }
}

std::wstring WithoutDevicePrefix(const std::wstring& path)
{
    if (path.compare(1, 7, L"\\?\\UNC\\") == 0 || path.compare(1, 7, L"??\\UNC\\") == 0) {
        return L"\\\\" + path.substr(8);
    }
    return path.substr(4);
}

std::wstring WindowsPathOf(const std::wstring& path, DWORD flags)
{
    HANDLE file =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    const std::wstring final = FinalPathOf(file, flags);
    CloseHandle(file);
    return final.compare(0, 4, L"\\\\?\\") == 0 ? WithoutDevicePrefix(final) : std::wstring();
}
