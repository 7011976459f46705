// Prints the short (8.3) form of a path, as GetShortPathNameW gives it.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: short_path PATH\n", stderr);
        return 1;
    }
    std::wstring path(32768, L'\0');
    const DWORD length = GetShortPathNameW(argv[1], &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    path.resize(length);
    std::printf("%ls\n", path.c_str());
    return 0;
}
