#include "event_text.h"

std::wstring FormatEventText(const wchar_t* format, va_list arguments)
{
    std::wstring text;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p == L'%' && p[1] == L's') {
            const wchar_t* argument = va_arg(arguments, const wchar_t*);
            text += argument != nullptr ? argument : L"(null)";
            ++p;
        } else if (*p == L'%' && p[1] == L'%') {
            text += L'%';
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

std::wstring ReadAsWritten(const std::wstring& text)
{
    std::wstring shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        shown += text[i];
        if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'0' && text[i + 1] <= L'9') {
            shown += L'\u2060';
        }
    }
    return shown;
}

std::wstring DecimalText(unsigned long long number)
{
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + number % 10));
        number /= 10;
    } while (number != 0);
    return digits;
}

std::size_t NextEventPieceLength(const wchar_t* text, std::size_t length)
{
    if (length <= EventTextLimit) {
        return length;
    }
    const wchar_t last = text[EventTextLimit - 1];
    const wchar_t next = text[EventTextLimit];
    const bool partsPair = last >= 0xD800 && last <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF;
    return partsPair ? EventTextLimit - 1 : EventTextLimit;
}
