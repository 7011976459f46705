#include "who_may_change.h"

#include "path_form.h"
#include "path_split.h"
#include "system_library.h"

#include <windows.h>

#include <aclapi.h>
#include <lm.h>

#include <cstring>
#include <vector>

namespace {

// What an object is to the service, which decides the rights that matter.
enum class Part { File, Folder, FolderAbove };

struct Object {
    std::wstring Path;
    Part Role;
    bool MayBeMissing;  // the program, which may be copied in after /install
};

// A right through which an account could change what the service runs, as
// an event names it. Adding a file to the program's folder plants a DLL
// there, and so can adding a subfolder (worker.exe.local). Renaming a folder
// above swaps the whole tree below it; adding files there changes nothing,
// and C:\ lets every user add folders.
struct Right {
    const wchar_t* OnFile;  // null where it does not matter
    const wchar_t* OnFolder;
    DWORD Mask;
    bool MattersAbove;
};
const Right Rights[] = {
    {L"write", L"add files to", FILE_WRITE_DATA, false},
    {L"write", L"add folders to", FILE_APPEND_DATA, false},
    {nullptr, L"delete or rename anything in", FILE_DELETE_CHILD, true},
    {L"delete", L"delete or rename", DELETE, true},
    {L"change the permissions of", L"change the permissions of", WRITE_DAC, true},
    {L"take ownership of", L"take ownership of", WRITE_OWNER, true},
};

// LocalSystem, Administrators and TrustedInstaller.
const wchar_t* const TrustedAccounts[] = {L"S-1-5-18", L"S-1-5-32-544",
                                          L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
// S-1-5-32-544, for the name Windows gives the Administrators group here.
const BYTE AdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

// "S-1-5-32-544": revision, 48-bit authority, then each 32-bit sub-authority.
std::wstring SidText(const void* sid)
{
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    ULONGLONG authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = (authority << 8) | bytes[i];
    }
    std::wstring text = L"S-" + std::to_wstring(bytes[0]) + L"-" + std::to_wstring(authority);
    for (BYTE i = 0; i < bytes[1]; ++i) {
        DWORD subAuthority = 0;
        std::memcpy(&subAuthority, bytes + 8 + 4 * std::size_t{i}, sizeof subAuthority);
        text += L"-" + std::to_wstring(subAuthority);
    }
    return text;
}

// The account this process runs as: the elevated administrator at /install,
// the service's own account at a start. An account that may change what it
// runs itself gains nothing by it. Read once per check, and only when an
// account outside the trusted groups could change something; "?" when it
// cannot be read.
const std::wstring& RunningAccount(std::wstring& known)
{
    if (!known.empty()) {
        return known;
    }
    known = L"?";
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) {
        return known;
    }
    union {
        TOKEN_USER User;
        BYTE Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer = {};
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) != FALSE) {
        known = SidText(buffer.User.User.Sid);
    }
    CloseHandle(token);
    return known;
}

struct Account {
    std::wstring Name;  // as LookupAccountSidW gives it, else the SID
    std::wstring Domain;
    SID_NAME_USE Use;
};

Account AccountOf(const void* sid)
{
    WCHAR name[257] = {};
    WCHAR domain[257] = {};
    DWORD nameLength = 257;
    DWORD domainLength = 257;
    SID_NAME_USE use = SidTypeUnknown;
    if (LookupAccountSidW(nullptr, const_cast<void*>(sid), name, &nameLength, domain, &domainLength, &use) == FALSE) {
        return {SidText(sid), std::wstring(), SidTypeUnknown};
    }
    return {name, domain, use};
}

std::wstring Shown(const Account& account)
{
    return account.Domain.empty() ? account.Name : account.Domain + L"\\" + account.Name;
}

enum class Membership { Member, NotMember, Unknown };

