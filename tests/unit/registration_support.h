// The registration tests' shared ground: the journal texts of the calls
// InstallService and UninstallService make, the fixture that checks every
// handle closed and none misused, and the table of paths through both.
#pragma once

#include "host_core/service_mode.h"
#include "service_registration/service_registration.h"
#include "test_support.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

// The journal texts of the calls these procedures make. Handles are numbered
// by the fake from 256 upwards in steps of 4, in the order they are opened,
// so each expected call also names the handle it must be made on.
const std::string OpenManager = "OpenSCManagerW(NULL, NULL, 0xF003F)";
const std::string ModulePath = "C:\\Apps\\notepadSvc.exe";
const std::string OtherProgram = "C:\\Other\\notepadSvc.exe";

inline std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// Install's check also asks for SERVICE_CHANGE_CONFIG, to tell a record
// marked for deletion; uninstall's asks for SERVICE_QUERY_CONFIG alone.
inline std::string OpenForCheck(int manager, const std::string& name = "notepadSvc", const std::string& access = "0x3")
{
    return "OpenServiceW(manager#" + std::to_string(manager) + ", " + Quoted(name) + ", " + access + ")";
}

inline std::string OpenForUninstallCheck(int manager, const std::string& name = "notepadSvc")
{
    return OpenForCheck(manager, name, "0x1");
}

inline std::string OpenForDeletion(int manager, const std::string& name = "notepadSvc")
{
    return "OpenServiceW(manager#" + std::to_string(manager) + ", " + Quoted(name) + ", 0x10020)";
}

inline std::string FolderOf(const std::string& path)
{
    return path.substr(0, path.find_last_of('\\') + 1);
}

// A whole path as the host opens it: exactly as spelled, with "\\?\".
inline std::string Exact(const std::string& path)
{
    return path.compare(0, 2, "\\\\") == 0 ? "\\\\?\\UNC\\" + path.substr(2) : "\\\\?\\" + path;
}

// The record's program and the host's own file, compared as files, then,
// when they are one file, their folders: each opened for its attributes
// (handles `firstFile` and on), identified, closed. `probes` are the prefixes
// of an unquoted binary path with blanks tried as programs first.
inline std::vector<std::string> FileCheck(int service, int firstFile, const std::string& program,
                                          const std::string& host, bool sameFile,
                                          const std::vector<std::string>& probes = {})
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
        calls.push_back("CreateFileW(" + Quoted(Exact(path.first)) + ", 0x80, 0x7, NULL, 3, " + path.second +
                        ", NULL)");
        calls.push_back("GetFileInformationByHandleEx(" + handle + ", 18, 24)");
        calls.push_back("CloseHandle(" + handle + ")");
        file += 4;
    }
    return calls;
}

inline std::vector<std::string> SameFileCheck(int service, int firstFile, const std::string& program = ModulePath)
{
    return FileCheck(service, firstFile, program, ModulePath, true);
}

inline std::vector<std::string> OtherFileCheck(int service, int firstFile)
{
    return FileCheck(service, firstFile, OtherProgram, ModulePath, false);
}

