#include "service_runtime/service_runtime.h"
#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <thread>

namespace {

using fake::Child;

// The host started by the service manager, on a thread of its own so that
// the test can play the operator.
class ServiceRun : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        fake::SetStartedByServiceManager(true);
    }
    void TearDown() override
    {
        if (host_.joinable()) {
            host_.join();
        }
        HostTest::TearDown();
    }

    void Start()
    {
        host_ = std::thread([this] {
            exitCode_ = fake::RunHost();
            finished_ = true;
        });
    }

    // Waits (in real time) for the host to end; false if it hung.
    bool Finish()
    {
        const bool ended = fake::WaitUntil([this] { return finished_.load(); });
        if (ended) {
            host_.join();
        }
        return ended;
    }

    // The child runs and its launch has been reported.
    static bool ChildStarted()
    {
        return fake::WaitUntil([] { return !fake::Children().empty() && !fake::EventTexts().empty(); });
    }

    // Sends a control and returns the fake time at which it was sent.
    static long long Control(DWORD control)
    {
        const long long sent = fake::Now();
        fake::SendControl(control);
        return sent;
    }

    // Starts the host with a child of this kind, stops it once the child
    // runs, and returns the fake time of the request once the host has ended.
    long long StartAndStop(Child kind)
    {
        fake::SetChild(kind);
        fake::SetRealMicrosecondsPerSleepMs(20);
        Start();
        EXPECT_TRUE(ChildStarted());
        const long long requested = Control(SERVICE_CONTROL_STOP);
        EXPECT_TRUE(Finish()) << "the stop hung";
        return requested;
    }

    std::thread host_;
    std::atomic<int> exitCode_{-1};
    std::atomic<bool> finished_{false};
};

// No control accepted while starting; a start reports RUNNING at once, a
// stop takes 4 s.
SERVICE_STATUS Status(DWORD state)
{
    const bool starting = state == SERVICE_START_PENDING;
    const bool pending = starting || state == SERVICE_STOP_PENDING;
    return SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS,
                          state,
                          starting ? 0u : SERVICE_ACCEPT_STOP,
                          0,
                          0,
                          pending ? 1u : 0u,
                          starting  ? 1000u
                          : pending ? 5000u
                                    : 0u};
}

// "thread:state" for each report, followed by " (win32, specific)" when it
// carries exit codes; every other field checked as fixed.
std::vector<std::string> Reports()
{
    std::vector<std::string> reports;
    for (const fake::StatusReport& report : fake::StatusReports()) {
        EXPECT_TRUE(report.handleValid);
        SERVICE_STATUS expected = Status(report.status.dwCurrentState);
        expected.dwWin32ExitCode = report.status.dwWin32ExitCode;
        expected.dwServiceSpecificExitCode = report.status.dwServiceSpecificExitCode;
        EXPECT_EQ(0, std::memcmp(&report.status, &expected, sizeof expected))
            << "a field other than the state moved in a report of state " << report.status.dwCurrentState;
        std::string text = report.thread + ":" + std::to_string(report.status.dwCurrentState);
        if (report.status.dwWin32ExitCode != 0 || report.status.dwServiceSpecificExitCode != 0) {
            text += " (" + std::to_string(report.status.dwWin32ExitCode) + ", " +
                    std::to_string(report.status.dwServiceSpecificExitCode) + ")";
        }
        reports.push_back(text);
    }
    return reports;
}

// A sleep to a deadline ends at the first clock tick (15.625 ms) at or after
// it: the host's 4000 ms are kept to within one tick.
void ExpectAtTheTickOf(long long time, long long deadline)
{
    EXPECT_GE(time, deadline);
    EXPECT_LT(time, deadline + 16);
}

long long TimeOfLastReport()
{
    const std::vector<fake::StatusReport> reports = fake::StatusReports();
    return reports.empty() ? -1 : reports.back().time;
}

