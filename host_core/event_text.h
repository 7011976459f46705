// Composing event texts and cutting them to what one event holds.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// The longest text one event carries: a 256-unit buffer less its terminator.
constexpr std::size_t EventTextLimit = 255;

// printf-style formatting that knows "%s" (a wide string argument) and "%%";
// any other '%' is kept as it stands. Unbounded: the caller cuts.
std::wstring FormatEventText(const wchar_t* format, va_list arguments);

// The text as Event Viewer will show it as written: it reads "%n" in an
// event's string as an insertion ("%1" the string itself), so a '%' before a
// digit is followed by an invisible WORD JOINER (U+2060).
std::wstring ReadAsWritten(const std::wstring& text);

// A number in decimal digits. The C++ library's own conversion would bring
// a whole formatting library into the host.
std::wstring DecimalText(unsigned long long number);

// How many units of text[0..length) go into the next event: at most
// EventTextLimit, one fewer when the cut would part a surrogate pair.
std::size_t NextEventPieceLength(const wchar_t* text, std::size_t length);