// Whether the host's drive is one of the logon session's alone, and whether
// the service manager would read the path as it is written (%NAME%). Then
// who may change what the record would run, on handles from `firstFile` on:
// the owner and access list of the root and of each folder down to the
// host's (each asked for its attributes first, for a link would be
// followed), where Windows finds that folder, and each file in it (here the
// host alone) with where Windows finds it. One handle for each folder, the
// folder again, the listing and the host. A record already there is judged
// by the long form of the path it runs, `recorded`.
inline std::vector<std::string> PathCheck(int firstFile, const std::string& path = ModulePath,
                                          const std::string& recorded = "")
{
    const std::string drive = path.substr(0, 2);
    const std::string folder = FolderOf(path);
    std::vector<std::string> calls = {
        "GetDriveTypeW(" + Quoted(drive + "\\") + ")", "QueryDosDeviceW(" + Quoted(drive) + ", 32768)",
        "ExpandEnvironmentStringsW(" + Quoted(path) + ", " + std::to_string(path.size() + 1) + ")"};
    if (!recorded.empty()) {
        calls = {"GetLongPathNameW(" + Quoted(recorded) + ", " + std::to_string(recorded.size() + 1) + ")"};
        if (recorded.size() < path.size()) {  // asked again with the size it needs
            calls.push_back("GetLongPathNameW(" + Quoted(recorded) + ", " + std::to_string(path.size() + 1) + ")");
        }
    }
    int handle = firstFile;
    const auto next = [&handle](const std::string& kind) { return kind + "#" + std::to_string((handle += 4) - 4); };
    const auto finalPath = [&](const std::string& file, const std::string& object) {
        calls.push_back("GetFinalPathNameByHandleW(" + file + ", 260, 0x0)");
        if (object.size() + 4 >= 260) {  // "\\?\" and the path: asked again with the size it needs
            calls.push_back("GetFinalPathNameByHandleW(" + file + ", " + std::to_string(object.size() + 5) + ", 0x0)");
        }
    };
    const auto judge = [&](const std::string& object, bool listed) {
        const std::string file = next("file");
        calls.push_back("CreateFileW(" + Quoted(Exact(object)) + ", 0x20000, 0x7, NULL, 3, 0x2200000, NULL)");
        if (listed) {
            finalPath(file, object);
        }
        calls.insert(calls.end(), {"GetSecurityInfo(" + file + ", 1, 0x5, NULL, NULL)", "CloseHandle(" + file + ")"});
    };
    judge(path.substr(0, 3), false);
    for (std::size_t end = folder.find('\\', 3); end != std::string::npos; end = folder.find('\\', end + 1)) {
        calls.push_back("GetFileAttributesW(" + Quoted(Exact(folder.substr(0, end))) + ")");
        judge(folder.substr(0, end), false);
    }
    const std::string again = next("file");
    calls.push_back("CreateFileW(" + Quoted(Exact(folder.substr(0, folder.size() - 1))) +
                    ", 0x80, 0x7, NULL, 3, 0x2000000, NULL)");
    finalPath(again, folder.substr(0, folder.size() - 1));
    calls.push_back("CloseHandle(" + again + ")");
    const std::string listing = next("find");
    calls.push_back("FindFirstFileExW(" + Quoted(Exact(folder + "*")) + ", 1, 0, NULL, 0x2)");
    judge(path, true);
    calls.insert(calls.end(), {"FindNextFileW(" + listing + ")", "FindClose(" + listing + ")"});
    return calls;
}

inline std::string ChangeNothing(int service)
{
    return "ChangeServiceConfigW(service#" + std::to_string(service) + ", nothing to change)";
}

// Name and display name, all access, own process, demand start, normal error
// control, the binary path, no group, no tag, an empty (not null) dependency
// list, the local system account and no password.
inline std::string Create(int manager, const std::string& name = "notepadSvc",
                          const std::string& binaryPath = ModulePath)
{
    return "CreateServiceW(manager#" + std::to_string(manager) + ", " + Quoted(name) + ", " + Quoted(name) +
           ", 0xF01FF, 0x10, 3, 1, " + Quoted(binaryPath) + ", NULL, NULL, \"\", NULL, NULL)";
}

inline std::string CloseManager(int manager)
{
    return "CloseServiceHandle(manager#" + std::to_string(manager) + ")";
}

inline std::string CloseService(int service)
{
    return "CloseServiceHandle(service#" + std::to_string(service) + ")";
}

inline std::string Stop(int service)
{
    return "ControlService(service#" + std::to_string(service) + ", 1, ptr)";
}

inline std::string Delete(int service)
{
    return "DeleteService(service#" + std::to_string(service) + ")";
}

// A box where the user sees it: not in session 0, USER32 loaded from the
// system directory for each function, the window station found visible, then
// the box itself.
inline std::vector<std::string> Box(const std::string& text)
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

inline std::vector<std::string> ReportNotDeleted(int source)
{
    const std::string handle = "event source#" + std::to_string(source);
    return {RegisterSource, "ReportEventW(" + handle + ", 4, 0, 0, NULL, 1, 0, \"Service could not be deleted\", NULL)",
            "DeregisterEventSource(" + handle + ")"};
}

inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> calls;
    for (const std::vector<std::string>& part : parts) {
        calls.insert(calls.end(), part.begin(), part.end());
    }
    return calls;
}

// /uninstall finds this host's record, asks it to stop, deletes it and sees
// it gone.
const std::vector<std::string> UninstallsThisHost =
    Join({{OpenManager, OpenForUninstallCheck(256)},
          SameFileCheck(260, 264),
          {CloseService(260), OpenForDeletion(256), Stop(280), Delete(280), CloseService(280), OpenForCheck(256),
           CloseManager(256)}});

// The calls made since the given position in the journal.
inline std::vector<std::string> CallsSince(std::size_t mark)
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
inline std::vector<std::string> CallsAfterCommandLine()
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

inline void PrintTo(const PathCase& row, std::ostream* out)
{
    *out << row.name;
}

class RegistrationPaths : public RegistrationTest, public ::testing::WithParamInterface<PathCase> {};

const std::vector<std::wstring> NoBoxes;
const std::vector<std::wstring> NoEvents;
const std::vector<std::wstring> NotDeleted{L"Service could not be deleted"};
