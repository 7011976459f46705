#include "service_runtime/last_words.h"
#include "test_support.h"

namespace {

// Rows as a console gives them back: padded with blanks to its width, here 80.
std::vector<std::wstring> Screen(std::initializer_list<std::wstring> rows)
{
    std::vector<std::wstring> padded;
    for (const std::wstring& row : rows) {
        padded.push_back(row + std::wstring(80 - row.size(), L' '));
    }
    return padded;
}

TEST(LastLinesTest, RowsLoseTheirTrailingBlanksAndTheEmptyRowsBelowTheText)
{
    EXPECT_EQ(LastLines(Screen({L" one ", L"", L"two", L"", L"   "})), L" one\r\n\r\ntwo");
    EXPECT_EQ(LastLines(Screen({L"", L" "})), L"");
}

TEST(LastLinesTest, AtMostTheLast25RowsAnd4000UnitsAreKeptWithoutHalfASurrogatePair)
{
    std::vector<std::wstring> rows;
    std::wstring last25;
    for (wchar_t row = L'A'; row < L'A' + 30; ++row) {
        rows.emplace_back(1, row);
        last25 += row < L'F' ? L"" : (row > L'F' ? L"\r\n" : L"") + std::wstring(1, row);
    }
    EXPECT_EQ(LastLines(rows), last25);
    // The cut at 4000 units from the end falls inside the pair.
    const std::wstring text = Units({0xD83D, 0xDE00}) + std::wstring(3999, L'y');
    EXPECT_EQ(LastLines({text}), std::wstring(3999, L'y'));
}

}  // namespace
