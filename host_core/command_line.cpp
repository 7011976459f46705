#include "command_line.h"

namespace {

bool IsBlankOrControl(wchar_t unit)
{
    return unit >= 1 && unit <= 32;
}

wchar_t FoldAscii(wchar_t unit)
{
    return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit - L'A' + L'a') : unit;
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

bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* word)
{
    for (; *text != L'\0' && *word != L'\0'; ++text, ++word) {
        if (FoldAscii(*text) != FoldAscii(*word)) {
            return false;
        }
    }
    return *text == L'\0' && *word == L'\0';
}
