// Cross-checks SplitPath (host_core/paths.cpp) against the C runtime's
// _wsplitpath_s on many generated paths, all shorter than 260 units so that
// the runtime's 260-unit buffers hold every part.
//
//   split_path_check.exe [COUNT [SEED]]
//
// Prints each mismatch and a closing count line; exit code 0 when SplitPath
// agreed on every path the runtime accepted, 1 on any mismatch, 2 when fewer
// than 2000 paths could be compared.
#include "host_core/paths.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

const std::size_t BufferUnits = 260;
const std::size_t LeastCompared = 2000;

// splitmix64: small, fixed, and the same on every platform.
struct Random {
    uint64_t state;
    uint64_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t Below(std::size_t bound) { return static_cast<std::size_t>(Next() % bound); }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    template <typename T, std::size_t N> const T& Pick(const T (&items)[N]) { return items[Below(N)]; }
};

// Paths written out by hand: the corners the generator might reach rarely.
const wchar_t* const FixedPaths[] = {
    L"",
    L"C:",
    L"c:",
    L"C:\\",
    L"C:/",
    L"\\",
    L"/",
    L".",
    L"..",
    L"...",
    L"C:.",
    L"C:..",
    L"C:file.txt",
    L"C:\\file.txt",
    L"C:\\dir\\",
    L"C:\\dir/",
    L"C:\\dir.d\\file",
    L"C:\\dir.d\\",
    L"a:b:c",
    L":",
    L"::",
    L":\\",
    L"\\:",
    L"/:",
    L".:",
    L" :",
    L"a:",
    L"1:x.y",
    L"C:\\a:b\\c:d.e",
    L"\\\\server\\share\\file.ext",
    L"//server/share/",
    L"\\\\?\\C:\\x.y",
    L"\\\\.\\pipe\\name",
    L".ext",
    L"dir\\.ext",
    L"dir\\.",
    L"dir\\..",
    L"name.",
    L"x.y.z",
    L"x..y",
    L"a.b\\c",
    L"C:\\notepadSvc.exe",
    L"C:\\e2e\\my.tool.svc.exe",
    L"notepadSvc.exe",
    L"my.tool.svc.exe",
    L" ",
    L"  .  ",
    L"C:\\ \\ . ",
    L"\t.\t",
    L"C:\\Program Files\\app\\app Svc.exe",
    L"\u4e2d\u6587\\\u6587\u4ef6.\u6269\u5c55",
    L"C:\\\u65e5\u672c\\\u8a9e.exe",
    L"\U0001F600.\U0001F600",
    L"C:\\\U0001F600\\\U0001F600\U0001F600",
    L"\xD83D",
    L"\xDE00.\xD83D",
    L"\xD83D:",
    L"\xD83D\xDE00:",
    L"\x00e9:\\caf\x00e9.txt",
};

const wchar_t* const Drives[] = {
    L"C:",
    L"c:",
    L"Z:",
    L"1:",
    L":",
    L"::",
    L".:",
    L" :",
    L"\\:",
    L"/:",
    L"\u4e2d:",
    L"\xD83D:",
    L"\\\\server\\share",
    L"//server/share",
    L"\\\\?\\C:",
    L"\\\\.\\",
};

const wchar_t* const Segments[] = {
    L"",
    L".",
    L"..",
    L"...",
    L"dir",
    L"a.b",
    L".hidden",
    L"name.",
    L"x y",
    L" ",
    L"  ",
    L"\t",
    L"Program Files",
    L"a:b",
    L":",
    L"C:",
    L"\u4e2d\u6587",
    L"\u65e5\u672c.\u8a9e",
    L"caf\x00e9",
    L"\U0001F600",
    L"\U0001F600.\U0001F601",
    L"\xD83D",
    L"\xDE00",
    L"v1.0.0.2",
    L"e2e",
    L"notepadSvc",
};

const wchar_t* const Names[] = {
    L"",
    L"file",
    L"file.txt",
    L"file.tar.gz",
    L".hidden",
    L".ext.",
    L"name.",
    L"a.b.c",
    L".",
    L"..",
    L"...",
    L" x ",
    L"x y.z w",
    L"notepadSvc.exe",
    L"my.tool.svc.exe",
    L"\u4e2d\u6587.\u6587\u4ef6",
    L"\U0001F600.\U0001F600",
    L"colon:x",
    L"C:y",
    L"a.:b",
    L"a:.b",
    L"x.\u4e2d",
    L"\xD83D.\xDE00",
};

const wchar_t* const Separators[] = {L"\\", L"/", L"\\\\", L"/\\", L"\\/"};

