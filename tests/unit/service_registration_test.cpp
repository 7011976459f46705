// InstallService and UninstallService against the fake service manager: the
// exact calls on every path, what the user sees, and what stays in the
// service database. Every test ends with every handle closed and none misused.
#include "host_core/service_mode.h"
#include "service_registration/service_registration.h"
#include "test_support.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace {

// The journal texts of the calls these procedures make. Handles are numbered
// by the fake from 256 upwards in steps of 4, in the order they are opened,
// so each expected call also names the handle it must be made on.
const std::string OpenManager = "OpenSCManagerW(NULL, NULL, 0xF003F)";
const std::string ModulePath = "C:\\Apps\\notepadSvc.exe";
const std::string OtherProgram = "C:\\Other\\notepadSvc.exe";

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// Install's check also asks for SERVICE_CHANGE_CONFIG, to tell a record
// marked for deletion; uninstall's asks for SERVICE_QUERY_CONFIG alone.
std::string OpenForCheck(int manager, const std::string& name = "notepadSvc", const std::string& access = "0x3")
{
    return "OpenServiceW(manager#" + std::to_string(manager) + ", " + Quoted(name) + ", " + access + ")";
}

std::string OpenForUninstallCheck(int manager, const std::string& name = "notepadSvc")
{
    return OpenForCheck(manager, name, "0x1");
}

std::string OpenForDeletion(int manager, const std::string& name = "notepadSvc")
{
    return "OpenServiceW(manager#" + std::to_string(manager) + ", " + Quoted(name) + ", 0x10020)";
}

std::string FolderOf(const std::string& path)
{
    return path.substr(0, path.find_last_of('\\') + 1);
}

// The record's program and the host's own file, compared as files, then,
// when they are one file, their folders: each opened for its attributes
// (handles `firstFile` and on), identified, closed. `probes` are the prefixes
// of an unquoted binary path with blanks tried as programs first.
std::vector<std::string> FileCheck(int service, int firstFile, const std::string& program, const std::string& host,
                                   bool sameFile, const std::vector<std::string>& probes = {})
{
    std::vector<std::string> calls = {"QueryServiceConfigW(service#" + std::to_string(service) + ", NULL)",
                                      "QueryServiceConfigW(service#" + std::to_string(service) + ", buffer)"};
    for (const std::string& probe : probes) {
        calls.push_back("GetFileAttributesW(" + Quoted(probe) + ")");
    }
    std::vector<std::pair<std::string, const char*>> opened = {{program, "0x80"}, {host, "0x80"}};
    if (sameFile) {
        opened.insert(opened.end(), {{FolderOf(program), "0x2000000"}, {FolderOf(host), "0x2000000"}});
    }
    int file = firstFile;
    for (const auto& path : opened) {
        const std::string handle = "file#" + std::to_string(file);
        calls.push_back("CreateFileW(" + Quoted(path.first) + ", 0x80, 0x7, NULL, 3, " + path.second + ", NULL)");
        calls.push_back("GetFileInformationByHandleEx(" + handle + ", 18, 24)");
        calls.push_back("CloseHandle(" + handle + ")");
        file += 4;
    }
    return calls;
}

std::vector<std::string> SameFileCheck(int service, int firstFile, const std::string& program = ModulePath)
{
    return FileCheck(service, firstFile, program, ModulePath, true);
}

std::vector<std::string> OtherFileCheck(int service, int firstFile)
{
    return FileCheck(service, firstFile, OtherProgram, ModulePath, false);
}

// A path as the host opens it: with the "\\?\" prefix from MAX_PATH units on.
std::string Openable(const std::string& path)
{
    return path.size() < 260 ? path : "\\\\?\\" + path;
}

