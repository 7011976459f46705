// Each path question has one answer, whatever form the path takes.
#include "host_core/paths.h"

#include <gtest/gtest.h>

namespace {

struct Form {
    const wchar_t* path;
    bool driveLetter;
    std::size_t root;
    const wchar_t* plain;
    const wchar_t* exact;  // as the host opens it
    const wchar_t* folder;
};

TEST(Paths, EachFormGetsOneAnswerToEachQuestion)
{
    const Form forms[] = {
        {L"C:\\Apps\\x.exe", true, 3, L"C:\\Apps\\x.exe", L"\\\\?\\C:\\Apps\\x.exe", L"C:\\Apps\\"},
        {L"C:/Apps/./y/../x.dll.", true, 3, L"C:\\Apps\\x.dll.", L"\\\\?\\C:\\Apps\\x.dll.", L"C:/Apps/./y/../"},
        {L"C:x.exe", true, 0, L"C:x.exe", L"C:x.exe", L"C:"},
        {L"\\\\srv\\share\\a b\\x.exe", false, 12, L"\\\\srv\\share\\a b\\x.exe", L"\\\\?\\UNC\\srv\\share\\a b\\x.exe",
         L"\\\\srv\\share\\a b\\"},
        {L"\\\\?\\C:\\Apps\\x.exe ", false, 7, L"C:\\Apps\\x.exe ", L"\\\\?\\C:\\Apps\\x.exe ", L"\\\\?\\C:\\Apps\\"},
        {L"\\??\\UNC\\srv\\share\\x", false, 0, L"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x",
         L"\\??\\UNC\\srv\\share\\"},
        {L"\\\\.\\C:\\Apps\\x.exe", false, 7, L"C:\\Apps\\x.exe", L"\\\\?\\C:\\Apps\\x.exe", L"\\\\.\\C:\\Apps\\"},
        {L"\\\\.\\Volume{5eed}\\x", false, 17, L"\\\\?\\Volume{5eed}\\x", L"\\\\?\\Volume{5eed}\\x",
         L"\\\\.\\Volume{5eed}\\"},
        {L"\\\\?\\Volume{5eed}\\x", false, 17, L"\\\\?\\Volume{5eed}\\x", L"\\\\?\\Volume{5eed}\\x",
         L"\\\\?\\Volume{5eed}\\"},
        {L"Apps\\x.exe", false, 0, L"Apps\\x.exe", L"Apps\\x.exe", L"Apps\\"},
        {L"\\\\server", false, 0, L"\\\\server", L"\\\\server", L"\\\\"},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(form.path)));
        EXPECT_EQ(HasDriveLetter(form.path), form.driveLetter);
        EXPECT_EQ(RootLength(form.path), form.root);
        EXPECT_EQ(PlainPath(form.path), form.plain);
        EXPECT_EQ(ExactPath(form.path), form.exact);
        EXPECT_EQ(FolderOf(form.path), form.folder);
    }
}

}  // namespace
