// UninstallService against the fake service manager: the exact calls on
// every path, what the user sees and what stays in the service database.
#include "registration_support.h"

namespace {

INSTANTIATE_TEST_SUITE_P(Uninstall, RegistrationPaths,
                         ::testing::Values(
                             // The stop returns once the service has stopped; the record is then gone.
                             PathCase{"Running_StopsDeletesAndSeesItGone",
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
                                      Join({{OpenManager, OpenForUninstallCheck(256)},
                                            SameFileCheck(260, 264),
                                            {CloseService(260), OpenForDeletion(256), Stop(280), Delete(280),
                                             CloseService(280), CloseManager(256)},
                                            ReportNotDeleted(284),
                                            NotDeletedBox}),
                                      {L"Service could not be deleted"},
                                      NotDeleted,
                                      true,
                                      {SERVICE_CONTROL_STOP}}),
                         [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

// A service still there after /uninstall, 10 s on, is not reported as
// removed: a deployment tool would install again into the name in vain.
// Either the stop failed, or another client holds the deleted record open.
TEST_F(RegistrationTest, AnUninstallThatLeavesTheServiceInPlaceFailsWithWhy)
{
    fake::AddService(L"notepadSvc", true, L"C:\\Apps\\notepadSvc.exe");
    fake::SetStopRefusal(L"notepadSvc", ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(UninstallService(identity_.ModulePath), ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(fake::EventTexts(), std::vector<std::wstring>{L"Service could not be deleted"});
    EXPECT_TRUE(fake::HasService(L"notepadSvc"));

    fake::Reset();
    fake::AddService(L"notepadSvc", true, L"C:\\Apps\\notepadSvc.exe");
    fake::HoldService(L"notepadSvc");
    fake::MarkForDeletion(L"notepadSvc");
    EXPECT_EQ(UninstallService(identity_.ModulePath), ERROR_SERVICE_MARKED_FOR_DELETE);
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

}  // namespace
