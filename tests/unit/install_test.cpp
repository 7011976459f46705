// InstallService against the fake service manager: the exact calls on
// every path, what the user sees, what stays in the service database, and
// the exit code a deployment tool reads.
#include "registration_support.h"

namespace {

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

INSTANTIATE_TEST_SUITE_P(Install, RegistrationPaths,
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
                                                    {}}),
                         [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

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

}  // namespace