// Whether the host's drive is one of the logon session's alone, and whether
// the service manager would read the path as it is written (%NAME%). Then
// who may change what the record would run, on handles from `firstFile` on:
// the owner and access list of the root and of each folder down to the
// host's (each asked for its attributes first, for a link would be
// followed), of each file in that folder (here the host alone), then where
// Windows finds the host, and whether the program is there (it is not). One
// handle for each folder, the listing, the host, and the host again.
std::vector<std::string> PathCheck(int firstFile, const std::string& path = ModulePath, std::string program = "")
{
    const std::string drive = path.substr(0, 2);
    const std::string folder = FolderOf(path);
    const std::string stem = path.substr(folder.size(), path.rfind('.') - folder.size());
    program = program.empty() ? folder + stem.substr(0, stem.size() - 3) + ".exe" : program;
    std::vector<std::string> calls = {
        "GetDriveTypeW(" + Quoted(drive + "\\") + ")", "QueryDosDeviceW(" + Quoted(drive) + ", 32768)",
        "ExpandEnvironmentStringsW(" + Quoted(path) + ", " + std::to_string(path.size() + 1) + ")"};
    int handle = firstFile;
    const auto next = [&handle](const std::string& kind) { return kind + "#" + std::to_string((handle += 4) - 4); };
    const auto judge = [&](const std::string& object) {
        const std::string file = next("file");
        calls.insert(calls.end(),
                     {"CreateFileW(" + Quoted(Openable(object)) + ", 0x20000, 0x7, NULL, 3, 0x2200000, NULL)",
                      "GetSecurityInfo(" + file + ", 1, 0x5, NULL, NULL)", "CloseHandle(" + file + ")"});
    };
    judge(path.substr(0, 3));
    for (std::size_t end = folder.find('\\', 3); end != std::string::npos; end = folder.find('\\', end + 1)) {
        calls.push_back("GetFileAttributesW(" + Quoted(Openable(folder.substr(0, end))) + ")");
        judge(folder.substr(0, end));
    }
    const std::string listing = next("find");
    calls.push_back("FindFirstFileExW(" + Quoted(Openable(folder + "*")) + ", 1, 0, NULL, 0x2)");
    judge(path);
    const std::string file = next("file");
    calls.insert(calls.end(), {"FindNextFileW(" + listing + ")", "FindClose(" + listing + ")",
                               "CreateFileW(" + Quoted(Openable(path)) + ", 0x80, 0x7, NULL, 3, 0x80, NULL)",
                               "GetFinalPathNameByHandleW(" + file + ", 260, 0x0)"});
    if (path.size() + 4 >= 260) {  // "\\\\?\\" and the path: asked again with the size it needs
        calls.push_back("GetFinalPathNameByHandleW(" + file + ", " + std::to_string(path.size() + 5) + ", 0x0)");
    }
    calls.insert(calls.end(), {"CloseHandle(" + file + ")", "GetFileAttributesW(" + Quoted(Openable(program)) + ")"});
    return calls;
}

std::string ChangeNothing(int service)
{
    return "ChangeServiceConfigW(service#" + std::to_string(service) + ", nothing to change)";
}

// Name and display name, all access, own process, demand start, normal error
// control, the binary path, no group, no tag, an empty (not null) dependency
// list, the local system account and no password.
std::string Create(int manager, const std::string& name = "notepadSvc", const std::string& binaryPath = ModulePath)
{
    return "CreateServiceW(manager#" + std::to_string(manager) + ", " + Quoted(name) + ", " + Quoted(name) +
           ", 0xF01FF, 0x10, 3, 1, " + Quoted(binaryPath) + ", NULL, NULL, \"\", NULL, NULL)";
}

std::string CloseManager(int manager)
{
    return "CloseServiceHandle(manager#" + std::to_string(manager) + ")";
}

std::string CloseService(int service)
{
    return "CloseServiceHandle(service#" + std::to_string(service) + ")";
}

std::string Stop(int service)
{
    return "ControlService(service#" + std::to_string(service) + ", 1, ptr)";
}

std::string Delete(int service)
{
    return "DeleteService(service#" + std::to_string(service) + ")";
}

// A box where the user sees it: not in session 0, USER32 loaded from the
// system directory for each function, the window station found visible, then
// the box itself.
std::vector<std::string> Box(const std::string& text)
{
    const std::string loadUser32 = "LoadLibraryExW(\"user32.dll\", NULL, 0x800)";
    return {"ProcessIdToSessionId(3000, ptr)",
            loadUser32,
            loadUser32,
            "GetProcessWindowStation()",
            "GetUserObjectInformationW(window station, 1, ptr, " + std::to_string(sizeof(USEROBJECTFLAGS)) + ", ptr)",
            loadUser32,
            "MessageBoxW(NULL, " + Quoted(text) + ", \"ERROR\", 0x0)"};
}