// Each thread writes "Service stopped" before its STOPPED report: once that
// report is made the process may end at any moment.
void ExpectStoppedEventBeforeEachStoppedReport()
{
    std::map<std::string, std::string> lastEventOfThread;
    int stoppedReports = 0;
    for (const fake::Call& call : fake::Journal()) {
        if (call.text.rfind("ReportEventW", 0) == 0) {
            lastEventOfThread[call.thread] = call.text;
        }
        if (call.text.rfind("SetServiceStatus", 0) == 0 && call.text.find(", 1, 0x1,") != std::string::npos) {
            ++stoppedReports;
            EXPECT_NE(lastEventOfThread[call.thread].find("\"Service stopped\""), std::string::npos)
                << "STOPPED reported on the " << call.thread << " thread without \"Service stopped\" before it";
            lastEventOfThread[call.thread].clear();
        }
    }
    EXPECT_GT(stoppedReports, 0);
}

void ExpectEverythingClosedAndNothingMisused()
{
    EXPECT_EQ(fake::OpenHandleCount(), 0);
    EXPECT_EQ(fake::Misuses(), std::vector<std::string>{});
}

const std::wstring Program = L"C:\\Apps\\notepad.exe";
const std::wstring Launched = L"子进程创建成功!cmd=" + Program + L" ";
const std::wstring Succeeded = L"Register Service Main Function Succeed!";

TEST_F(ServiceRun, StartsTheChildOnANewConsoleInTheHostsDirectoryInAJobBeforeItRuns)
{
    fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    fake::SetChild(Child::ExitsAtOnce);
    Start();
    ASSERT_TRUE(Finish());

    std::vector<std::string> calls;
    for (const fake::Call& call : fake::Journal()) {
        for (const char* name :
             {"CreateJobObjectW", "SetInformationJobObject", "AllocConsole", "SetConsoleCtrlHandler",
              "SetConsoleTitleW", "CreateProcessW", "AssignProcessToJobObject", "ResumeThread", "WaitForSingleObject",
              "CloseHandle", "TerminateJobObject", "QueryInformationJobObject"}) {
            // The files looked at before the launch are not the child's.
            if (call.text.rfind(std::string(name) + "(", 0) == 0 && call.text.rfind("CloseHandle(file#", 0) != 0) {
                calls.push_back(call.text);
            }
        }
    }
    // A console the host makes while the dispatcher connects, and is on
    // before the program runs; making it resets the host's handlers, so the
    // host's own comes after it. With Ctrl-C on, whatever the host
    // inherited. Suspended until it is in the job. Once it has ended by
    // itself, what it left in the job is ended and counted gone; the job is
    // closed after the thread and process handles.
    EXPECT_EQ(calls,
              (std::vector<std::string>{
                  "AllocConsole()", "SetConsoleCtrlHandler(ptr, 1)", "SetConsoleTitleW(\"C:\\Apps\\notepad.exe\")",
                  "CreateJobObjectW(NULL, NULL)", "SetInformationJobObject(job#276, 9, limits 0x2800, 144)",
                  "WaitForSingleObject(host thread#272, 0xFFFFFFFF)", "CloseHandle(host thread#272)",
                  "SetConsoleCtrlHandler(NULL, 0)",
                  "CreateProcessW(NULL, \"C:\\Apps\\notepad.exe \", NULL, NULL, 0, 0x4, NULL, \"C:\\Apps\\\", bare "
                  "startup info, cleared process information)",
                  "AssignProcessToJobObject(job#276, process#316)", "ResumeThread(thread#320)",
                  "WaitForSingleObject(process#316, 0xFFFFFFFF)", "CloseHandle(thread#320)", "CloseHandle(process#316)",
                  "CloseHandle(console#328)", "TerminateJobObject(job#276, 2)",
                  "QueryInformationJobObject(job#276, 1, 48, NULL)", "CloseHandle(job#276)"}));
    EXPECT_EQ(exitCode_, 0);
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AChildThatEndsByItselfStopsTheServiceOnce)
{
    fake::SetChild(Child::RunsUntilEnded);
    Start();
    ASSERT_TRUE(ChildStarted());
    fake::EndChild(7);
    ASSERT_TRUE(Finish());

    // The program's own exit code, as a service-specific one.
    EXPECT_EQ(Reports(), (std::vector<std::string>{"service:2", "service:4", "service:1 (1066, 7)"}));
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{Launched, L"Service stopped", Succeeded}));
    EXPECT_EQ(fake::Events()[0].thread, "service");
    // The launch is reported before the wait begins.
    const std::vector<fake::Call> journal = fake::Journal();
    std::size_t launchReport = 0;
    std::size_t wait = 0;
    for (std::size_t i = 0; i < journal.size(); ++i) {
        if (journal[i].text.find("cmd=") != std::string::npos) {
            launchReport = i;
        }
        if (journal[i].text.rfind("WaitForSingleObject", 0) == 0) {
            wait = i;
        }
    }
    EXPECT_LT(launchReport, wait);
    EXPECT_TRUE(fake::CallsNamed("Sleep").empty());
    ExpectStoppedEventBeforeEachStoppedReport();
    ExpectEverythingClosedAndNothingMisused();
    EXPECT_EQ(exitCode_, 0);
}

