#include "paths.h"

#include "grown_text.h"

namespace {

// GetLongPathNameW and GetShortPathNameW alike; empty when Windows fails.
std::wstring Converted(DWORD(WINAPI* convert)(LPCWSTR, LPWSTR, DWORD), const std::wstring& path)
{
    return GrownText(path.size() + 1, [&](wchar_t* buffer, DWORD size) { return convert(path.c_str(), buffer, size); });
}

}  // namespace

bool HasDriveLetter(const std::wstring& path)
{
    return path.size() >= 2 && path[1] == L':';
}

bool HasDevicePrefix(const std::wstring& path)
{
    return path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\??\\") == 0 ||
           path.compare(0, 4, L"\\\\.\\") == 0;
}

std::wstring WithoutDevicePrefix(const std::wstring& path)
{
    if (path.compare(3, 5, L"\\UNC\\") == 0) {
        return L"\\\\" + path.substr(8);
    }
    return path.substr(4);
}

std::size_t RootLength(const std::wstring& path)
{
    if (HasDriveLetter(path)) {
        return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 0;
    }
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) {
        return 0;
    }
    // "\\server\share\" or "\\?\Volume{...}\": the second separator after
    // the first two ends it.
    const std::size_t first = path.find_first_of(Separators, 2);
    const std::size_t second = first == std::wstring::npos ? first : path.find_first_of(Separators, first + 1);
    if (first == 2 || second == first + 1 || second == std::wstring::npos) {
        return 0;
    }
    return second + 1;
}

std::wstring PlainPath(const std::wstring& path)
{
    std::wstring plain = path;
    for (wchar_t& unit : plain) {
        unit = IsSeparator(unit) ? L'\\' : unit;
    }
    // A volume without a drive letter has no other name.
    if (HasDevicePrefix(plain)) {
        plain = plain.compare(4, 7, L"Volume{") == 0 ? L"\\\\?\\" + plain.substr(4) : WithoutDevicePrefix(plain);
    }
    // "." and ".." taken away as Windows does when it parses a path.
    const std::size_t root = RootLength(plain);
    if (root == 0) {
        return plain;
    }
    std::wstring walked = plain.substr(0, root);
    std::size_t start = root;
    while (start < plain.size()) {
        std::size_t end = plain.find(L'\\', start);
        end = end == std::wstring::npos ? plain.size() : end;
        const std::wstring name = plain.substr(start, end - start);
        if (name == L"..") {
            walked = walked.size() > root ? FolderOf(walked.substr(0, walked.size() - 1)) : walked;
        } else if (!name.empty() && name != L".") {
            walked += name + (end < plain.size() ? L"\\" : L"");
        }
        start = end + 1;
    }
    return walked;
}

std::wstring ExactPath(const std::wstring& path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        return path;
    }
    std::wstring plain = PlainPath(path);
    // A volume's own name keeps its prefix.
    if (plain.compare(0, 4, L"\\\\?\\") == 0) {
        return plain;
    }
    if (RootLength(plain) == 0) {
        return path;
    }
    return plain.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + plain.substr(2) : L"\\\\?\\" + plain;
}

PathParts SplitPath(const std::wstring& path)
{
    PathParts parts;
    std::wstring::size_type start = 0;
    if (HasDriveLetter(path)) {
        parts.Drive = path.substr(0, 2);
        start = 2;
    }
    const std::wstring::size_type lastSeparator = path.find_last_of(Separators);
    std::wstring::size_type nameStart = start;
    if (lastSeparator != std::wstring::npos && lastSeparator >= start) {
        nameStart = lastSeparator + 1;
        parts.Directory = path.substr(start, nameStart - start);
    }
    std::wstring::size_type lastDot = path.find_last_of(L'.');
    if (lastDot == std::wstring::npos || lastDot < nameStart) {
        lastDot = path.size();
    }
    parts.Stem = path.substr(nameStart, lastDot - nameStart);
    parts.Extension = path.substr(lastDot);
    return parts;
}

std::wstring FolderOf(const std::wstring& path)
{
    const PathParts parts = SplitPath(path);
    return parts.Drive + parts.Directory;
}

std::wstring QuotedIfBlank(const std::wstring& path)
{
    if (path.find_first_of(L" \t") == std::wstring::npos) {
        return path;
    }
    return L"\"" + path + L"\"";
}

bool FitsACommandLine(const std::wstring& path)
{
    return path.size() < MAX_PATH;
}

std::wstring LongFormOf(const std::wstring& path)
{
    const std::wstring longForm = Converted(GetLongPathNameW, path);
    return longForm.empty() ? path : longForm;
}

std::wstring ShortFormOf(const std::wstring& path)
{
    return Converted(GetShortPathNameW, path);
}

HANDLE OpenToQuery(const std::wstring& path, DWORD access, DWORD flags)
{
    return CreateFileW(ExactPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

std::wstring FinalPathOf(HANDLE file, DWORD flags)
{
    const std::wstring final = GrownText(
        MAX_PATH, [&](wchar_t* buffer, DWORD size) { return GetFinalPathNameByHandleW(file, buffer, size, flags); });
    return HasDevicePrefix(final) ? WithoutDevicePrefix(final) : std::wstring();
}

std::wstring WindowsPathOf(const std::wstring& path, DWORD flags)
{
    // A folder opens only with backup semantics, which ask for no privilege
    // when nothing but attributes is read.
    HANDLE file = OpenToQuery(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
    if (file == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    std::wstring final = FinalPathOf(file, flags);
    CloseHandle(file);
    return final;
}