const std::vector<std::string> ManagerBox = Box("OpenSCManager() 失败!");
const std::vector<std::string> CreateBox = Box("CreateServiceW() 失败!");
const std::vector<std::string> NotDeletedBox = Box("Service could not be deleted");

const std::string RegisterSource = "RegisterEventSourceW(NULL, \"notepadSvc\")";

std::vector<std::string> ReportNotDeleted(int source)
{
    const std::string handle = "event source#" + std::to_string(source);
    return {RegisterSource, "ReportEventW(" + handle + ", 4, 0, 0, NULL, 1, 0, \"Service could not be deleted\", NULL)",
            "DeregisterEventSource(" + handle + ")"};
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> calls;
    for (const std::vector<std::string>& part : parts) {
        calls.insert(calls.end(), part.begin(), part.end());
    }
    return calls;
}

// /uninstall finds this host's record, asks it to stop and deletes it.
const std::vector<std::string> UninstallsThisHost =
    Join({{OpenManager, OpenForUninstallCheck(256)},
          SameFileCheck(260, 264),
          {CloseService(260), OpenForDeletion(256), Stop(280), Delete(280), CloseService(280), CloseManager(256)}});

// The calls made since the given position in the journal.
std::vector<std::string> CallsSince(std::size_t mark)
{
    const std::vector<fake::Call> journal = fake::Journal();
    std::vector<std::string> calls;
    for (std::size_t i = mark; i < journal.size(); ++i) {
        calls.push_back(journal[i].text);
    }
    return calls;
}

// The calls an action made when run through WinMain: those after the command
// line was read.
std::vector<std::string> CallsAfterCommandLine()
{
    const std::vector<fake::Call> journal = fake::Journal();
    for (std::size_t i = 0; i < journal.size(); ++i) {
        if (journal[i].text == "GetCommandLineW()") {
            return CallsSince(i + 1);
        }
    }
    ADD_FAILURE() << "the command line was never read";
    return {};
}

class RegistrationTest : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        SetRunningAsService(false);  // as WinMain leaves it for both actions
        identity_ = IdentityAt(L"C:\\Apps\\notepadSvc.exe");
        mark_ = fake::Journal().size();
    }

    void TearDown() override
    {
        ExpectEveryHandleClosedAndNoneMisused();
        HostTest::TearDown();
    }

    static void ExpectEveryHandleClosedAndNoneMisused()
    {
        EXPECT_EQ(fake::OpenHandleCount(), 0);
        EXPECT_EQ(fake::Misuses(), std::vector<std::string>{});
    }

    // The calls made since set-up, that is, by the procedure under test.
    std::vector<std::string> Calls() const { return CallsSince(mark_); }

    HostIdentity identity_;
    std::size_t mark_ = 0;
};

// One row per path through the two procedures.

enum class Action { Install, Uninstall };

// What stands under the host's name beforehand.
enum class Existing {
    None,
    ThisHost,              // a record of this very file
    ThisHostShortForm,     // the same, its path quoted and in 8.3 form
    ThisHostBeingDeleted,  // deleted by another client that still holds it open
    OtherProgram,          // a host of the same name in another folder
};

struct Failure {
    const char* operation;
    int nth;  // 0: every call
};

struct PathCase {
    const char* name;
    Action action;
    Existing existing;
    bool running;
    std::vector<Failure> failures;
    std::vector<std::string> calls;  // everything the procedure calls, in order
    std::vector<std::wstring> boxes;
    std::vector<std::wstring> events;
    bool presentAfter;
    std::vector<DWORD> controlsAfter;  // controls the remaining record received
};

void PrintTo(const PathCase& row, std::ostream* out)
{
    *out << row.name;
}