// Whether a user account is a member of Administrators, directly or through
// other groups, as this machine's local groups say. Decided the same way at
// /install and at a start, so that what passes one passes the other.
Membership AdministratorsMembership(const Account& user)
{
    const auto getGroups =
        LoadSystemFunction<decltype(&NetUserGetLocalGroups)>(L"netapi32.dll", "NetUserGetLocalGroups");
    const auto freeBuffer = LoadSystemFunction<decltype(&NetApiBufferFree)>(L"netapi32.dll", "NetApiBufferFree");
    const Account administrators = AccountOf(AdministratorsSid);
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    if (getGroups == nullptr || freeBuffer == nullptr || administrators.Use == SidTypeUnknown ||
        getGroups(nullptr, Shown(user).c_str(), 0, LG_INCLUDE_INDIRECT, &buffer, MAX_PREFERRED_LENGTH, &read, &total) !=
            NERR_Success) {
        if (buffer != nullptr) {
            freeBuffer(buffer);
        }
        return Membership::Unknown;
    }
    const auto* groups = reinterpret_cast<const LOCALGROUP_USERS_INFO_0*>(buffer);
    bool member = false;
    for (DWORD i = 0; i < read; ++i) {
        member = member ||
                 CompareStringOrdinal(groups[i].lgrui0_name, -1, administrators.Name.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    freeBuffer(buffer);
    return member ? Membership::Member : Membership::NotMember;
}

// Empty when the account is trusted; else how an event names it, and why its
// membership could not be told where that is so.
std::wstring Untrusted(const void* sid, std::wstring& runningAccount, std::wstring& unknown)
{
    const std::wstring text = SidText(sid);
    for (const wchar_t* trusted : TrustedAccounts) {
        if (text == trusted) {
            return std::wstring();
        }
    }
    if (text == RunningAccount(runningAccount)) {
        return std::wstring();
    }
    // A user is looked up; an account of a machine or domain (S-1-5-21-...)
    // that has no name here (its domain cannot be reached) cannot be.
    const Account account = AccountOf(sid);
    const Membership membership = account.Use == SidTypeUser              ? AdministratorsMembership(account)
                                  : account.Use != SidTypeUnknown         ? Membership::NotMember
                                  : text.compare(0, 9, L"S-1-5-21-") == 0 ? Membership::Unknown
                                                                          : Membership::NotMember;
    if (membership == Membership::Unknown) {
        unknown = L", and whether " + Shown(account) + L" is an administrator cannot be told";
    }
    return membership == Membership::Member ? std::wstring() : Shown(account);
}

// "write, delete and change the permissions of": what `mask` lets an account
// do to the object that would change what runs; empty when nothing.
std::wstring RightsNamed(DWORD mask, Part part)
{
    // Generic rights as Windows maps them for files.
    if ((mask & GENERIC_ALL) != 0) {
        mask |= FILE_ALL_ACCESS;
    }
    if ((mask & GENERIC_WRITE) != 0) {
        mask |= FILE_GENERIC_WRITE;
    }
    std::vector<std::wstring> names;
    for (const Right& right : Rights) {
        const wchar_t* name = part == Part::File ? right.OnFile : right.OnFolder;
        const bool matters = name != nullptr && (part != Part::FolderAbove || right.MattersAbove);
        if (matters && (mask & right.Mask) != 0 && (names.empty() || names.back() != name)) {
            names.emplace_back(name);
        }
    }
    std::wstring named;
    for (std::size_t i = 0; i < names.size(); ++i) {
        named += (i == 0 ? L"" : i + 1 == names.size() ? L" and " : L", ") + names[i];
    }
    return named;
}

// Why the owner or an allow entry of the object lets an untrusted account
// change it; empty when none does. Deny entries never make an object safe:
// they are judged as if absent. Inherit-only entries apply to what is made
// inside the object later, not to it.
std::wstring JudgeSecurity(const Object& object, const void* owner, const ACL* dacl, std::wstring& runningAccount)
{
    std::wstring unknown;
    const std::wstring ownedBy = Untrusted(owner, runningAccount, unknown);
    if (!ownedBy.empty()) {
        return ownedBy + L" owns " + object.Path + unknown;
    }
    if (dacl == nullptr) {
        return L"everyone may change " + object.Path + L", which has no access list";
    }
    std::wstring account;
    std::wstring rights;
    const BYTE* entry = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
    for (WORD i = 0; i < dacl->AceCount && account.empty(); ++i) {
        const auto* header = reinterpret_cast<const ACE_HEADER*>(entry);
        const bool allows =
            header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (allows && (header->AceFlags & INHERIT_ONLY_ACE) == 0) {
            const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry);
            rights = RightsNamed(allowed->Mask, object.Role);
            account = rights.empty() ? std::wstring() : Untrusted(&allowed->SidStart, runningAccount, unknown);
        }
        entry += header->AceSize;
    }
    return account.empty() ? std::wstring() : account + L" may " + rights + L" " + object.Path + unknown;
}

std::wstring Judge(const Object& object, std::wstring& runningAccount)
{
    // The object itself: a link is judged as the link, which whoever may
    // change it can point elsewhere; where it leads is judged on its own.
    HANDLE file =
        CreateFileW(object.Path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return object.MayBeMissing && GetLastError() == ERROR_FILE_NOT_FOUND
                   ? std::wstring()
                   : L"who may change " + object.Path + L" cannot be told";
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &descriptor);
    CloseHandle(file);
    if (error != ERROR_SUCCESS) {
        return L"who may change " + object.Path + L" cannot be told";
    }
    std::wstring why = JudgeSecurity(object, owner, dacl, runningAccount);
    LocalFree(descriptor);
    return why;
}

// The length of "C:\" or "\\server\share\", with which a path begins.
std::size_t RootLength(const std::wstring& path)
{
    if (path.compare(0, 2, L"\\\\") != 0) {
        return path.size() >= 3 && path[1] == L':' ? 3 : path.size();
    }
    const std::size_t share = path.find_first_of(L"\\/", 2);
    const std::size_t end = share == std::wstring::npos ? share : path.find_first_of(L"\\/", share + 1);
    return end == std::wstring::npos ? path.size() : end + 1;
}

// The folder that holds `folder` (both with their trailing separator); empty
// at the root of the volume.
std::wstring ParentFolder(const std::wstring& folder)
{
    const std::size_t root = RootLength(folder);
    if (folder.size() <= root) {
        return std::wstring();
    }
    const std::size_t separator = folder.find_last_of(L"\\/", folder.size() - 2);
    return separator == std::wstring::npos || separator + 1 < root ? std::wstring() : folder.substr(0, separator + 1);
}

void Add(std::vector<Object>& objects, const Object& object)
{
    for (const Object& added : objects) {
        if (added.Role == object.Role && added.Path == object.Path) {
            return;
        }
    }
    objects.push_back(object);
}

void AddFileAndFolders(std::vector<Object>& objects, const std::wstring& file, bool mayBeMissing)
{
    Add(objects, {file, Part::File, mayBeMissing});
    const std::wstring folder = FolderOf(file);
    Add(objects, {folder, Part::Folder, false});
    for (std::wstring above = ParentFolder(folder); !above.empty(); above = ParentFolder(above)) {
        Add(objects, {above, Part::FolderAbove, false});
    }
}

}  // namespace

std::wstring WhoElseMayChange(const std::wstring& hostPath, const std::wstring& programPath)
{
    std::vector<Object> objects;
    for (const std::wstring* file : {&hostPath, &programPath}) {
        AddFileAndFolders(objects, *file, file == &programPath);
        // Through junctions, symbolic links and SUBST drives; nothing for a
        // program not there yet.
        const std::wstring resolved = WindowsPathOf(*file, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (!resolved.empty()) {
            AddFileAndFolders(objects, resolved, file == &programPath);
        }
    }
    std::wstring runningAccount;
    for (const Object& object : objects) {
        const std::wstring why = Judge(object, runningAccount);
        if (!why.empty()) {
            return L"Only administrators may change what this service runs, but " + why;
        }
    }
    return std::wstring();
}