// The service thread's last wait for the child has no time-out.
bool WaitsWithoutATimeOut()
{
    const std::vector<std::string> waits = fake::CallsNamed("WaitForSingleObject");
    return !waits.empty() && waits.back().find("(process#") != std::string::npos &&
           waits.back().find(", 0xFFFFFFFF)") != std::string::npos;
}

TEST_F(ServiceRun, AConsoleProgramThatEndsByItselfLeavesItsLastLinesBeforeTheServiceStops)
{
    fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    fake::SetChild(Child::RunsUntilEnded);
    Start();
    // On its console, the host waits for it without waking up.
    ASSERT_TRUE(fake::WaitUntil(WaitsWithoutATimeOut));
    // Characters two cells wide read back once: each row is read alone.
    fake::WriteChildConsole({L"starting", L"错误：磁盘已满，中文两格宽", L"failed: 100% of é"});
    fake::EndChild(3);
    ASSERT_TRUE(Finish());

    EXPECT_EQ(fake::EventTexts(),
              (std::vector<std::wstring>{Launched,
                                         L"The program ended by itself with exit code 3. The last lines of its "
                                         L"console:\r\nstarting\r\n错误：磁盘已满，中文两格宽\r\nfailed: 100% of é",
                                         L"Service stopped", Succeeded}));
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AGuiProgramIsWaitedForWithoutATimeOutFromTheStart)
{
    fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    fake::SetChild(Child::ExitsAtOnce);
    Start();
    ASSERT_TRUE(Finish());
    // The early console's thread, which made none, and the program.
    EXPECT_EQ(fake::CallsNamed("WaitForSingleObject").size(), 2u);
    EXPECT_TRUE(WaitsWithoutATimeOut());
}

TEST_F(ServiceRun, WhereTheHostCannotHoldAConsoleTheProgramGetsItsOwnAndNoCtrlC)
{
    for (const char* failing : {"AllocConsole", "SetConsoleCtrlHandler"}) {
        SCOPED_TRACE(failing);
        fake::Reset();
        fake::SetStartedByServiceManager(true);
        fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
        fake::FailCall(failing, 1);
        StartAndStop(Child::IgnoresWmQuit);
        // Without its handler the host would end on its own Ctrl-C.
        EXPECT_NE(fake::CallsNamed("CreateProcessW")[0].find(", 0x14, "), std::string::npos);
        EXPECT_TRUE(fake::CallsNamed("GenerateConsoleCtrlEvent").empty());
        EXPECT_EQ(fake::Children()[0].exitCode, 2u);
        ExpectEverythingClosedAndNothingMisused();
        finished_ = false;
    }
}

TEST_F(ServiceRun, AClosingConsoleStillEndsInStoppedWithTheProgramsEnd)
{
    // The program ends on the close event, or handles it and runs on until
    // the host ends it, 2 s later: either way the end is told, and STOPPED
    // reported, before Windows ends the host.
    for (const bool programHandlesIt : {false, true}) {
        SCOPED_TRACE(programHandlesIt);
        fake::Reset();
        fake::SetStartedByServiceManager(true);
        fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
        fake::SetChild(Child::RunsUntilEnded);
        fake::SetRealMicrosecondsPerSleepMs(20);
        fake::WriteChildConsole({L"closing"});
        Start();
        ASSERT_TRUE(fake::WaitUntil(WaitsWithoutATimeOut));
        fake::CloseChildConsole(programHandlesIt);
        ASSERT_TRUE(Finish());
        const std::string code = programHandlesIt ? "2" : "3221225786";
        EXPECT_EQ(Reports(), (std::vector<std::string>{"service:2", "service:4", "service:1 (1066, " + code + ")"}));
        std::vector<std::wstring> kept;
        for (const fake::Event& event : fake::Events()) {
            if (!event.lost) {
                kept.push_back(event.text);
            }
        }
        // The dispatcher returns at STOPPED, and the host may log its end
        // before Windows ends it.
        if (kept.size() == 4 && kept.back() == Succeeded) {
            kept.pop_back();
        }
        EXPECT_EQ(kept, (std::vector<std::wstring>{Launched,
                                                   L"The program ended by itself with exit code " +
                                                       std::wstring(code.begin(), code.end()) +
                                                       L". The last lines of its console:\r\nclosing",
                                                   L"Service stopped"}));
        EXPECT_EQ(fake::Misuses(), std::vector<std::string>{});
        finished_ = false;
    }
}