class RegistrationPaths : public RegistrationTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RegistrationPaths, MakesExactlyTheseCallsAndShowsExactlyThis)
{
    const PathCase& row = GetParam();
    std::wstring binaryPath = L"C:\\Apps\\notepadSvc.exe";
    if (row.existing == Existing::ThisHostShortForm) {
        fake::AddShortPath(L"C:\\APPS\\NOTEPA~1.EXE", binaryPath);
        binaryPath = L"\"C:\\APPS\\NOTEPA~1.EXE\"";
    } else if (row.existing == Existing::OtherProgram) {
        binaryPath = L"C:\\Other\\notepadSvc.exe";
        fake::AddFile(binaryPath);
    }
    if (row.existing != Existing::None) {
        fake::AddService(L"notepadSvc", row.running, binaryPath);
    }
    if (row.existing == Existing::ThisHostBeingDeleted) {
        fake::HoldService(L"notepadSvc");
        fake::MarkForDeletion(L"notepadSvc");
    }
    for (const Failure& failure : row.failures) {
        fake::FailCall(failure.operation, failure.nth);
    }

    const DWORD exitCode =
        row.action == Action::Install ? InstallService(identity_.ModulePath) : UninstallService(identity_.ModulePath);

    EXPECT_EQ(Calls(), row.calls);
    // A deployment tool reads the exit code alone: every failure the user is
    // shown says so there too.
    EXPECT_EQ(exitCode != ERROR_SUCCESS, !row.boxes.empty()) << exitCode;
    std::vector<std::wstring> boxTexts;
    for (const fake::Box& box : fake::Boxes()) {
        boxTexts.push_back(box.text);
        EXPECT_TRUE(box.ownerNull);
        EXPECT_EQ(box.caption, L"ERROR");
        EXPECT_EQ(box.type, MB_OK);
    }
    EXPECT_EQ(boxTexts, row.boxes);
    EXPECT_EQ(fake::EventTexts(), row.events);
    for (const fake::Event& event : fake::Events()) {
        EXPECT_EQ(event.source, L"notepadSvc");
    }
    ASSERT_EQ(fake::HasService(L"notepadSvc"), row.presentAfter);
    if (row.presentAfter) {
        EXPECT_EQ(fake::Service(L"notepadSvc").controls, row.controlsAfter);
        if (row.existing != Existing::None) {
            EXPECT_EQ(fake::Service(L"notepadSvc").binaryPath, binaryPath);
        }
    }
}

const std::vector<std::wstring> NoBoxes;
const std::vector<std::wstring> NoEvents;
const std::vector<std::wstring> NotDeleted{L"Service could not be deleted"};

