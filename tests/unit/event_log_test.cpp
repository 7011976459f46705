#include "host_core/service_mode.h"
#include "test_support.h"

namespace {

class LogEventTest : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        IdentityAt(L"C:\\Apps\\notepadSvc.exe");
        SetRunningAsService(false);
    }
    void TearDown() override
    {
        SetRunningAsService(false);
        HostTest::TearDown();
    }
};

std::vector<std::string> EventLogCalls()
{
    std::vector<std::string> calls;
    for (const fake::Call& call : fake::Journal()) {
        if (call.text.find("EventSource") != std::string::npos || call.text.rfind("ReportEventW", 0) == 0) {
            calls.push_back(call.text);
        }
    }
    return calls;
}

TEST_F(LogEventTest, ReportsOneInformationEventUnderTheServiceNameAndDeregisters)
{
    LogEvent(L"Service stopped");

    EXPECT_EQ(EventLogCalls(), (std::vector<std::string>{
                                   "RegisterEventSourceW(NULL, \"notepadSvc\")",
                                   "ReportEventW(event source#256, 4, 0, 0, NULL, 1, 0, \"Service stopped\", NULL)",
                                   "DeregisterEventSource(event source#256)",
                               }));
    const std::vector<fake::Event> events = fake::Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, L"notepadSvc");
    EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[0].category, 0);
    EXPECT_EQ(events[0].eventId, 0u);
    EXPECT_TRUE(events[0].userSidNull);
    EXPECT_EQ(events[0].stringCount, 1);
    EXPECT_EQ(events[0].dataSize, 0u);
    EXPECT_TRUE(events[0].rawDataNull);
    EXPECT_EQ(events[0].text, L"Service stopped");
    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_EQ(fake::OpenHandleCount(), 0);
}

TEST_F(LogEventTest, AFailedReportStillDeregistersTheSource)
{
    fake::FailCall("ReportEventW");
    LogEvent(L"Bad service request");
    EXPECT_EQ(fake::CallsNamed("DeregisterEventSource").size(), 1u);
    EXPECT_EQ(fake::OpenHandleCount(), 0);
    EXPECT_TRUE(fake::Boxes().empty());
}

TEST_F(LogEventTest, FormatsAWideStringArgumentAsItStands)
{
    LogEvent(L"%s", L"子进程创建成功!cmd=C:\\100%\\%s%d.exe ");
    LogEvent(L"100%% sure, %d left as is");
    LogEvent(L"%s and %s", L"one", L"two");
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{L"子进程创建成功!cmd=C:\\100%\\%s%d.exe ",
                                                             L"100% sure, %d left as is", L"one and two"}));
}

TEST_F(LogEventTest, WithoutAnEventLogAHandStartedHostShowsTheBoxAndReportsNothing)
{
    fake::FailCall("RegisterEventSourceW");
    LogEvent(L"Register Service Main Function Error!");

    const std::vector<fake::Box> boxes = fake::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].ownerNull);
    EXPECT_EQ(boxes[0].text, L"RegisterEventSource() Failed!");
    EXPECT_EQ(boxes[0].caption, L"ERROR");
    EXPECT_EQ(boxes[0].type, MB_OK);
    EXPECT_TRUE(fake::CallsNamed("ReportEventW").empty());
    EXPECT_TRUE(fake::CallsNamed("DeregisterEventSource").empty());
    EXPECT_TRUE(fake::CallsNamed("WTSSendMessageW").empty());
    EXPECT_EQ(fake::OpenHandleCount(), 0);
}

TEST_F(LogEventTest, WithoutAnEventLogAServiceSendsTheTextWithoutWaitingAndShowsNoBox)
{
    SetRunningAsService(true);
    fake::FailCall("RegisterEventSourceW");
    LogEvent(L"Service stopped");

    EXPECT_TRUE(fake::Boxes().empty());
    const int bytesOfText = 29 * static_cast<int>(sizeof(wchar_t));
    const int bytesOfCaption = 5 * static_cast<int>(sizeof(wchar_t));
    EXPECT_EQ(fake::CallsNamed("WTSSendMessageW"),
              (std::vector<std::string>{"WTSSendMessageW(NULL, 1, \"ERROR\", " + std::to_string(bytesOfCaption) +
                                        ", \"RegisterEventSource() Failed!\", " + std::to_string(bytesOfText) +
                                        ", 0x0, 0, ptr, 0)"}));
    EXPECT_EQ(fake::CallsNamed("OutputDebugStringW"),
              (std::vector<std::string>{"OutputDebugStringW(\"RegisterEventSource() Failed!\")"}));
    EXPECT_TRUE(fake::CallsNamed("ReportEventW").empty());
}

