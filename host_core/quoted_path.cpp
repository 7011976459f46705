#include "quoted_path.h"

std::wstring QuotedIfBlank(const std::wstring& path)
{
    if (path.find_first_of(L" \t") == std::wstring::npos) {
        return path;
    }
    return L"\"" + path + L"\"";
}
