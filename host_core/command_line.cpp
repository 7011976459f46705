#include "command_line.h"

#include "ascii_case.h"

#include <cwchar>

namespace {

bool IsBlankOrControl(wchar_t unit)
{
    return unit >= 1 && unit <= 32;
}

}  // namespace

const wchar_t* CommandLineTail(const wchar_t* commandLine)
{
    const wchar_t* p = commandLine;
    bool insideQuotes = false;
    for (; *p != L'\0'; ++p) {
        if (*p == L'"') {
            insideQuotes = !insideQuotes;
        } else if (!insideQuotes && IsBlankOrControl(*p)) {
            break;
        }
    }
    while (IsBlankOrControl(*p)) {
        ++p;
    }
    return p;
}

bool IsCommandWord(const wchar_t* text, const wchar_t* word)
{
    const wchar_t* end = text + std::wcslen(text);
    while (text < end && IsBlankOrControl(*text)) {
        ++text;
    }
    while (end > text && IsBlankOrControl(end[-1])) {
        --end;
    }
    if (end - text >= 2 && *text == L'"' && end[-1] == L'"') {
        ++text;
        --end;
    }
    for (; text < end && *word != L'\0'; ++text, ++word) {
        if (FoldAscii(*text) != FoldAscii(*word)) {
            return false;
        }
    }
    return text == end && *word == L'\0';
}
