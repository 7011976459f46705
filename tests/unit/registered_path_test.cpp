// The path the record gives for the host: every field of the record for
// hosts at various paths, the path as the service manager can reach it,
// and the host's own path through WinMain, however long.
#include "registration_support.h"

namespace {

// The record install leaves behind, for hosts at various paths.

struct RecordCase {
    const wchar_t* modulePath;
    const wchar_t* serviceName;
    const wchar_t* binaryPath;
};

void PrintTo(const RecordCase& row, std::ostream* out)
{
    for (const wchar_t* unit = row.modulePath; *unit != L'\0'; ++unit) {
        if (*unit >= 0x20 && *unit < 0x7F) {
            *out << static_cast<char>(*unit);
        } else {
            *out << "\\u" << std::hex << static_cast<unsigned>(*unit) << std::dec;
        }
    }
}

class InstalledRecord : public RegistrationTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(InstalledRecord, HoldsEveryFieldOfTheRecord)
{
    const RecordCase& row = GetParam();
    const HostIdentity identity = IdentityAt(row.modulePath);
    InstallService(identity.ModulePath);

    ASSERT_TRUE(fake::HasService(row.serviceName));
    const fake::ServiceRecord record = fake::Service(row.serviceName);
    EXPECT_EQ(record.name, row.serviceName);
    EXPECT_EQ(record.displayName, row.serviceName);
    EXPECT_EQ(record.access, SERVICE_ALL_ACCESS);
    EXPECT_EQ(record.type, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(record.startType, SERVICE_DEMAND_START);
    EXPECT_EQ(record.errorControl, SERVICE_ERROR_NORMAL);
    EXPECT_EQ(record.binaryPath, row.binaryPath);
    EXPECT_TRUE(record.groupNull);
    EXPECT_TRUE(record.tagNull);
    EXPECT_FALSE(record.dependenciesNull);
    EXPECT_EQ(record.dependencies, L"");
    EXPECT_TRUE(record.accountNull);
    EXPECT_TRUE(record.passwordNull);
    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_TRUE(fake::Events().empty());
}

// Quoted exactly when the path holds a blank or a tab, wherever it stands.
INSTANTIATE_TEST_SUITE_P(
    Paths, InstalledRecord,
    ::testing::Values(RecordCase{L"C:\\Apps\\notepadSvc.exe", L"notepadSvc", L"C:\\Apps\\notepadSvc.exe"},
                      RecordCase{L"C:\\Program Files\\X\\notepadSvc.exe", L"notepadSvc",
                                 L"\"C:\\Program Files\\X\\notepadSvc.exe\""},
                      RecordCase{L"C:\\Apps\\note pad123.exe", L"note pad123", L"\"C:\\Apps\\note pad123.exe\""},
                      RecordCase{L"C:\\Tab\there\\toolSvc.exe", L"toolSvc", L"\"C:\\Tab\there\\toolSvc.exe\""},
                      RecordCase{L"\\\\server\\share\\toolSvc.exe", L"toolSvc", L"\\\\server\\share\\toolSvc.exe"},
                      RecordCase{L"C:\\服务\\记事本Svc.exe", L"记事本Svc", L"C:\\服务\\记事本Svc.exe"},
                      RecordCase{L"C:\\100%\\toolSvc.exe", L"toolSvc", L"C:\\100%\\toolSvc.exe"}));

TEST_F(RegistrationTest, InstallRegistersThePathItIsGivenWithoutAskingForItAgain)
{
    fake::AddFile(L"D:\\Elsewhere\\other.exe");
    InstallService(L"D:\\Elsewhere\\other.exe");
    EXPECT_EQ(Calls(),
              Join({{OpenManager, OpenForCheck(256)},
                    PathCheck(260, "D:\\Elsewhere\\other.exe"),
                    {Create(256, "notepadSvc", "D:\\Elsewhere\\other.exe"), CloseService(280), CloseManager(256)}}));
}

// The service manager runs as LocalSystem, which has none of the installing
// user's drive letters: what they stand for is registered, through a SUBST
// drive that stands on another one (T: on S:) too.
TEST_F(RegistrationTest, InstalledFromADriveOfTheLogonSessionTheRecordGivesWhatItStandsFor)
{
    for (const wchar_t* modulePath :
         {L"S:\\Apps\\notepadSvc.exe", L"T:\\Apps\\notepadSvc.exe", L"Z:\\Apps\\notepadSvc.exe"}) {
        fake::Reset();
        fake::MapDrive(L"Z:", L"\\\\server\\share");
        fake::MapDrive(L"S:", L"C:\\Real");
        fake::MapDrive(L"T:", L"S:\\Nested");
        const HostIdentity identity = IdentityAt(modulePath);
        InstallService(identity.ModulePath);
        ASSERT_TRUE(fake::HasService(L"notepadSvc"));
        EXPECT_EQ(fake::Service(L"notepadSvc").binaryPath,
                  modulePath[0] == L'Z'   ? L"\\\\server\\share\\Apps\\notepadSvc.exe"
                  : modulePath[0] == L'T' ? L"C:\\Real\\Nested\\Apps\\notepadSvc.exe"
                                          : L"C:\\Real\\Apps\\notepadSvc.exe");
    }
    // The share gives every file an id of zeros: a copy in another of its
    // folders is still another program, told by its final path.
    const HostIdentity copy = IdentityAt(L"Z:\\Other\\notepadSvc.exe");
    UninstallService(copy.ModulePath);
    InstallService(copy.ModulePath);
    EXPECT_EQ(fake::Service(L"notepadSvc").binaryPath, L"\\\\server\\share\\Apps\\notepadSvc.exe");
    EXPECT_EQ(fake::Service(L"notepadSvc").controls, std::vector<DWORD>{});
}

// Through WinMain, as an administrator runs the host.

struct RouteCase {
    const char* name;
    const wchar_t* modulePath;
    const wchar_t* commandLine;
    Action action;
    const char* serviceName;
    const char* binaryPath;  // registered by install
};

void PrintTo(const RouteCase& row, std::ostream* out)
{
    *out << row.name;
}

class RegistrationRoutes : public RegistrationTest, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(RegistrationRoutes, WinMainRunsTheActionForTheHostsOwnPath)
{
    const RouteCase& row = GetParam();
    const std::string name = row.serviceName;
    fake::SetModulePath(row.modulePath);
    fake::SetCommandLine(row.commandLine);
    if (row.action == Action::Uninstall) {
        fake::AddService(std::wstring(name.begin(), name.end()), true, row.modulePath);
    }