TEST_F(ServiceRun, AStopUnderWayAsTheConsoleClosesReportsStoppedBeforeWindowsEndsTheHost)
{
    // The program handles the close; a stop comes 600 ms (real) into the
    // close, and would report only 4 s after it, past Windows' 5 s.
    fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    fake::SetChild(Child::RunsUntilEnded);
    fake::SetRealMicrosecondsPerSleepMs(1000);
    Start();
    ASSERT_TRUE(fake::WaitUntil(WaitsWithoutATimeOut));
    std::thread closing([] { fake::CloseChildConsole(true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    fake::SendControl(SERVICE_CONTROL_STOP);
    closing.join();
    ASSERT_TRUE(Finish());
    const std::vector<fake::Call> journal = fake::Journal();
    EXPECT_TRUE(std::any_of(journal.begin(), journal.end(), [](const fake::Call& call) {
        return !call.lost && call.text.rfind("SetServiceStatus", 0) == 0 &&
               call.text.find(", 1, 0x1,") != std::string::npos;
    }));
}

TEST_F(ServiceRun, AfterLeavingTheConsoleTheHostWritesToNoStaleStandardHandle)
{
    // The event log cannot be reached for the run's last event, which then
    // goes to standard error: the console's handles closed with it.
    fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    fake::SetChild(Child::ExitsAtOnce);
    fake::FailCall("RegisterEventSourceW", 3);
    Start();
    ASSERT_TRUE(Finish());
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AChildWithAMessageLoopEndsOnTheQuitMessage)
{
    const long long requested = StartAndStop(Child::QuitsOnWmQuit);

    EXPECT_EQ(fake::CallsNamed("PostThreadMessageW"),
              (std::vector<std::string>{"PostThreadMessageW(2000, 0x12, 0, 0)"}));
    EXPECT_EQ(fake::Children()[0].exitCode, 0u);
    // The child ends at once, but the run's one STOPPED is the handler's,
    // 4000 ms after the request: until then a second client's start is
    // refused, and no late report can land on a run it started.
    EXPECT_EQ(Reports(), (std::vector<std::string>{"service:2", "service:4", "main:3", "main:1"}));
    ExpectAtTheTickOf(TimeOfLastReport(), requested + 4000);
    EXPECT_EQ(fake::EventTexts(),
              (std::vector<std::wstring>{Launched, L"Service stopped", L"Service stopped", Succeeded}));
    EXPECT_EQ(fake::Events()[1].thread, "service");
    EXPECT_EQ(fake::Events()[2].thread, "main");
    ExpectStoppedEventBeforeEachStoppedReport();
    ExpectEverythingClosedAndNothingMisused();
    EXPECT_EQ(exitCode_, 0);
}

// The handler's calls to the child, and its sleeps, from the request on.
std::vector<std::string> HandlerCallsToTheChild(long long requested)
{
    std::vector<std::string> calls;
    for (const fake::Call& call : fake::Journal()) {
        for (const char* name : {"PostThreadMessageW", "AttachConsole", "SetConsoleCtrlHandler",
                                 "GenerateConsoleCtrlEvent", "FreeConsole", "Sleep", "TerminateJobObject"}) {
            if (call.thread == "main" && call.time >= requested && call.text.rfind(std::string(name) + "(", 0) == 0) {
                calls.push_back(call.text);
            }
        }
    }
    return calls;
}

long long TimeOfFirstCall(const std::string& operation)
{
    for (const fake::Call& call : fake::Journal()) {
        if (call.text.rfind(operation + "(", 0) == 0) {
            return call.time;
        }
    }
    return -1;
}

TEST_F(ServiceRun, AConsoleProgramIsAskedByItsConsoleThenEndedWithItsJobOnTime)
{
    fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    const long long requested = StartAndStop(Child::IgnoresWmQuit);

    // No message queue: its console gets Ctrl-C at once, which the host's
    // own handler takes (Windows reset the host's handlers when it made the
    // console), and the quit message is tried every 50 ms. Then the whole
    // job ends.
    // Windows ends each Sleep(50) at a clock tick, here the earliest it may
    // (46.875 ms), and a Sleep(2000) a tick early: the 2 s and 4 s are kept
    // by the clock, not by adding up sleeps, and never end early.
    const std::string post = "PostThreadMessageW(2000, 0x12, 0, 0)";
    std::vector<std::string> expected = {post, "GenerateConsoleCtrlEvent(0, 0)"};
    for (int retry = 0; retry < 42; ++retry) {
        expected.insert(expected.end(), {"Sleep(50)", post});
    }
    // The host leaves the console once the run is over.
    expected.insert(expected.end(),
                    {"Sleep(32)", post, "TerminateJobObject(job#276, 2)", "Sleep(2000)", "Sleep(16)", "FreeConsole()"});
    EXPECT_EQ(HandlerCallsToTheChild(requested), expected);
    EXPECT_EQ(TimeOfFirstCall("TerminateJobObject"), requested + 2000);
    EXPECT_EQ(fake::Children()[0].exitCode, 2u);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"service:2", "service:4", "main:3", "main:1"}));
    ExpectAtTheTickOf(TimeOfLastReport(), requested + 4000);
    ExpectStoppedEventBeforeEachStoppedReport();
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AProgramStillLoadingIsAskedAgainUntilItListens)
{
    // No message queue for its first 1000 ms: the first posts fail.
    const long long requested = StartAndStop(Child::LoadsBeforeItsLoop);

    // Every 50 ms (46.875 ms, in clock ticks) until the post is taken once
    // 1000 ms have passed; never terminated.
    EXPECT_EQ(fake::CallsNamed("PostThreadMessageW").size(), 23u);
    std::vector<std::string> sleeps(22, "Sleep(50)");
    sleeps.insert(sleeps.end(), {"Sleep(969)", "Sleep(2000)", "Sleep(16)"});
    EXPECT_EQ(fake::CallsNamed("Sleep"), sleeps);
    EXPECT_EQ(fake::Children()[0].exitCode, 0u);
    ExpectAtTheTickOf(TimeOfLastReport(), requested + 4000);
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, User32IsLoadedBeforeTheChildIsCreated)
{
    // Under Wine the child's console needs the window station USER32 connects.
    fake::SetChild(Child::ExitsAtOnce);
    Start();
    ASSERT_TRUE(Finish());
    std::vector<std::string> calls;
    for (const fake::Call& call : fake::Journal()) {
        if (call.text.rfind("LoadLibraryExW", 0) == 0 || call.text.rfind("CreateProcessW", 0) == 0) {
            calls.push_back(call.text.rfind("CreateProcessW", 0) == 0 ? "CreateProcessW" : call.text);
        }
    }
    // Loaded first for the early console, again for the launch.
    EXPECT_EQ(calls, (std::vector<std::string>{"LoadLibraryExW(\"user32.dll\", NULL, 0x800)",
                                               "LoadLibraryExW(\"user32.dll\", NULL, 0x800)", "CreateProcessW"}));
}

