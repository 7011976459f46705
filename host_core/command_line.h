// The text after the program name in a process command line, and the
// comparison that decides which action the host takes.
#pragma once

// The tail of a full command line (as GetCommandLineW gives it): the program
// name ends at the first unit of code 1 to 32 outside double quotes (each
// quote toggles), then every following unit of code 1 to 32 is skipped.
// Trailing blanks stay.
const wchar_t* CommandLineTail(const wchar_t* commandLine);

// Whether the text after the program name is the command word: the whole
// text, once the blanks around it (a batch line's trailing blank) and one
// pair of quotes around it (a tool that quotes every argument) are set
// aside, with ASCII letters folded and nothing else: "/install now",
// "-install" and a fullwidth lookalike are not "/install".
bool IsCommandWord(const wchar_t* text, const wchar_t* word);
