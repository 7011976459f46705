#include "quoted_path.h"

#include <windows.h>

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