TEST_F(ServiceRun, WithoutUser32TheStopStillTerminatesAndReportsOnTime)
{
    fake::FailCall("LoadLibraryExW");
    const long long requested = StartAndStop(Child::QuitsOnWmQuit);

    EXPECT_TRUE(fake::CallsNamed("PostThreadMessageW").empty());
    EXPECT_EQ(fake::Children()[0].exitCode, 2u);
    ExpectAtTheTickOf(TimeOfLastReport(), requested + 4000);
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AChildThatCannotJoinAJobRunsUnconfinedAndIsStillTerminated)
{
    // Before Windows 8, a host already in a job that forbids nesting.
    fake::FailCall("AssignProcessToJobObject");
    const long long requested = StartAndStop(Child::IgnoresWmQuit);

    EXPECT_EQ(fake::CallsNamed("TerminateProcess"), (std::vector<std::string>{"TerminateProcess(process#284, 2)"}));
    EXPECT_TRUE(fake::CallsNamed("TerminateJobObject").empty());
    ExpectAtTheTickOf(TimeOfLastReport(), requested + 4000);
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AChildThatSurvivesTerminationIsLeftBehindAndTheServiceStillStops)
{
    fake::SetChild(Child::SurvivesTermination);
    Start();
    ASSERT_TRUE(ChildStarted());
    const long long requested = Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(Finish());

    EXPECT_EQ(fake::CallsNamed("TerminateJobObject"), (std::vector<std::string>{"TerminateJobObject(job#260, 2)"}));
    EXPECT_FALSE(fake::Children()[0].ended);
    // Only the handler reports STOPPED before the host ends.
    std::vector<std::string> beforeTheEnd;
    for (const fake::Call& call : fake::Journal()) {
        if (!call.lost && call.text.rfind("SetServiceStatus", 0) == 0) {
            const std::size_t fields = call.text.find('{');
            beforeTheEnd.push_back(call.thread + ":" + call.text.substr(fields, call.text.size() - fields - 1));
        }
    }
    EXPECT_EQ(beforeTheEnd,
              (std::vector<std::string>{"service:{0x10, 2, 0x0, 0, 0, 1, 1000}", "service:{0x10, 4, 0x1, 0, 0, 0, 0}",
                                        "main:{0x10, 3, 0x1, 0, 0, 1, 5000}", "main:{0x10, 1, 0x1, 0, 0, 0, 0}"}));
    const std::vector<fake::StatusReport> reports = fake::StatusReports();
    ExpectAtTheTickOf(reports[3].time, requested + 4000);
    EXPECT_EQ(exitCode_, 0);
}

