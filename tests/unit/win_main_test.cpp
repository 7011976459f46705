#include "test_support.h"

namespace {

class WinMainTest : public HostTest {
protected:
    static void Dirty()
    {
        ServiceStatus = SERVICE_STATUS{7, 7, 7, 7, 7, 7, 7};
        StatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0xBAD});
    }
};

TEST_F(WinMainTest, PutsTheServiceStatusIntoItsInitialStateWhateverTheCommand)
{
    for (const wchar_t* commandLine : {L"host.exe /install", L"host.exe /uninstall", L"host.exe"}) {
        fake::Reset();
        fake::SetCommandLine(commandLine);
        Dirty();
        EXPECT_EQ(fake::RunHost(),
                  std::wstring(commandLine) == L"host.exe" ? ERROR_FAILED_SERVICE_CONTROLLER_CONNECT : 0);
        EXPECT_EQ(ServiceStatus.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(ServiceStatus.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(ServiceStatus.dwControlsAccepted, SERVICE_ACCEPT_STOP);
        EXPECT_EQ(ServiceStatus.dwWin32ExitCode, 0u);
        EXPECT_EQ(ServiceStatus.dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(ServiceStatus.dwCheckPoint, 0u);
        EXPECT_EQ(ServiceStatus.dwWaitHint, 0u);
        EXPECT_EQ(StatusHandle, nullptr);
    }
}

// Before anything can load a DLL, the search is kept to the system directory;
// then the identity comes from the long form of the module path.
TEST_F(WinMainTest, RestrictsTheDllSearchThenDerivesTheIdentityBeforeLookingAtTheCommandLine)
{
    fake::RunHost();
    const std::vector<fake::Call> journal = fake::Journal();
    ASSERT_GE(journal.size(), 4u);
    EXPECT_EQ(journal[0].text, "SetDefaultDllDirectories(0x800)");
    EXPECT_EQ(journal[1].text, "GetModuleFileNameW(NULL, 260)");
    EXPECT_EQ(journal[2].text, "GetLongPathNameW(\"C:\\Apps\\notepadSvc.exe\", 23)");
    EXPECT_EQ(journal[3].text, "GetCommandLineW()");
}

struct RouteCase {
    const wchar_t* commandLine;
    const char* route;
};

class WinMainRoutes : public HostTest, public ::testing::WithParamInterface<RouteCase> {};

// Which action ran, told by its first call to the platform.
std::string RouteTaken()
{
    for (const fake::Call& call : fake::Journal()) {
        if (call.text.rfind("OpenSCManagerW", 0) == 0) {
            return "install or uninstall";
        }
        if (call.text.rfind("StartServiceCtrlDispatcherW", 0) == 0) {
            return "service";
        }
    }
    return "none";
}

TEST_P(WinMainRoutes, ChoosesTheActionByTheWholeTextAfterTheProgramName)
{
    fake::SetCommandLine(GetParam().commandLine);
    // Started by hand, the service's dispatcher cannot connect, and says so.
    EXPECT_EQ(fake::RunHost(),
              std::string(GetParam().route) == "service" ? ERROR_FAILED_SERVICE_CONTROLLER_CONNECT : ERROR_SUCCESS);
    EXPECT_EQ(RouteTaken(), GetParam().route);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, WinMainRoutes,
    ::testing::Values(RouteCase{L"C:\\Apps\\notepadSvc.exe /install", "install or uninstall"},
                      RouteCase{L"\"C:\\Program Files\\notepadSvc.exe\" /INSTALL", "install or uninstall"},
                      RouteCase{L"notepadSvc.exe \t/Uninstall", "install or uninstall"},
                      RouteCase{L"notepadSvc.exe", "service"}, RouteCase{L"notepadSvc.exe /foo", "service"},
                      // A batch line's trailing blank; a tool that quotes its arguments.
                      RouteCase{L"notepadSvc.exe /install ", "install or uninstall"},
                      RouteCase{L"notepadSvc.exe \"/uninstall\"", "install or uninstall"},
                      RouteCase{L"notepadSvc.exe /install now", "service"},
                      RouteCase{L"notepadSvc.exe -install", "service"}, RouteCase{L"notepadSvc.exe install", "service"},
                      RouteCase{L"notepadSvc.exe \xFF0Finstall", "service"},
                      // What the service manager gives a host registered unquoted with blanks.
                      RouteCase{L"C:\\Program Files\\X\\notepadSvc.exe", "service"}));

TEST_F(WinMainTest, InstallAndUninstallAreToldApartAndNeitherStartsTheDispatcher)
{
    fake::SetCommandLine(L"notepadSvc.exe /install");
    fake::RunHost();
    EXPECT_TRUE(fake::HasService(L"notepadSvc"));
    EXPECT_TRUE(fake::CallsNamed("StartServiceCtrlDispatcherW").empty());

    fake::SetCommandLine(L"notepadSvc.exe /uninstall");
    fake::RunHost();
    EXPECT_FALSE(fake::HasService(L"notepadSvc"));
    EXPECT_TRUE(fake::CallsNamed("StartServiceCtrlDispatcherW").empty());
}

TEST_F(WinMainTest, StartedByHandTheDispatcherFailsAndOneErrorEventIsReported)
{
    fake::SetCommandLine(L"C:\\Apps\\notepadSvc.exe");
    EXPECT_EQ(fake::RunHost(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(fake::CallsNamed("StartServiceCtrlDispatcherW"),
              (std::vector<std::string>{"StartServiceCtrlDispatcherW(\"notepadSvc\", main, end)"}));
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{L"Register Service Main Function Error!"}));
    EXPECT_EQ(fake::Events()[0].source, L"notepadSvc");
    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_EQ(fake::OpenHandleCount(), 0);
}

// The program's console is made while the dispatcher connects, but never
// where a user may see it flash; where nobody can (session 0), it is left.
TEST_F(WinMainTest, StartedByHandTheHostShowsNoConsoleAndKeepsNone)
{
    fake::SetChildImage(L"C:\\Apps\\notepad.exe", IMAGE_SUBSYSTEM_WINDOWS_CUI);
    fake::RunHost();
    EXPECT_TRUE(fake::CallsNamed("AllocConsole").empty());
    fake::SetSession(0);
    fake::RunHost();
    EXPECT_EQ(fake::CallsNamed("FreeConsole").size(), 1u);
    EXPECT_EQ(fake::OpenHandleCount(), 0);
}

TEST_F(WinMainTest, StartedByHandWithoutAnEventLogTheUserSeesTheBox)
{
    fake::FailCall("RegisterEventSourceW");
    EXPECT_EQ(fake::RunHost(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    ASSERT_EQ(fake::Boxes().size(), 1u);
    EXPECT_EQ(fake::Boxes()[0].text, L"RegisterEventSource() Failed!");
}

}  // namespace