INSTANTIATE_TEST_SUITE_P(
    Install, RegistrationPaths,
    ::testing::Values(PathCase{"Absent_CreatesTheRecordAndClosesBothHandles",
                               Action::Install,
                               Existing::None,
                               false,
                               {},
                               Join({{OpenManager, OpenForCheck(256)},
                                     PathCheck(260),
                                     {Create(256), CloseService(280), CloseManager(256)}}),
                               NoBoxes,
                               NoEvents,
                               true,
                               {}},
                      PathCase{"AlreadyInstalled_NothingAtAll",
                               Action::Install,
                               Existing::ThisHost,
                               false,
                               {},
                               Join({{OpenManager, OpenForCheck(256), ChangeNothing(260)},
                                     SameFileCheck(260, 264),
                                     {CloseService(260), CloseManager(256)}}),
                               NoBoxes,
                               NoEvents,
                               true,
                               {}},
                      // Case, quotes and the 8.3 form do not make another program of it.
                      PathCase{"InstalledUnderAnotherFormOfItsPath_NothingAtAll",
                               Action::Install,
                               Existing::ThisHostShortForm,
                               false,
                               {},
                               Join({{OpenManager, OpenForCheck(256), ChangeNothing(260)},
                                     SameFileCheck(260, 264, "C:\\APPS\\NOTEPA~1.EXE"),
                                     {CloseService(260), CloseManager(256)}}),
                               NoBoxes,
                               NoEvents,
                               true,
                               {}},
                      PathCase{"ManagerRefused_Box",
                               Action::Install,
                               Existing::None,
                               false,
                               {{"OpenSCManagerW", 0}},
                               Join({{OpenManager}, ManagerBox}),
                               {L"OpenSCManager() 失败!"},
                               NoEvents,
                               false,
                               {}},
                      PathCase{"CreationFails_BoxThenClosesTheManager",
                               Action::Install,
                               Existing::None,
                               false,
                               {{"CreateServiceW", 0}},
                               Join({{OpenManager, OpenForCheck(256)},
                                     PathCheck(260),
                                     {Create(256), OpenForCheck(256)},
                                     CreateBox,
                                     {CloseManager(256)}}),
                               {L"CreateServiceW() 失败!"},
                               NoEvents,
                               false,
                               {}},
                      // The service exists after all: it is looked at again, and it is this
                      // very file's (as when another /install of it got there first).
                      PathCase{"CheckCannotOpenTheServiceOfThisFile_LooksAgainWhenTheCreationFailsAndShowsNothing",
                               Action::Install,
                               Existing::ThisHost,
                               false,
                               {{"OpenServiceW", 1}},
                               Join({{OpenManager, OpenForCheck(256)},
                                     PathCheck(260),
                                     {Create(256), OpenForCheck(256), ChangeNothing(280)},
                                     SameFileCheck(280, 284),
                                     {CloseService(280), CloseManager(256)}}),
                               NoBoxes,
                               NoEvents,
                               true,
                               {}},
                      // Not this host's service: the user learns that the name is taken
                      // instead of being told nothing while the service runs another file.
                      PathCase{"RecordOfAnotherProgram_TriesToCreateAndShowsTheBox",
                               Action::Install,
                               Existing::OtherProgram,
                               false,
                               {},
                               Join({{OpenManager, OpenForCheck(256), ChangeNothing(260)},
                                     OtherFileCheck(260, 264),
                                     {CloseService(260)},
                                     PathCheck(272),
                                     {Create(256), OpenForCheck(256), ChangeNothing(292)},
                                     OtherFileCheck(292, 296),
                                     {CloseService(292)},
                                     CreateBox,
                                     {CloseManager(256)}}),
                               {L"CreateServiceW() 失败!"},
                               NoEvents,
                               true,
                               {}}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Uninstall, RegistrationPaths,
                         ::testing::Values(
                             // The stop is sent and the record deleted at once: nothing waits or
                             // polls between them.
                             PathCase{"Running_StopsAndDeletesWithoutWaiting",
                                      Action::Uninstall,
                                      Existing::ThisHost,
                                      true,
                                      {},
                                      UninstallsThisHost,
                                      NoBoxes,
                                      NoEvents,
                                      false,
                                      {}},
                             // A stopped service refuses the stop control; that result is ignored.
                             PathCase{"Stopped_TheRefusedStopDoesNotPreventDeletion",
                                      Action::Uninstall,
                                      Existing::ThisHost,
                                      false,
                                      {},
                                      UninstallsThisHost,
                                      NoBoxes,
                                      NoEvents,
                                      false,
                                      {}},
                             PathCase{"Absent_NothingAtAll",
                                      Action::Uninstall,
                                      Existing::None,
                                      false,
                                      {},
                                      {OpenManager, OpenForUninstallCheck(256), CloseManager(256)},
                                      NoBoxes,
                                      NoEvents,
                                      false,
                                      {}},
                             // A service that exists but will not open is not absent.
                             PathCase{"CheckCannotOpenAnExistingService_EventAndBox",
                                      Action::Uninstall,
                                      Existing::ThisHost,
                                      true,
                                      {{"OpenServiceW", 1}},
                                      Join({{OpenManager, OpenForUninstallCheck(256), CloseManager(256)},
                                            ReportNotDeleted(260),
                                            NotDeletedBox}),
                                      {L"Service could not be deleted"},
                                      NotDeleted,
                                      true,
                                      {}},
                             PathCase{"ServiceWillNotOpenForDeletion_ClosesTheManagerThenEventAndBox",
                                      Action::Uninstall,
                                      Existing::ThisHost,
                                      true,
                                      {{"OpenServiceW", 2}},
                                      Join({{OpenManager, OpenForUninstallCheck(256)},
                                            SameFileCheck(260, 264),
                                            {CloseService(260), OpenForDeletion(256), CloseManager(256)},
                                            ReportNotDeleted(280),
                                            NotDeletedBox}),
                                      {L"Service could not be deleted"},
                                      NotDeleted,
                                      true,
                                      {}},
                             PathCase{"DeletionFails_TheStopWasStillSentThenEventAndBox",
                                      Action::Uninstall,
                                      Existing::ThisHost,
                                      true,
                                      {{"DeleteService", 0}},
                                      Join({UninstallsThisHost, ReportNotDeleted(284), NotDeletedBox}),
                                      {L"Service could not be deleted"},
                                      NotDeleted,
                                      true,
                                      {SERVICE_CONTROL_STOP}},
                             // A service of our name that runs another file (a system service, a
                             // copy of the host in another folder) is neither stopped nor deleted.
                             PathCase{"RecordOfAnotherProgram_LeftAloneWithAnEventAndABox",
                                      Action::Uninstall,
                                      Existing::OtherProgram,
                                      true,
                                      {},
                                      Join({{OpenManager, OpenForUninstallCheck(256)},
                                            OtherFileCheck(260, 264),
                                            {CloseService(260), CloseManager(256)},
                                            ReportNotDeleted(272),
                                            NotDeletedBox}),
                                      {L"Service could not be deleted"},
                                      NotDeleted,
                                      true,
                                      {}},
                             // A deletion already under way is as good as done.
                             PathCase{"RecordBeingDeleted_NothingToReport",
                                      Action::Uninstall,
                                      Existing::ThisHostBeingDeleted,
                                      true,
                                      {},
                                      UninstallsThisHost,
                                      NoBoxes,
                                      NoEvents,
                                      true,
                                      {SERVICE_CONTROL_STOP}}),
                         [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

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
                    PathCheck(260, "D:\\Elsewhere\\other.exe", "D:\\Elsewhere\\notepad.exe"),
                    {Create(256, "notepadSvc", "D:\\Elsewhere\\other.exe"), CloseService(280), CloseManager(256)}}));
}

