#include "quoted_path.h"

std::wstring QuotedIfBlank(const std::wstring& path)
{
    if (path.find_first_of(L" \t") == std::wstring::npos) {
        return path;
    }
    return L"\"" + path + L"\"";
}

std::wstring UnquotedProgram(const std::wstring& binaryPath)
{
    if (binaryPath.empty() || binaryPath[0] != L'"') {
        return binaryPath;
    }
    const std::wstring::size_type closing = binaryPath.find(L'"', 1);
    return binaryPath.substr(1, closing == std::wstring::npos ? std::wstring::npos : closing - 1);
}