TEST_F(ServiceRun, AChildThatCannotBeCreatedStopsTheServiceWithOneFailureEvent)
{
    fake::FailCall("CreateProcessW");
    Start();
    ASSERT_TRUE(Finish());

    // CreateProcessW's error: the program is not there.
    EXPECT_EQ(Reports(), (std::vector<std::string>{"service:2", "service:4", "service:1 (2, 0)"}));
    const std::vector<std::wstring> texts = fake::EventTexts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], L"子进程创建失败!cmd=C:\\Apps\\notepad.exe ");
    EXPECT_EQ(texts[0].back(), L' ');
    EXPECT_EQ(texts[1], L"Service stopped");
    EXPECT_EQ(texts[2], Succeeded);
    // Only for the early console's thread, not for any program.
    EXPECT_EQ(fake::CallsNamed("WaitForSingleObject"),
              std::vector<std::string>{"WaitForSingleObject(host thread#256, 0xFFFFFFFF)"});
    ExpectEverythingClosedAndNothingMisused();
}

// Installed before the host refused such paths: a program whose path no
// command line can name is refused with the error /install gives.
TEST_F(ServiceRun, AProgramPathTooLongForACommandLineIsRefused)
{
    fake::SetModulePath(L"C:\\" + std::wstring(280, L'd') + L"\\longSvc.exe");
    Start();
    ASSERT_TRUE(Finish());
    EXPECT_EQ(Reports().back(), "service:1 (206, 0)");
}

TEST_F(ServiceRun, APercentSignInTheHostsPathIsReportedAsItStands)
{
    fake::SetModulePath(L"C:\\100% sure\\%s%d\\toolSvc.exe");
    fake::SetChild(Child::ExitsAtOnce);
    Start();
    ASSERT_TRUE(Finish());
    EXPECT_EQ(fake::EventTexts()[0], L"子进程创建成功!cmd=\"C:\\100% sure\\%s%d\\tool.exe\" ");
}

TEST_F(ServiceRun, WithoutAHandlerTheServiceReportsNothingAndStartsNothing)
{
    fake::FailCall("RegisterServiceCtrlHandlerW");
    Start();
    ASSERT_TRUE(fake::WaitUntil([] { return !fake::Events().empty(); }));

    // The service stays START_PENDING and its dispatcher waits, until
    // somebody ends the process: only the service thread's event is made.
    EXPECT_FALSE(finished_);
    fake::EndProcess();
    ASSERT_TRUE(Finish());
    EXPECT_TRUE(fake::StatusReports().empty());
    EXPECT_TRUE(fake::CallsNamed("CreateProcessW").empty());
    EXPECT_EQ(fake::Events()[0].text, L"Handler not installed");
    EXPECT_EQ(fake::Events()[0].thread, "service");
    EXPECT_FALSE(fake::Events()[0].lost);
    ExpectEverythingClosedAndNothingMisused();
}

