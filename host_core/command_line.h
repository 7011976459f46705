// The text after the program name in a process command line, and the
// comparison that decides which action the host takes.
#pragma once

// The tail of a full command line (as GetCommandLineW gives it): the program
// name ends at the first unit of code 1 to 32 outside double quotes (each
// quote toggles), then every following unit of code 1 to 32 is skipped.
// Trailing blanks stay.
const wchar_t* CommandLineTail(const wchar_t* commandLine);

// Whole-text equality with ASCII letters folded and nothing else: a
// fullwidth lookalike of a command word is not that word.
bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* word);
