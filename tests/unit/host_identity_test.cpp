#include "test_support.h"

namespace {

struct IdentityCase {
    const wchar_t* modulePath;
    const wchar_t* serviceName;
    const wchar_t* workingDirectory;
    const wchar_t* childCommandLine;
};

class HostIdentityTable : public HostTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(HostIdentityTable, DerivesNameDirectoryAndChildFromTheModulePath)
{
    const IdentityCase& row = GetParam();
    const HostIdentity identity = IdentityAt(row.modulePath);
    EXPECT_EQ(identity.ModulePath, row.modulePath);
    EXPECT_EQ(ServiceName, row.serviceName);
    EXPECT_EQ(ChildWorkingDirectory, row.workingDirectory);
    EXPECT_EQ(ChildCommandLine, row.childCommandLine);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostIdentityTable,
    ::testing::Values(
        IdentityCase{L"C:\\Apps\\notepadSvc.exe", L"notepadSvc", L"C:\\Apps\\", L"C:\\Apps\\notepad.exe "},
        // Any three units name the host.
        IdentityCase{L"C:\\Apps\\notepad123.exe", L"notepad123", L"C:\\Apps\\", L"C:\\Apps\\notepad.exe "},
        IdentityCase{L"C:\\Apps\\notepad_sv.exe", L"notepad_sv", L"C:\\Apps\\", L"C:\\Apps\\notepad.exe "},
        // A stem of exactly three units leaves no base; a shorter one is kept whole.
        IdentityCase{L"D:\\x\\abc.exe", L"abc", L"D:\\x\\", L"D:\\x\\.exe "},
        IdentityCase{L"D:\\x\\ab.exe", L"ab", L"D:\\x\\", L"D:\\x\\ab.exe "},
        // Only the last extension goes at the split.
        IdentityCase{L"C:\\Tools\\my.tool.svc.exe", L"my.tool.svc", L"C:\\Tools\\", L"C:\\Tools\\my.tool..exe "},
        // Letter case stays as the module file name gives it.
        IdentityCase{L"C:\\APPS\\NotePadSVC.EXE", L"NotePadSVC", L"C:\\APPS\\", L"C:\\APPS\\NotePad.exe "},
        // Forward slashes separate as backslashes do.
        IdentityCase{L"C:/Apps/sub\\notepadSvc.exe", L"notepadSvc", L"C:/Apps/sub\\", L"C:/Apps/sub\\notepad.exe "},
        // No drive letter: a UNC path's directory carries the server.
        IdentityCase{L"\\\\server\\share\\toolSvc.exe", L"toolSvc", L"\\\\server\\share\\",
                     L"\\\\server\\share\\tool.exe "},
        // A host without an extension, and one in no directory at all.
        IdentityCase{L"C:\\Apps\\notepadSvc", L"notepadSvc", L"C:\\Apps\\", L"C:\\Apps\\notepad.exe "},
        IdentityCase{L"notepadSvc.exe", L"notepadSvc", L"", L"notepad.exe "},
        // Non-ASCII names pass through unit for unit.
        IdentityCase{L"C:\\服务\\记事本Svc.exe", L"记事本Svc", L"C:\\服务\\", L"C:\\服务\\记事本.exe "},
        // Blanks or tabs in the child's path are quoted, so that CreateProcessW
        // cannot start "C:\Program.exe" in its place; the directory is not.
        IdentityCase{L"C:\\Program Files\\X\\notepadSvc.exe", L"notepadSvc", L"C:\\Program Files\\X\\",
                     L"\"C:\\Program Files\\X\\notepad.exe\" "},
        IdentityCase{L"C:\\Apps\\note pad123.exe", L"note pad123", L"C:\\Apps\\", L"\"C:\\Apps\\note pad.exe\" "},
        IdentityCase{L"C:\\Tab\there\\toolSvc.exe", L"toolSvc", L"C:\\Tab\there\\", L"\"C:\\Tab\there\\tool.exe\" "},
        // A "%" is just a character of the path.
        IdentityCase{L"C:\\100%\\toolSvc.exe", L"toolSvc", L"C:\\100%\\", L"C:\\100%\\tool.exe "}));

TEST_F(HostTest, TheChildCommandLineOfTheUsualHostIsTwentyUnitsWithATrailingBlank)
{
    IdentityAt(L"C:\\Apps\\notepadSvc.exe");
    EXPECT_EQ(ChildCommandLine.size(), 20u);
    EXPECT_EQ(ChildCommandLine.back(), L' ');
}

TEST_F(HostTest, AnEmptyModuleNameLeavesOnlyTheExtension)
{
    fake::FailCall("GetModuleFileNameW");
    HostIdentity identity;
    DeriveHostIdentity(identity);
    EXPECT_EQ(identity.ModulePath, L"");
    EXPECT_EQ(ServiceName, L"");
    EXPECT_EQ(ChildWorkingDirectory, L"");
    EXPECT_EQ(ChildCommandLine, L".exe ");
}

TEST_F(HostTest, APathLongerThanMaxPathIsDerivedWhole)
{
    const std::wstring directory = L"C:\\" + std::wstring(150, L'd') + L"\\" + std::wstring(150, L'e') + L"\\";
    const std::wstring modulePath = directory + L"notepadSvc.exe";
    ASSERT_GT(modulePath.size(), 300u);

    const HostIdentity identity = IdentityAt(modulePath);

    EXPECT_EQ(identity.ModulePath, modulePath);
    EXPECT_EQ(ServiceName, L"notepadSvc");
    EXPECT_EQ(ChildWorkingDirectory, directory);
    EXPECT_EQ(ChildCommandLine, directory + L"notepad.exe ");
    // The buffer grows from MAX_PATH until the path no longer fills it.
    EXPECT_EQ(fake::CallsNamed("GetModuleFileNameW"),
              (std::vector<std::string>{"GetModuleFileNameW(NULL, 260)", "GetModuleFileNameW(NULL, 520)"}));
}

// Started through an 8.3 path, the host is still named after its long form;
// where Windows cannot tell the long form, the path is taken as it is.
TEST_F(HostTest, TheIdentityComesFromTheLongFormOfTheModulePath)
{
    fake::AddShortPath(L"C:\\PROGRA~1\\Tools\\LONGPR~1.EXE", L"C:\\Program Files\\Tools\\longprogramSvc.exe");
    const HostIdentity identity = IdentityAt(L"C:\\PROGRA~1\\Tools\\LONGPR~1.EXE");
    EXPECT_EQ(identity.ModulePath, L"C:\\Program Files\\Tools\\longprogramSvc.exe");
    EXPECT_EQ(ServiceName, L"longprogramSvc");
    EXPECT_EQ(ChildCommandLine, L"\"C:\\Program Files\\Tools\\longprogram.exe\" ");

    fake::FailCall("GetLongPathNameW");
    EXPECT_EQ(IdentityAt(L"C:\\PROGRA~1\\Tools\\LONGPR~1.EXE").ModulePath, L"C:\\PROGRA~1\\Tools\\LONGPR~1.EXE");
    EXPECT_EQ(ServiceName, L"LONGPR~1");
}

TEST_F(HostTest, APathOfExactlyTheBufferSizeIsNotMistakenForAWholeOne)
{
    // 260 units fill the first buffer to its last unit: Windows reports that as cut.
    const std::wstring directory = L"C:\\" + std::wstring(260 - 3 - 1 - 14, L'd') + L"\\";
    const std::wstring modulePath = directory + L"notepadSvc.exe";
    ASSERT_EQ(modulePath.size(), 260u);
    const HostIdentity identity = IdentityAt(modulePath);
    EXPECT_EQ(identity.ModulePath, modulePath);
    EXPECT_EQ(ChildCommandLine, directory + L"notepad.exe ");
}

}  // namespace