// One unit from a mix of ASCII, separators, dots, colons, blanks, Latin,
// CJK and (paired and lone) surrogates.
void AppendRandomUnits(Random& random, std::wstring& out)
{
    switch (random.Below(12)) {
    case 0: out += L'.'; break;
    case 1: out += L':'; break;
    case 2: out += random.Chance(50) ? L'\\' : L'/'; break;
    case 3: out += random.Chance(50) ? L' ' : L'\t'; break;
    case 4: out += static_cast<wchar_t>(0x4E00 + random.Below(0x5200)); break;
    case 5: out += static_cast<wchar_t>(0x00A0 + random.Below(0x60)); break;
    case 6:
        out += static_cast<wchar_t>(0xD800 + random.Below(0x400));
        out += static_cast<wchar_t>(0xDC00 + random.Below(0x400));
        break;
    case 7: out += static_cast<wchar_t>(0xD800 + random.Below(0x800)); break;
    default: out += static_cast<wchar_t>(L'!' + random.Below(L'~' - L'!' + 1)); break;
    }
}

std::wstring GeneratePath(Random& random)
{
    std::wstring path;
    if (random.Chance(45)) {
        path += random.Pick(Drives);
    }
    if (random.Chance(50)) {
        path += random.Pick(Separators);
    }
    const std::size_t segments = random.Below(6);
    for (std::size_t i = 0; i < segments; ++i) {
        if (random.Chance(70)) {
            path += random.Pick(Segments);
        } else {
            for (std::size_t n = 1 + random.Below(8); n > 0; --n) {
                AppendRandomUnits(random, path);
            }
        }
        path += random.Pick(Separators);
    }
    if (random.Chance(85)) {
        if (random.Chance(70)) {
            path += random.Pick(Names);
        } else {
            for (std::size_t n = random.Below(10); n > 0; --n) {
                AppendRandomUnits(random, path);
            }
        }
    }
    // Now and then a long path, up to the last unit the buffers allow.
    if (random.Chance(5)) {
        const std::size_t target = BufferUnits - 1 - random.Below(8);
        while (path.size() < target) {
            AppendRandomUnits(random, path);
        }
    }
    if (path.size() >= BufferUnits) {
        path.resize(BufferUnits - 1 - random.Below(4));
    }
    return path;
}

// ASCII only, so that the output reads the same in any console: \\, \" and
// \uXXXX for every unit outside printable ASCII.
std::string Escape(const std::wstring& text)
{
    std::string out = "\"";
    for (const wchar_t unit : text) {
        if (unit == L'\\' || unit == L'"') {
            out += '\\';
            out += static_cast<char>(unit);
        } else if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out + "\"";
}

void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t wanted = argc > 1 ? strtoul(argv[1], nullptr, 10) : 3000;
    Random random{argc > 2 ? strtoull(argv[2], nullptr, 10) : 20240521ull};

    // A runtime error must come back as a return code, not end the process.
    _set_invalid_parameter_handler(IgnoreInvalidParameter);

    std::vector<std::wstring> paths(FixedPaths, FixedPaths + sizeof FixedPaths / sizeof FixedPaths[0]);
    while (paths.size() < wanted) {
        paths.push_back(GeneratePath(random));
    }

    std::size_t compared = 0;
    std::size_t mismatches = 0;
    std::size_t runtimeErrors = 0;
    for (const std::wstring& path : paths) {
        wchar_t drive[BufferUnits], directory[BufferUnits], stem[BufferUnits], extension[BufferUnits];
        const errno_t error = _wsplitpath_s(path.c_str(), drive, BufferUnits, directory, BufferUnits, stem, BufferUnits,
                                            extension, BufferUnits);
        if (error != 0) {
            ++runtimeErrors;
            printf("runtime error %d: %s\n", static_cast<int>(error), Escape(path).c_str());
            continue;
        }
        ++compared;
        const PathParts parts = SplitPath(path);
        if (parts.Drive != drive || parts.Directory != directory || parts.Stem != stem ||
            parts.Extension != extension) {
            ++mismatches;
            printf("MISMATCH path %s\n", Escape(path).c_str());
            printf("  runtime   drive %s dir %s stem %s ext %s\n", Escape(drive).c_str(), Escape(directory).c_str(),
                   Escape(stem).c_str(), Escape(extension).c_str());
            printf("  SplitPath drive %s dir %s stem %s ext %s\n", Escape(parts.Drive).c_str(),
                   Escape(parts.Directory).c_str(), Escape(parts.Stem).c_str(), Escape(parts.Extension).c_str());
        }
    }
    printf("paths %u compared %u mismatches %u runtime-errors %u\n", static_cast<unsigned>(paths.size()),
           static_cast<unsigned>(compared), static_cast<unsigned>(mismatches), static_cast<unsigned>(runtimeErrors));
    fflush(stdout);
    if (mismatches != 0) {
        return 1;
    }
    return compared < LeastCompared ? 2 : 0;
}
