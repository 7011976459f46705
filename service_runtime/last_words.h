// What a program that ended by itself last wrote to its console, for the
// event log.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

// What an event of last words carries at most: the rows a glance at the
// console takes in, and a text that goes into sixteen events.
constexpr std::size_t LastWordsRows = 25;
constexpr std::size_t LastWordsUnits = 4000;

// The last lines of the rows read from a screen: each row without its
// trailing blanks, the empty rows at the end dropped, at most the last
// LastWordsRows rows and LastWordsUnits units, "\r\n" between them. Empty
// when the screen is.
std::wstring LastLines(std::vector<std::wstring> rows);

// The last lines of the console this process is on: the rows up to the last
// that holds text, wherever the cursor stands; empty when there are none or
// they cannot be read.
std::wstring ReadLastLines();

// Reports the last lines of a program that ended by itself with `exitCode`,
// unless there are none.
void ReportLastWords(DWORD exitCode, const std::wstring& lines);