// A deployment tool or scheduled task runs the host on a window station that
// nobody sees: a box there would never be answered.
TEST_F(LogEventTest, WithoutAnEventLogOnAStationNobodySeesNothingWaits)
{
    fake::SetWindowStationVisible(false);
    fake::SetConsoleSession(0xFFFFFFFF);  // nobody at the console either
    fake::SetStandardError(true);
    fake::FailCall("RegisterEventSourceW");
    LogEvent(L"Service stopped");

    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_TRUE(fake::CallsNamed("WTSSendMessageW").empty());
    EXPECT_EQ(fake::CallsNamed("OutputDebugStringW"),
              (std::vector<std::string>{"OutputDebugStringW(\"RegisterEventSource() Failed!\")"}));
    EXPECT_EQ(fake::StandardError(), "RegisterEventSource() Failed!\r\n");
    EXPECT_EQ(fake::Misuses(), std::vector<std::string>{});
}

// Session 0's WinSta0 says it is visible, but no user ever sees it; a console
// shows UTF-8 bytes garbled, so it is given the text as text.
TEST_F(LogEventTest, WithoutAnEventLogInSessionZeroNothingWaitsAndAConsoleGetsText)
{
    fake::SetSession(0);
    fake::SetStandardError(true);
    fake::SetStandardErrorIsConsole(true);
    fake::FailCall("RegisterEventSourceW");
    LogEvent(L"Service stopped");

    EXPECT_TRUE(fake::Boxes().empty());
    EXPECT_EQ(
        fake::CallsNamed("WriteConsoleW"),
        (std::vector<std::string>{"WriteConsoleW(stderr, \"RegisterEventSource() Failed!\r\n\", 31, ptr, NULL)"}));
    // UTF-8 written to the console would be a misuse.
    EXPECT_EQ(fake::Misuses(), std::vector<std::string>{});
}

// A folder named "%1", or a program's last line with "%1" in it, reads in
// Event Viewer as written, not with the event's own text in its place.
TEST_F(LogEventTest, APercentBeforeADigitReadsInEventViewerAsWritten)
{
    const std::wstring written = L"cmd=C:\\%1\\w.exe 100%5 %%2";
    LogEvent(L"%s", written.c_str());
    ASSERT_EQ(fake::Events().size(), 1u);
    std::wstring shown = fake::Events()[0].shown;
    shown.erase(std::remove(shown.begin(), shown.end(), L'\u2060'), shown.end());
    EXPECT_EQ(shown, written);
}

TEST_F(LogEventTest, ATextOf255UnitsIsOneEvent)
{
    const std::wstring text(255, L'a');
    LogEvent(L"%s", text.c_str());
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{text}));
}

TEST_F(LogEventTest, ALongerTextGoesOutWholeAsConsecutiveEventsUnderOneRegistration)
{
    const std::wstring text = std::wstring(255, L'a') + std::wstring(255, L'b') + std::wstring(90, L'c');
    LogEvent(L"%s", text.c_str());

    EXPECT_EQ(fake::EventTexts(),
              (std::vector<std::wstring>{std::wstring(255, L'a'), std::wstring(255, L'b'), std::wstring(90, L'c')}));
    EXPECT_EQ(fake::CallsNamed("RegisterEventSourceW").size(), 1u);
    EXPECT_EQ(fake::CallsNamed("DeregisterEventSource").size(), 1u);
    EXPECT_EQ(fake::OpenHandleCount(), 0);
}

TEST_F(LogEventTest, ACutNeverPartsASurrogatePair)
{
    const std::wstring pair = Units({0xD83D, 0xDE00});
    // The pair stands at units 254 and 255: the first event ends before it.
    const std::wstring text = std::wstring(254, L'a') + pair + L"tail";
    LogEvent(L"%s", text.c_str());
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{std::wstring(254, L'a'), pair + L"tail"}));

    // A pair that ends at unit 255 fits; so does a lone high surrogate.
    fake::Reset();
    IdentityAt(L"C:\\Apps\\notepadSvc.exe");
    const std::wstring fits = std::wstring(253, L'a') + pair + L"x";
    LogEvent(L"%s", fits.c_str());
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{std::wstring(253, L'a') + pair, L"x"}));

    fake::Reset();
    IdentityAt(L"C:\\Apps\\notepadSvc.exe");
    const std::wstring lone = std::wstring(254, L'a') + Units({0xD83D}) + L"y";
    LogEvent(L"%s", lone.c_str());
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{std::wstring(254, L'a') + Units({0xD83D}), L"y"}));
}

TEST_F(LogEventTest, AnEmptyTextIsStillOneEvent)
{
    LogEvent(L"");
    EXPECT_EQ(fake::EventTexts(), (std::vector<std::wstring>{L""}));
}

}  // namespace
