// A path in its long or its short (8.3) form, as the file system gives it.
#pragma once

#include <string>

// Every short component in its long form: started as C:\TOOLS\LONGPR~1.EXE,
// the host is still longprogramSvc. The path as it is when Windows cannot
// tell.
std::wstring LongFormOf(const std::wstring& path);
// Every component in its short form, where it has one; empty when Windows
// cannot tell.
std::wstring ShortFormOf(const std::wstring& path);