// Reinstalled while a services console holds the deleted record: the record
// goes only when the console lets go. Waited for 10 s, by the clock.
TEST_F(RegistrationTest, ARecordStillBeingDeletedIsWaitedForTenSecondsThenTheBox)
{
    fake::AddService(L"notepadSvc", false, L"C:\\Apps\\notepadSvc.exe");
    fake::HoldService(L"notepadSvc");
    fake::MarkForDeletion(L"notepadSvc");
    InstallService(identity_.ModulePath);

    const std::vector<std::string> sleeps = fake::CallsNamed("Sleep");
    EXPECT_EQ(sleeps, std::vector<std::string>(sleeps.size(), "Sleep(100)"));
    EXPECT_GE(fake::Now(), 10000);
    EXPECT_LT(fake::Now(), 10000 + 110);
    EXPECT_EQ(fake::CallsNamed("CreateServiceW").size(), 1u);
    ASSERT_EQ(fake::Boxes().size(), 1u);
    EXPECT_EQ(fake::Boxes()[0].text, L"CreateServiceW() 失败!");
}

// Under UAC a prompt that is not elevated may not open the service manager
// with full access: /uninstall says so instead of passing for done.
TEST_F(RegistrationTest, AnUninstallFromAPromptThatIsNotElevatedSaysSo)
{
    fake::AddService(L"notepadSvc", true, L"C:\\Apps\\notepadSvc.exe");
    fake::SetElevated(false);
    UninstallService(identity_.ModulePath);

    ASSERT_EQ(fake::Boxes().size(), 1u);
    EXPECT_EQ(fake::Boxes()[0].text, L"OpenSCManager() 失败!");
    EXPECT_TRUE(fake::HasService(L"notepadSvc"));
    EXPECT_TRUE(fake::Service(L"notepadSvc").controls.empty());
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

// A deployment tool runs /install where nobody sees a box: the failure goes
// to its log of standard error, the console's user and the event log, and
// nothing waits for an answer.
TEST_F(RegistrationTest, AnUnattendedInstallThatFailsWaitsForNobody)
{
    fake::SetWindowStationVisible(false);
    fake::SetStandardError(true);
    fake::FailCall("CreateServiceW");
    InstallService(identity_.ModulePath);

    EXPECT_TRUE(fake::Boxes().empty());
    const int bytesOfText = 20 * static_cast<int>(sizeof(wchar_t));
    const int bytesOfCaption = 5 * static_cast<int>(sizeof(wchar_t));
    EXPECT_EQ(fake::CallsNamed("WTSSendMessageW"),
              (std::vector<std::string>{"WTSSendMessageW(NULL, 1, \"ERROR\", " + std::to_string(bytesOfCaption) +
                                        ", \"CreateServiceW() 失败!\", " + std::to_string(bytesOfText) +
                                        ", 0x0, 0, ptr, 0)"}));
    EXPECT_EQ(fake::StandardError(), "CreateServiceW() 失败!\r\n");
    ASSERT_EQ(fake::EventTexts(), (std::vector<std::wstring>{L"CreateServiceW() 失败!"}));
    EXPECT_EQ(fake::Events()[0].type, EVENTLOG_INFORMATION_TYPE);
}

// Through WinMain, as an administrator runs the host.

TEST_F(RegistrationTest, InstallingTwiceLeavesTheFirstRecordAndShowsNothing)
{
    fake::SetCommandLine(L"C:\\Apps\\notepadSvc.exe /install");
    ASSERT_EQ(fake::RunHost(), 0);
    ASSERT_TRUE(fake::HasService(L"notepadSvc"));
    const fake::ServiceRecord first = fake::Service(L"notepadSvc");

    const std::size_t secondRun = fake::Journal().size();
    EXPECT_EQ(fake::RunHost(), 0);

    // Handles 256 to 280 went to the first run.
    EXPECT_EQ(CallsSince(secondRun), Join({{"SetDefaultDllDirectories(0x800)", "GetModuleFileNameW(NULL, 260)",
                                            "GetLongPathNameW(\"C:\\Apps\\notepadSvc.exe\", 23)", "GetCommandLineW()",
                                            OpenManager, OpenForCheck(284), ChangeNothing(288)},
                                           SameFileCheck(288, 292),
                                           {CloseService(288), CloseManager(284)}}));
    EXPECT_EQ(fake::CallsNamed("CreateServiceW").size(), 1u);
    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_TRUE(fake::Events().empty());
    const fake::ServiceRecord second = fake::Service(L"notepadSvc");
    EXPECT_EQ(second.name, first.name);
    EXPECT_EQ(second.displayName, first.displayName);
    EXPECT_EQ(second.access, first.access);
    EXPECT_EQ(second.type, first.type);
    EXPECT_EQ(second.startType, first.startType);
    EXPECT_EQ(second.errorControl, first.errorControl);
    EXPECT_EQ(second.binaryPath, first.binaryPath);
    EXPECT_EQ(second.dependencies, first.dependencies);
    EXPECT_EQ(second.dependenciesNull, first.dependenciesNull);
    EXPECT_EQ(second.groupNull, first.groupNull);
    EXPECT_EQ(second.tagNull, first.tagNull);
    EXPECT_EQ(second.accountNull, first.accountNull);
    EXPECT_EQ(second.passwordNull, first.passwordNull);
    EXPECT_EQ(second.controls, first.controls);
}

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
                                                  CloseService(280), CloseManager(256)}}));
    }
    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_TRUE(fake::Events().empty());
}