// Accepting only the stop, the service gets nothing else but interrogate and
// the codes 128 to 255, which Windows always delivers; shutdown only the
// system sends, and only to services that accept it.
TEST_F(ServiceRun, InterrogateChangesNothingAndUnknownCodesAreReported)
{
    fake::SetChild(Child::RunsUntilEnded);
    Start();
    ASSERT_TRUE(ChildStarted());
    std::vector<DWORD> answers;
    for (DWORD control : {0u, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE,
                          SERVICE_CONTROL_SHUTDOWN, 6u, 128u, 255u}) {
        answers.push_back(fake::SendControl(control));
    }
    EXPECT_EQ(answers,
              (std::vector<DWORD>{ERROR_INVALID_PARAMETER, ERROR_INVALID_SERVICE_CONTROL, ERROR_INVALID_SERVICE_CONTROL,
                                  0, ERROR_INVALID_PARAMETER, ERROR_INVALID_SERVICE_CONTROL, 0, 0}));
    ASSERT_TRUE(fake::WaitUntil([] { return fake::EventTexts().size() == 3; }));
    fake::EndChild(0);
    ASSERT_TRUE(Finish());

    EXPECT_EQ(Reports(), (std::vector<std::string>{"service:2", "service:4", "service:1"}));
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{Launched, L"Bad service request", L"Bad service request",
                                                             L"Service stopped", Succeeded}));
    EXPECT_TRUE(fake::CallsNamed("PostThreadMessageW").empty());
    EXPECT_TRUE(fake::CallsNamed("TerminateProcess").empty());
    EXPECT_TRUE(fake::CallsNamed("Sleep").empty());
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AStopBeforeTheChildExistsRunsInFullAndTheChildIsNeverStarted)
{
    fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);  // its console, made early, is left
    fake::SetRealMicrosecondsPerSleepMs(50);
    std::atomic<bool> sent{false};
    fake::OnStatusReport([&sent](DWORD state) {
        if (state == SERVICE_RUNNING && !sent.exchange(true)) {
            fake::SendControl(SERVICE_CONTROL_STOP);
            // Hold the service thread until the handler sleeps after its first steps.
            fake::WaitUntil([] { return fake::Now() >= 2000; });
        }
    });
    Start();
    ASSERT_TRUE(Finish());

    EXPECT_TRUE(fake::CallsNamed("CreateProcessW").empty());
    EXPECT_TRUE(fake::CallsNamed("PostThreadMessageW").empty());
    EXPECT_TRUE(fake::CallsNamed("TerminateProcess").empty());
    EXPECT_EQ(fake::CallsNamed("Sleep"),
              (std::vector<std::string>{"Sleep(2000)", "Sleep(16)", "Sleep(2000)", "Sleep(16)"}));
    std::vector<std::string> reports = Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports.back(), "main:1");
    ExpectAtTheTickOf(TimeOfLastReport(), 4000);
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{L"Service stopped", L"Service stopped", Succeeded}));
    ExpectStoppedEventBeforeEachStoppedReport();
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, UnderWinesSerialisedReportsTheStopDoesNotDeadlock)
{
    // Wine holds the service thread's report until the handler returns.
    fake::SetStatusWaitsForHandler(true);
    const long long requested = StartAndStop(Child::QuitsOnWmQuit);

    const std::vector<fake::StatusReport> reports = fake::StatusReports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectAtTheTickOf(reports.back().time, requested + 4000);
    ExpectStoppedEventBeforeEachStoppedReport();
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, UnderWinesEarlyDispatcherReturnTheHostOutlivesItsHandler)
{
    // Wine returns from the dispatcher the moment STOPPED is reported, while
    // its handler thread has yet to return and answer the service manager:
    // ending the process then fails the stop request.
    fake::SetWineDispatcher(true);
    fake::SetStatusWaitsForHandler(true);
    fake::SetChild(Child::QuitsOnWmQuit);
    Start();
    ASSERT_TRUE(ChildStarted());
    fake::SendControl(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(Finish());

    std::vector<std::string> order;
    for (const fake::Call& call : fake::Journal()) {
        if (call.text == "(handler's STOPPED report returned)") {
            order.push_back(call.thread + ": the handler's STOPPED report returned");
        }
        if (call.text.find("Register Service Main Function Succeed!") != std::string::npos) {
            order.push_back(call.thread + ": the host reported the dispatcher's return");
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"handler: the handler's STOPPED report returned",
                                               "main: the host reported the dispatcher's return"}));
    ExpectStoppedEventBeforeEachStoppedReport();
    ExpectEverythingClosedAndNothingMisused();
}