    EXPECT_EQ(fake::RunHost(), 0);

    std::string modulePath;
    for (const wchar_t* unit = row.modulePath; *unit != L'\0'; ++unit) {
        modulePath += static_cast<char>(*unit);
    }
    if (row.action == Action::Install) {
        // The service's handle follows the check's: one a folder, and three more.
        const int service = 260 + 4 * static_cast<int>(std::count(modulePath.begin(), modulePath.end(), '\\') + 3);
        EXPECT_EQ(CallsAfterCommandLine(),
                  Join({{OpenManager, OpenForCheck(256, name)},
                        PathCheck(260, modulePath),
                        {Create(256, name, row.binaryPath), CloseService(service), CloseManager(256)}}));
    } else {
        // Registered unquoted with blanks, the path is read as Windows would:
        // "C:\Program.exe" first.
        const std::vector<std::string> probes = modulePath.find(' ') != std::string::npos
                                                    ? std::vector<std::string>{"C:\\Program.exe"}
                                                    : std::vector<std::string>{};
        EXPECT_EQ(CallsAfterCommandLine(), Join({{OpenManager, OpenForUninstallCheck(256, name)},
                                                 FileCheck(260, 264, modulePath, modulePath, true, probes),
                                                 {CloseService(260), OpenForDeletion(256, name), Stop(280), Delete(280),
                                                  CloseService(280), OpenForCheck(256, name), CloseManager(256)}}));
    }
    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_TRUE(fake::Events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, RegistrationRoutes,
    ::testing::Values(RouteCase{"Install", L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepadSvc.exe /install",
                                Action::Install, "notepadSvc", "C:\\Apps\\notepadSvc.exe"},
                      RouteCase{"InstallInCapitalsFromAPathWithBlanks", L"C:\\Program Files\\X\\notepadSvc.exe",
                                L"\"C:\\Program Files\\X\\notepadSvc.exe\" /INSTALL", Action::Install, "notepadSvc",
                                "\"C:\\Program Files\\X\\notepadSvc.exe\""},
                      RouteCase{"Uninstall", L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepadSvc.exe /uninstall",
                                Action::Uninstall, "notepadSvc", ""},
                      RouteCase{"UninstallInCapitalsFromAPathWithBlanks", L"C:\\Program Files\\X\\toolSvc.exe",
                                L"\"C:\\Program Files\\X\\toolSvc.exe\" /UNINSTALL", Action::Uninstall, "toolSvc", ""}),
    [](const ::testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

// CreateProcessW reads at most MAX_PATH units of a program's name from a
// command line: a host or program whose path is longer could be registered
// but never run. The host still finds its name in such a path.
TEST_F(RegistrationTest, APathTooLongForACommandLineIsNeverRegistered)
{
    fake::SetModulePath(L"C:\\" + std::wstring(280, L'd') + L"\\longSvc.exe");
    fake::SetCommandLine(L"longSvc.exe /install");
    EXPECT_EQ(fake::RunHost(), static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_FALSE(fake::HasService(L"longSvc"));
    ASSERT_EQ(fake::Boxes().size(), 1u);
    EXPECT_EQ(fake::Boxes()[0].text, L"CreateServiceW() 失败!");
}

}  // namespace
