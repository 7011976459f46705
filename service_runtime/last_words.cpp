#include "last_words.h"

#include "host_core/event_text.h"
#include "host_core/host_core.h"
#include "host_core/path_form.h"

#include <cstring>
#include <vector>

namespace {

// Rows read from the console, up to the cursor: more than are kept, for the
// empty rows a program may leave below its last text.
const SHORT RowsRead = 2 * LastWordsRows;

}  // namespace

bool IsConsoleProgram(const std::wstring& path)
{
    HANDLE file = OpenToQuery(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Linkers put an image's headers in its first page. The DOS header says
    // where the PE header begins (at 0x3C); the subsystem lies 0x5C into
    // that, in 32-bit and 64-bit images alike.
    BYTE headers[4096];
    DWORD read = 0;
    const bool readable = ReadFile(file, headers, sizeof headers, &read, nullptr) != FALSE && read >= 0x40 &&
                          headers[0] == 'M' && headers[1] == 'Z';
    CloseHandle(file);
    DWORD peHeader = 0;
    if (readable) {
        std::memcpy(&peHeader, headers + 0x3C, sizeof peHeader);
    }
    WORD subsystem = 0;
    if (readable && read >= 0x5E && peHeader <= read - 0x5E && std::memcmp(headers + peHeader, "PE\0\0", 4) == 0) {
        std::memcpy(&subsystem, headers + peHeader + 0x5C, sizeof subsystem);
    }
    return subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

std::wstring LastLines(const std::wstring& cells, std::size_t width)
{
    // A console pads every row with blanks to its width.
    std::vector<std::wstring> rows;
    for (std::size_t start = 0; width > 0 && start < cells.size(); start += width) {
        std::wstring row = cells.substr(start, width);
        row.erase(row.find_last_not_of(L' ') + 1);
        rows.push_back(row);
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
    std::wstring cells;
    if (GetConsoleScreenBufferInfo(console, &screen) != FALSE && screen.dwSize.X > 0) {
        // The cells run on from row to row; the last is the cursor's.
        const COORD cursor = screen.dwCursorPosition;
        const COORD top = {0, static_cast<SHORT>(cursor.Y >= RowsRead ? cursor.Y - RowsRead + 1 : 0)};
        cells.resize(static_cast<std::size_t>(cursor.Y - top.Y) * static_cast<std::size_t>(screen.dwSize.X) +
                     static_cast<std::size_t>(cursor.X));
        DWORD read = 0;
        if (cells.empty() ||
            ReadConsoleOutputCharacterW(console, &cells[0], static_cast<DWORD>(cells.size()), top, &read) == FALSE) {
            read = 0;
        }
        cells.resize(read);
    }
    CloseHandle(console);
    return LastLines(cells, static_cast<std::size_t>(screen.dwSize.X));
}

void ReportLastWords(DWORD exitCode, const std::wstring& lines)
{
    if (lines.empty()) {
        return;
    }
    // In decimal, as sc shows an exit code. Passed as an argument, so that a
    // '%' the program wrote is reported as it stands.
    const std::wstring text = L"The program ended by itself with exit code " + DecimalText(exitCode) +
                              L". The last lines of its console:\r\n" + lines;
    LogEvent(L"%s", text.c_str());
}