TEST_F(ServiceRun, AProcessEndingRightAfterTheStoppedReportLosesNoServiceEvent)
{
    fake::SetProcessEndsAtStoppedReport(true);
    fake::SetChild(Child::RunsUntilEnded);
    Start();
    ASSERT_TRUE(ChildStarted());
    fake::EndChild(0);
    ASSERT_TRUE(Finish());

    std::vector<std::wstring> kept;
    for (const fake::Event& event : fake::Events()) {
        if (!event.lost) {
            kept.push_back(event.text);
        }
    }
    EXPECT_EQ(kept, (std::vector<std::wstring>{Launched, L"Service stopped"}));
}

// Stops at random points of the child's life, with children of every kind
// and children ending by themselves at the same moment: the handler must
// never use a closed handle or post to the id of a child it no longer holds,
// and nothing may report after the run's STOPPED.
TEST_F(ServiceRun, RandomInterleavingsNeverUseAClosedOrStaleHandle)
{
    std::mt19937 random(20261208);
    const Child kinds[] = {Child::QuitsOnWmQuit, Child::IgnoresWmQuit, Child::ExitsAtOnce, Child::RunsUntilEnded};
    for (int run = 0; run < 150; ++run) {
        fake::Reset();
        fake::SetStartedByServiceManager(true);
        const Child kind = kinds[random() % 4];
        fake::SetChild(kind);
        if (random() % 2 == 0) {
            fake::SetChildImage(Program, IMAGE_SUBSYSTEM_WINDOWS_CUI);
        }
        fake::SetRealMicrosecondsPerSleepMs(static_cast<int>(random() % 3));
        fake::WriteChildConsole({L"fatal"});
        finished_ = false;
        Start();
        const auto pause = std::chrono::microseconds(random() % 400);
        const bool childEndsToo = random() % 2 == 0;
        std::this_thread::sleep_for(pause);
        // Refused while the service starts, which accepts no control then:
        // sent again, as sc would be.
        while (fake::SendControl(SERVICE_CONTROL_STOP) == ERROR_INVALID_SERVICE_CONTROL) {
            std::this_thread::yield();
        }
        if (childEndsToo) {
            fake::EndChild(3);
        }
        ASSERT_TRUE(Finish()) << "run " << run << " hung";
        if (kind == Child::RunsUntilEnded && !childEndsToo) {
            // Ended by the service manager giving up on nothing: the handler terminates it.
            EXPECT_TRUE(fake::Children().empty() || fake::Children()[0].ended) << "run " << run;
        }
        EXPECT_EQ(fake::Misuses(), std::vector<std::string>{}) << "run " << run;
        EXPECT_EQ(fake::OpenHandleCount(), 0) << "run " << run;
        EXPECT_EQ(exitCode_, 0) << "run " << run;
        const std::vector<fake::StatusReport> reports = fake::StatusReports();
        ASSERT_FALSE(reports.empty()) << "run " << run;
        EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED) << "run " << run;
        // One story: the program's last words only where its end, not the
        // stop, is what STOPPED tells.
        const std::vector<std::wstring> events = fake::EventTexts();
        const bool lastWords = std::any_of(events.begin(), events.end(), [](const std::wstring& text) {
            return text.rfind(L"The program ended by itself", 0) == 0;
        });
        EXPECT_TRUE(!lastWords || reports.back().thread == "service") << "run " << run;
        ExpectStoppedEventBeforeEachStoppedReport();
        if (HasFailure()) {
            break;
        }
    }
}

}  // namespace
