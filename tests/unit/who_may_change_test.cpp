// Who may change what the service runs, for the descriptors Windows has and
// Wine cannot express: groups other than Everyone, inherit-only, generic and
// deny entries, null DACLs, owners other than the user. The fake names no
// account, so events show SIDs.
#include "host_core/who_may_change.h"
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
    fake::SetSecurity(GetParam().path, GetParam().security);
    EXPECT_EQ(WhoElseMayChange(L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepad.exe"), GetParam().why);
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
    EXPECT_EQ(WhoElseMayChange(L"C:\\Apps\\notepadSvc.exe", L"C:\\Apps\\notepad.exe"),
              Refused + L"where C:\\Apps\\notepadSvc.exe leads cannot be told");
}

}  // namespace
