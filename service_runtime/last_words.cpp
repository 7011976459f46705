#include "last_words.h"

#include "host_core/event_text.h"
#include "host_core/host_core.h"
#include "host_core/texts.h"

#include <utility>
#include <vector>

namespace {

// Rows read back from the last that holds text: more than are kept, for the
// empty rows a program may leave between its last lines.
const int RowsRead = 2 * static_cast<int>(LastWordsRows);

// The cells asked for in one read while looking for the last row with text:
// a few rows at a time, well below what older consoles passed in one call.
const int CellsPerScan = 8192;

COORD Cell(int column, int row)
{
    return COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)};
}

// What the cells of a row hold. A console gives a character two cells wide
// back once, so the count read, not the cells asked for, says how much there
// is; and it gives nothing at all for cells whose characters would not fit
// (a character outside the BMP takes two units in one cell): those are read
// again in halves, left first, and a single such cell stands as U+FFFD.
std::wstring ReadCells(HANDLE console, int row, int width)
{
    std::wstring text;
    std::vector<std::pair<int, int>> pending = {{0, width}};  // column, count
    while (!pending.empty()) {
        const int column = pending.back().first;
        const int count = pending.back().second;
        pending.pop_back();
        std::wstring cells(static_cast<std::size_t>(count), L' ');
        DWORD read = 0;
        if (ReadConsoleOutputCharacterW(console, &cells[0], static_cast<DWORD>(count), Cell(column, row), &read) ==
            FALSE) {
            break;
        }
        if (read > 0) {
            text.append(cells, 0, read < cells.size() ? read : cells.size());
        } else if (count == 1) {
            text += L'\xFFFD';
        } else {
            pending.emplace_back(column + count / 2, count - count / 2);
            pending.emplace_back(column, count / 2);
        }
    }
    return text;
}

// A row without the control characters (escape sequences a console did
// not act on) that an event should not carry.
std::wstring ReadRow(HANDLE console, int row, int width)
{
    const std::wstring cells = ReadCells(console, row, width);
    std::wstring kept;
    for (const wchar_t character : cells) {
        if (character >= 0x20 && !(character >= 0x7F && character <= 0x9F)) {
            kept += character;
        }
    }
    return kept;
}

// The last row that holds text: the cursor's, or a row below it that the
// program wrote before it moved the cursor back up (a line ended in "\r",
// a screen redrawn from the top). Scanned up from the bottom of the buffer,
// many rows at a time; a block that reads back nothing (a character that
// would not fit) is read row by row.
int LastRowWithText(HANDLE console, const CONSOLE_SCREEN_BUFFER_INFO& screen)
{
    const int width = screen.dwSize.X;
    const int cursorRow = screen.dwCursorPosition.Y;
    const int rowsPerScan = CellsPerScan / width > 0 ? CellsPerScan / width : 1;
    std::wstring cells(static_cast<std::size_t>(rowsPerScan * width), L' ');
    for (int below = screen.dwSize.Y; below > cursorRow + 1;) {
        const int top = below - rowsPerScan > cursorRow + 1 ? below - rowsPerScan : cursorRow + 1;
        DWORD read = 0;
        if (ReadConsoleOutputCharacterW(console, &cells[0], static_cast<DWORD>((below - top) * width), Cell(0, top),
                                        &read) != FALSE &&
            (read == 0 || cells.find_first_not_of(L' ') < read)) {
            for (int row = below - 1; row >= top; --row) {
                if (ReadRow(console, row, width).find_first_not_of(L' ') != std::wstring::npos) {
                    return row;
                }
            }
        }
        below = top;
    }
    return cursorRow;
}

}  // namespace

std::wstring LastLines(std::vector<std::wstring> rows)
{
    // A console pads every row with blanks to its width.
    for (std::wstring& row : rows) {
        row.erase(row.find_last_not_of(L' ') + 1);
    }
    while (!rows.empty() && rows.back().empty()) {
        rows.pop_back();
    }
    const std::size_t first = rows.size() > LastWordsRows ? rows.size() - LastWordsRows : 0;
    std::wstring text;
    for (std::size_t i = first; i < rows.size(); ++i) {
        text += (i > first ? L"\r\n" : L"") + rows[i];
    }
    // A longer text loses its beginning, since the end tells most, and a
    // surrogate pair goes whole or not at all.
    if (text.size() > LastWordsUnits) {
        std::size_t cut = text.size() - LastWordsUnits;
        if (text[cut] >= 0xDC00 && text[cut] <= 0xDFFF) {
            ++cut;
        }
        text.erase(0, cut);
    }
    return text;
}

std::wstring ReadLastLines()
{
    // The console's active screen buffer, whatever the program did with its
    // own handles.
    HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    CONSOLE_SCREEN_BUFFER_INFO screen = {};
    std::vector<std::wstring> rows;
    if (GetConsoleScreenBufferInfo(console, &screen) != FALSE && screen.dwSize.X > 0 &&
        screen.dwCursorPosition.Y < screen.dwSize.Y) {
        const int last = LastRowWithText(console, screen);
        for (int row = last >= RowsRead ? last - RowsRead + 1 : 0; row <= last; ++row) {
            rows.push_back(ReadRow(console, row, screen.dwSize.X));
        }
    }
    CloseHandle(console);
    return LastLines(rows);
}

void ReportLastWords(DWORD exitCode, const std::wstring& lines)
{
    if (lines.empty()) {
        return;
    }
    // In decimal, as sc shows an exit code. Passed as an argument, so that a
    // '%' the program wrote is not read as a format; the event log keeps it
    // from reading as an insertion.
    const std::wstring text = LastWordsBefore + DecimalText(exitCode) + LastWordsAfter + lines;
    LogEvent(L"%s", text.c_str());
}
