#include "host_core/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Tail(const wchar_t* commandLine)
{
    return CommandLineTail(commandLine);
}

TEST(CommandLineTail, EndsTheProgramNameAtTheFirstBlankOutsideQuotes)
{
    EXPECT_EQ(Tail(L"C:\\Apps\\notepadSvc.exe /install"), L"/install");
    EXPECT_EQ(Tail(L"\"C:\\Program Files\\X\\notepadSvc.exe\" /install"), L"/install");
    EXPECT_EQ(Tail(L"C:\\\"Program Files\"\\X\\notepadSvc.exe /uninstall"), L"/uninstall");
}

TEST(CommandLineTail, TakesAWordRightAfterAClosingQuoteAsPartOfTheName)
{
    EXPECT_EQ(Tail(L"\"C:\\Program Files\\X\\notepadSvc.exe\"/install"), L"");
}

TEST(CommandLineTail, SkipsEveryBlankTabAndControlUnitAfterTheNameButKeepsTrailingBlanks)
{
    EXPECT_EQ(Tail(L"host.exe \t \t/install  "), L"/install  ");
    EXPECT_EQ(Tail(L"host.exe\t/install"), L"/install");
    EXPECT_EQ(Tail(L"host.exe\x01\x1F/install"), L"/install");
    EXPECT_EQ(Tail(L"host.exe /install now"), L"/install now");
}

TEST(CommandLineTail, IsEmptyWhenThereIsNothingAfterTheName)
{
    EXPECT_EQ(Tail(L""), L"");
    EXPECT_EQ(Tail(L"C:\\Apps\\notepadSvc.exe"), L"");
    EXPECT_EQ(Tail(L"C:\\Apps\\notepadSvc.exe   "), L"");
    EXPECT_EQ(Tail(L"\"C:\\Program Files\\X\\notepadSvc.exe\""), L"");
    // An unclosed quote runs to the end: it is all program name.
    EXPECT_EQ(Tail(L"\"C:\\Program Files\\X\\notepadSvc.exe /install"), L"");
}

TEST(CommandLineTail, LeavesABlankInsideQuotesToTheName)
{
    EXPECT_EQ(Tail(L"\"a b\" c"), L"c");
    EXPECT_EQ(Tail(L"a\" \"b c"), L"c");
}

struct WordCase {
    const wchar_t* text;
    bool isInstall;
    bool isUninstall;
};

class CommandWords : public ::testing::TestWithParam<WordCase> {};

TEST_P(CommandWords, MatchOnlyTheWholeWordWithAsciiCaseFolded)
{
    EXPECT_EQ(IsCommandWord(GetParam().text, L"/install"), GetParam().isInstall);
    EXPECT_EQ(IsCommandWord(GetParam().text, L"/uninstall"), GetParam().isUninstall);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CommandWords,
    ::testing::Values(WordCase{L"/install", true, false}, WordCase{L"/INSTALL", true, false},
                      WordCase{L"/InStAlL", true, false}, WordCase{L"/uninstall", false, true},
                      WordCase{L"/Uninstall", false, true}, WordCase{L"/UNINSTALL", false, true},
                      // A batch line's trailing blank, a tool that quotes every argument.
                      WordCase{L"/install ", true, false}, WordCase{L"\t/install\t", true, false},
                      WordCase{L"\"/install\"", true, false}, WordCase{L" \"/Uninstall\" ", false, true},
                      // One pair of quotes, around the word and nothing else.
                      WordCase{L"\"/install", false, false}, WordCase{L"/install\"", false, false},
                      WordCase{L"\"\"/install\"\"", false, false}, WordCase{L"\" /install \"", false, false},
                      WordCase{L"\"\"", false, false}, WordCase{L"-install", false, false},
                      WordCase{L"install", false, false}, WordCase{L"/install now", false, false},
                      WordCase{L"/instal", false, false}, WordCase{L"/installs", false, false},
                      WordCase{L"", false, false}, WordCase{L"/foo", false, false},
                      // Fullwidth forms fold to "/install" only through a code page.
                      WordCase{L"\xFF0F\xFF49\xFF4E\xFF53\xFF54\xFF41\xFF4C\xFF4C", false, false},
                      // Dotted capital I and dotless i are not ASCII.
                      WordCase{L"/\x0130nstall", false, false}, WordCase{L"/\x0131nstall", false, false}));

}  // namespace