// A module path longer than one MAX_PATH buffer, registered whole.
const std::wstring LongDirectory = L"C:\\" + std::wstring(280, L'd');
const std::wstring LongModulePath = LongDirectory + L"\\longSvc.exe";
const std::string LongBinaryPath = "C:\\" + std::string(280, 'd') + "\\longSvc.exe";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, RegistrationRoutes,
    ::testing::Values(RouteCase{"Install", L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepadSvc.exe /install",
                                Action::Install, "notepadSvc", "C:\\Apps\\notepadSvc.exe"},
                      RouteCase{"InstallInCapitalsFromAPathWithBlanks", L"C:\\Program Files\\X\\notepadSvc.exe",
                                L"\"C:\\Program Files\\X\\notepadSvc.exe\" /INSTALL", Action::Install, "notepadSvc",
                                "\"C:\\Program Files\\X\\notepadSvc.exe\""},
                      RouteCase{"InstallFromAPathLongerThanMaxPath", LongModulePath.c_str(), L"longSvc.exe /install",
                                Action::Install, "longSvc", LongBinaryPath.c_str()},
                      RouteCase{"Uninstall", L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepadSvc.exe /uninstall",
                                Action::Uninstall, "notepadSvc", ""},
                      RouteCase{"UninstallInCapitalsFromAPathWithBlanks", L"C:\\Program Files\\X\\toolSvc.exe",
                                L"\"C:\\Program Files\\X\\toolSvc.exe\" /UNINSTALL", Action::Uninstall, "toolSvc", ""}),
    [](const ::testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

}  // namespace
