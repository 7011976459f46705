#include "path_form.h"

#include "grown_text.h"

#include <windows.h>

namespace {

// GetLongPathNameW and GetShortPathNameW alike; empty when Windows fails.
std::wstring Converted(DWORD(WINAPI* convert)(LPCWSTR, LPWSTR, DWORD), const std::wstring& path)
{
    return GrownText(path.size() + 1, [&](wchar_t* buffer, DWORD size) { return convert(path.c_str(), buffer, size); });
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
    return GrownText(MAX_PATH,
                     [&](wchar_t* buffer, DWORD size) { return GetFinalPathNameByHandleW(file, buffer, size, flags); });
}

bool HasDevicePrefix(const std::wstring& path)
{
    return path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\??\\") == 0;
}

std::wstring WithoutDevicePrefix(const std::wstring& path)
{
    if (path.compare(1, 7, L"\\?\\UNC\\") == 0 || path.compare(1, 7, L"??\\UNC\\") == 0) {
        return L"\\\\" + path.substr(8);
    }
    return path.substr(4);
}

std::wstring Openable(const std::wstring& path)
{
    if (path.size() < MAX_PATH || HasDevicePrefix(path)) {
        return path;
    }
    return path.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
}

HANDLE OpenToQuery(const std::wstring& path, DWORD access, DWORD flags)
{
    return CreateFileW(Openable(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

std::wstring WindowsPathOf(const std::wstring& path, DWORD flags)
{
    HANDLE file = OpenToQuery(path, FILE_READ_ATTRIBUTES, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    const std::wstring final = FinalPathOf(file, flags);
    CloseHandle(file);
    return HasDevicePrefix(final) ? WithoutDevicePrefix(final) : std::wstring();
}
