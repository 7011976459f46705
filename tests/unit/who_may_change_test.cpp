// Who may change what the service runs, for the descriptors Windows has and
// Wine cannot express: groups other than Everyone, inherit-only, generic and
// deny entries, null DACLs, owners other than the user. The fake names no
// account, so events show SIDs.
#include "permission_check/who_may_change.h"
#include "test_support.h"

#include <ostream>
#include <vector>

namespace {

using fake::Ace;
using fake::Security;

const char* const System = "S-1-5-18";
const char* const Administrators = "S-1-5-32-544";
const char* const Users = "S-1-5-32-545";
const char* const AuthenticatedUsers = "S-1-5-11";
const char* const Everyone = "S-1-1-0";
const char* const TrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const BYTE InheritOnly = 0x08;
const BYTE ObjectAndContainerInherit = 0x03;
const DWORD FullControl = 0x1F01FF;
const DWORD Modify = 0x1301BF;
const DWORD AddSubfolder = 0x4;  // FILE_ADD_SUBDIRECTORY, "create folders / append data"
const std::wstring Refused = L"Only administrators may change what this service runs, but ";

struct Case {
    const char* name;
    const wchar_t* path;  // whose descriptor the row writes
    Security security;
    std::wstring why;  // empty: safe
};

void PrintTo(const Case& row, std::ostream* out)
{
    *out << row.name;
}

class WhoMayChange : public HostTest, public ::testing::WithParamInterface<Case> {};

TEST_P(WhoMayChange, JudgesTheDescriptor)
{
    for (const wchar_t* beside :
         {L"C:\\Apps\\helper.dll", L"C:\\Apps\\notepad.exe.local\\helper.dll",
          L"C:\\Apps\\notepad.exe.local\\amd64_x\\comctl32.dll", L"C:\\Apps\\logs\\today.log"}) {
        fake::AddFile(beside);
    }
    fake::SetSecurity(GetParam().path, GetParam().security);
    EXPECT_EQ(WhyOthersMayChange(L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepad.exe"), GetParam().why);
    EXPECT_EQ(fake::OpenHandleCount(), 0);
}

Security Owned(const char* owner, std::vector<Ace> aces)
{
    aces.insert(aces.begin(), {{true, 0, FullControl, System}, {true, 0, FullControl, Administrators}});
    return Security{owner, true, aces};
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, WhoMayChange,
    ::testing::Values(
        // Windows 10's C:\: Modify for signed-in users only for what is made
        // inside it later, and "create folders" on it.
        Case{"InheritOnlyModifyOnTheRootIsFine", L"C:\\",
             Owned(System, {{true, ObjectAndContainerInherit | InheritOnly, Modify, AuthenticatedUsers},
                            {true, 0, AddSubfolder, AuthenticatedUsers}}),
             L""},
        // Windows Server's C:\ lets Users make folders; the program's folder must not.
        Case{"AddFolderOnAFolderAboveIsFine", L"C:\\", Owned(System, {{true, 0, AddSubfolder, Users}}), L""},
        Case{"AddFolderOnTheProgramsFolderIsNot", L"C:\\Apps\\",
             Owned(Administrators, {{true, 0, AddSubfolder, Users}}),
             Refused + L"S-1-5-32-545 may add folders to C:\\Apps\\"},
        Case{"GenericWriteIsWrite", L"C:\\Apps\\notepadSvc.exe",
             Owned(Administrators, {{true, 0, 0x40000000, Everyone}}),
             Refused + L"S-1-1-0 may write C:\\Apps\\notepadSvc.exe"},
        Case{"NullDaclGrantsEveryoneEverything", L"C:\\Apps\\", Security{Administrators, false, {}},
             Refused + L"everyone may change C:\\Apps\\, which has no access list"},
        Case{"TrustedInstallerOwnerIsFine", L"C:\\Apps\\", Owned(TrustedInstaller, {}), L""},
        Case{"NoOwnerCannotBeTold", L"C:\\Apps\\notepadSvc.exe", Security{"", true, {}},
             Refused + L"who owns C:\\Apps\\notepadSvc.exe cannot be told"},
        Case{"UsersOwnerMayRewriteTheDacl", L"C:\\Apps\\notepadSvc.exe", Owned(Users, {}),
             Refused + L"S-1-5-32-545 owns C:\\Apps\\notepadSvc.exe"},
        // Judged as if absent, whatever their order.
        Case{"DenyEntriesDoNotMakeItSafe", L"C:\\Apps\\notepadSvc.exe",
             Owned(Administrators, {{false, 0, FullControl, Everyone}, {true, 0, DELETE, Everyone}}),
             Refused + L"S-1-1-0 may delete C:\\Apps\\notepadSvc.exe"},
        // A root cannot be deleted or renamed (Azure Files gives its share's
        // root Modify for every signed-in user).
        Case{"DeleteOnARootDoesNotCount", L"C:\\", Owned(System, {{true, 0, Modify, AuthenticatedUsers}}), L""},
        // OWNER RIGHTS is the owner, judged already; CREATOR OWNER grants
        // nothing but what is inherited.
        Case{"OwnerRightsIsTheOwner", L"C:\\Apps\\", Owned(Administrators, {{true, 0, FullControl, "S-1-3-4"}}), L""},
        Case{"CreatorOwnerGrantsNothing", L"C:\\Apps\\", Owned(Administrators, {{true, 0, FullControl, "S-1-3-0"}}),
             L""},
        // A DLL beside the program is loaded before Windows' own.
        Case{"AFileBesideTheProgram", L"C:\\Apps\\helper.dll", Owned(Administrators, {{true, 0, Modify, Users}}),
             Refused + L"S-1-5-32-545 may write and delete C:\\Apps\\helper.dll"},
        Case{"TheLoadersLocalFolder", L"C:\\Apps\\notepad.exe.local\\",
             Owned(Administrators, {{true, 0, FILE_WRITE_DATA, Users}}),
             Refused + L"S-1-5-32-545 may add files to C:\\Apps\\notepad.exe.local\\"},
        // And an assembly's folder in it.
        Case{"AFolderInTheLoadersLocalFolder", L"C:\\Apps\\notepad.exe.local\\amd64_x\\comctl32.dll",
             Owned(Administrators, {{true, 0, FILE_WRITE_DATA, Users}}),
             Refused + L"S-1-5-32-545 may write C:\\Apps\\notepad.exe.local\\amd64_x\\comctl32.dll"},
        Case{"ADataFolderIsTheProgramsOwnBusiness", L"C:\\Apps\\logs\\",
             Owned(Administrators, {{true, 0, Modify, Users}}), L""},
        // A user whose membership of Administrators cannot be looked up.
        Case{"AUserOfUnknownMembershipIsNotTrusted", L"C:\\",
             Owned(System, {{true, 0, WRITE_DAC, "S-1-5-21-1-2-3-1001"}}),
             Refused + L"S-1-5-21-1-2-3-1001 may change the permissions of C:\\, and whether S-1-5-21-1-2-3-1001 is "
                       L"an administrator cannot be told"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A path whose end Windows cannot tell (a junction to a volume without a
// drive letter) could lead anywhere.
TEST_F(HostTest, AHostWhosePathCannotBeResolvedIsRefused)
{
    fake::FailCall("GetFinalPathNameByHandleW");
    EXPECT_EQ(WhyOthersMayChange(L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepad.exe"),
              Refused + L"where C:\\Apps\\ leads cannot be told");
}

// Each file is the file it is named: a name that differs only in case (in a
// case-sensitive folder) or by a trailing dot is another file.
TEST_F(HostTest, TwinsOfASafeFileAreJudgedEach)
{
    fake::MakeCaseSensitive(L"C:\\Apps");
    const wchar_t* const twins[] = {L"C:\\Apps\\Helper.dll", L"C:\\Apps\\helper.dll", L"C:\\Apps\\helper.dll."};
    for (const wchar_t* twin : twins) {
        fake::AddFile(twin);
    }
    // Helper.dll is listed first: each of the others is open in turn.
    for (const wchar_t* open : {twins[1], twins[2]}) {
        fake::SetSecurity(open, Owned(System, {{true, 0, FILE_WRITE_DATA, Users}}));
        EXPECT_EQ(WhyOthersMayChange(L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepad.exe"),
                  Refused + L"S-1-5-32-545 may write " + open);
        fake::SetSecurity(open, Owned(System, {}));
    }
}

// A listing cut short leaves the rest of the folder unjudged.
TEST_F(HostTest, AFolderWhoseListingFailsBeforeItsEndIsRefused)
{
    fake::FailCall("FindNextFileW");
    EXPECT_EQ(WhyOthersMayChange(L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepad.exe"),
              Refused + L"what C:\\Apps\\ holds cannot be told");
}

const Security UsersMayWrite = Owned(Administrators, {{true, 0, FILE_WRITE_DATA, Users}});

// Links in the path, as their reparse data gives them: each is judged as
// itself, and the walk goes on where it leads.
class Links : public HostTest {
protected:
    // The host at C:\A\Worker\workerSvc.exe and the same file where the
    // links lead, at `end`.
    static std::wstring HostThrough(const std::wstring& end)
    {
        fake::AddFile(L"C:\\A\\Worker\\workerSvc.exe");
        fake::AddFile(end + L"\\Worker\\workerSvc.exe");
        return WhyOthersMayChange(L"C:\\A\\Worker\\workerSvc.exe", L"C:\\A\\Worker\\worker.exe");
    }
};

// Windows Server's C:\ lets Users create files in every new folder, a
// junction too: whoever may write its data may point it elsewhere.
TEST_F(Links, AJunctionThatUsersMayWriteIsRefused)
{
    fake::SetReparsePoint(L"C:\\A", IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\D:\\Apps");
    fake::SetSecurity(L"C:\\A", UsersMayWrite);
    EXPECT_EQ(HostThrough(L"D:\\Apps"), Refused + L"S-1-5-32-545 may change the target of C:\\A");
}

// C:\A -> C:\B (relative) -> D:\C: the middle link is judged too, and the
// end of the chain is walked.
TEST_F(Links, EveryLinkOfAChainIsJudged)
{
    fake::SetReparsePoint(L"C:\\A", IO_REPARSE_TAG_SYMLINK, L"B", SYMLINK_FLAG_RELATIVE);
    fake::SetReparsePoint(L"C:\\B", IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\D:\\C");
    fake::AddFile(L"C:\\B\\Worker\\workerSvc.exe");
    EXPECT_EQ(HostThrough(L"D:\\C"), L"");
    fake::SetSecurity(L"D:\\C\\Worker\\", UsersMayWrite);
    EXPECT_EQ(HostThrough(L"D:\\C"), Refused + L"S-1-5-32-545 may add files to D:\\C\\Worker\\");
    fake::SetSecurity(L"C:\\B", UsersMayWrite);
    EXPECT_EQ(HostThrough(L"D:\\C"), Refused + L"S-1-5-32-545 may change the target of C:\\B");
}

// CreateSymbolicLinkW: "\Windows\System32" resolves to "current
// drive:\Windows\System32". mklink /D C:\A\Worker \Real leads to C:\Real.
TEST_F(Links, ARootRelativeLinkLeadsFromTheRootOfItsDrive)
{
    fake::SetReparsePoint(L"C:\\A\\Worker", IO_REPARSE_TAG_SYMLINK, L"\\Real", SYMLINK_FLAG_RELATIVE);
    fake::AddFile(L"C:\\A\\Worker\\workerSvc.exe");
    fake::AddFile(L"C:\\Real\\workerSvc.exe");
    fake::SetSecurity(L"C:\\Real\\", UsersMayWrite);
    EXPECT_EQ(WhyOthersMayChange(L"C:\\A\\Worker\\workerSvc.exe", L"C:\\A\\Worker\\worker.exe"),
              Refused + L"S-1-5-32-545 may add files to C:\\Real\\");
}

TEST_F(Links, AChainOfNineLinksIsRefused)
{
    for (int i = 0; i < 9; ++i) {
        const std::wstring link = i == 0 ? L"C:\\A" : L"C:\\L" + std::wstring(1, static_cast<wchar_t>(L'0' + i));
        fake::AddFile(link + L"\\Worker\\workerSvc.exe");
        fake::SetReparsePoint(link, IO_REPARSE_TAG_MOUNT_POINT,
                              L"\\??\\C:\\L" + std::wstring(1, static_cast<wchar_t>(L'1' + i)));
    }
    EXPECT_EQ(HostThrough(L"C:\\L9"),
              Refused + L"where C:\\A\\Worker\\ leads cannot be told: it goes through more than 8 links");
}

// A volume mounted in a folder: its own root decides who may add or rename
// what is below it.
TEST_F(Links, AMountedVolumesRootIsJudged)
{
    fake::SetReparsePoint(L"C:\\A", IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\Volume{5eed}\\");
    fake::SetSecurity(L"\\\\?\\Volume{5eed}\\", Owned(System, {{true, 0, FILE_DELETE_CHILD, Users}}));
    EXPECT_EQ(HostThrough(L"\\\\?\\Volume{5eed}"),
              Refused + L"S-1-5-32-545 may delete or rename anything in \\\\?\\Volume{5eed}\\");
}

// A domain account's groups need its domain controller; without one, its
// direct membership of Administrators is still read from this machine.
TEST_F(HostTest, AnAdministratorIsKnownWithoutTheDomainWhenAMemberItself)
{
    const char* const bob = "S-1-5-21-1-2-3-1001";
    fake::SetAccountName(Administrators, L"BUILTIN", L"Administrators", SidTypeAlias);
    fake::SetAccountName(bob, L"CORP", L"bob", SidTypeUser);
    fake::SetSecurity(L"C:\\Apps\\", Owned(bob, {}));
    const auto judged = [] { return WhyOthersMayChange(L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepad.exe"); };
    fake::SetLocalGroups(L"CORP\\bob", NERR_Success, {L"Users", L"Administrators"});
    EXPECT_EQ(judged(), L"");
    fake::SetLocalGroups(L"CORP\\bob", 2453);  // NERR_DCNotFound
    EXPECT_EQ(judged(), Refused + L"CORP\\bob owns C:\\Apps\\, and whether CORP\\bob is an administrator cannot be "
                                  L"told: it is not a member of Administrators itself, and its domain could not be "
                                  L"asked about its groups (error 2453)");
    fake::SetAdministratorsMembers({bob});
    EXPECT_EQ(judged(), L"");
    EXPECT_EQ(fake::Misuses(), std::vector<std::string>{});
}

}  // namespace
