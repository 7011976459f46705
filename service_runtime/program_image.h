// What a program's image says about how it runs: whether it is a console
// program, which the launch gives a console.
#pragma once

#include <string>

// Whether the image at `path` is a console program, as its PE header's
// subsystem says; false when the file cannot be read as an image. Only a
// console program uses a console.
bool IsConsoleProgram(const std::wstring& path);
