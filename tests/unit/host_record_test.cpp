// This very file's record: what stands under the host's name is its own
// only when it runs this file in this folder and is not being deleted;
// any other record is left alone, by /install and /uninstall alike.
#include "registration_support.h"

namespace {

INSTANTIATE_TEST_SUITE_P(
    ThisVeryFile, RegistrationPaths,
    ::testing::Values(PathCase{"AlreadyInstalled_NothingAtAll",
                               Action::Install,
                               Existing::ThisHost,
                               false,
                               {},
                               Join({{OpenManager, OpenForCheck(256), ChangeNothing(260)},
                                     SameFileCheck(260, 264),
                                     {CloseService(260)},
                                     PathCheck(280, ModulePath, ModulePath),
                                     {CloseManager(256)}}),
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
                                     {CloseService(260)},
                                     PathCheck(280, ModulePath, "C:\\APPS\\NOTEPA~1.EXE"),
                                     {CloseManager(256)}}),
                               NoBoxes,
                               NoEvents,
                               true,
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
                               {}},
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
                               {}}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

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
                                           {CloseService(288)},
                                           PathCheck(308, ModulePath, ModulePath),
                                           {CloseManager(284)}}));
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

}  // namespace
