#include "who_may_change.h"

#include "path_form.h"
#include "path_split.h"
#include "service_mode.h"
#include "system_library.h"

#include <windows.h>

#include <aclapi.h>
#include <lm.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// What an object is to the service, which decides the rights that matter.
enum class Part { File, Folder, FolderAbove };

struct Object {
    std::wstring Path;
    Part Role;
};

// How one check has judged each account it met, so that none is looked up
// twice.
struct Verdict {
    std::wstring Sid;
    std::wstring Name;     // how an event names it; empty when it is trusted
    std::wstring Unknown;  // why its membership could not be told, if so
};
struct Accounts {
    std::wstring Running;  // read when first needed; "?" when it cannot be
    std::vector<Verdict> Judged;
};

const wchar_t* const Refused = L"Only administrators may change what this service runs, but ";

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

// A number in decimal digits. The C++ library's own conversion would bring
// a whole formatting library into the host.
std::wstring Decimal(ULONGLONG number)
{
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + number % 10));
        number /= 10;
    } while (number != 0);
    return digits;
}

// "S-1-5-32-544": revision, 48-bit authority, then each 32-bit sub-authority.
std::wstring SidText(const void* sid)
{
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    ULONGLONG authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = (authority << 8) | bytes[i];
    }
    std::wstring text = L"S-" + Decimal(bytes[0]) + L"-" + Decimal(authority);
    for (BYTE i = 0; i < bytes[1]; ++i) {
        DWORD subAuthority = 0;
        std::memcpy(&subAuthority, bytes + 8 + 4 * std::size_t{i}, sizeof subAuthority);
        text += L"-" + Decimal(subAuthority);
    }
    return text;
}

// The account this process runs as: at a start, the service's own. Read
// once per check, and only when an account outside the trusted groups could
// change something; "?" when it cannot be read.
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

// An account of a machine, a domain (S-1-5-21-...) or Azure AD (S-1-12-...):
// one that may be a member of Administrators.
bool IsDirectoryAccount(const std::wstring& sid)
{
    return sid.compare(0, 9, L"S-1-5-21-") == 0 || sid.compare(0, 7, L"S-1-12-") == 0;
}

Verdict Judged(const void* sid, Accounts& accounts)
{
    const std::wstring text = SidText(sid);
    for (const Verdict& verdict : accounts.Judged) {
        if (verdict.Sid == text) {
            return verdict;
        }
    }
    Verdict verdict = {text, std::wstring(), std::wstring()};
    bool trusted = false;
    for (const wchar_t* account : TrustedAccounts) {
        trusted = trusted || text == account;
    }
    // The service's own account gains nothing by changing what it runs. At
    // /install the administrator installing it is judged as the next start
    // will judge them, so that what passes /install passes that start.
    if (!trusted && IsRunningAsService()) {
        trusted = text == RunningAccount(accounts.Running);
    }
    if (!trusted) {
        // A user is looked up; an account that has no name here (its domain
        // cannot be reached) cannot be.
        const Account account = AccountOf(sid);
        const Membership membership = account.Use == SidTypeUser      ? AdministratorsMembership(account)
                                      : account.Use != SidTypeUnknown ? Membership::NotMember
                                      : IsDirectoryAccount(text)      ? Membership::Unknown
                                                                      : Membership::NotMember;
        trusted = membership == Membership::Member;
        verdict.Name = trusted ? std::wstring() : Shown(account);
        if (membership == Membership::Unknown) {
            verdict.Unknown = L", and whether " + Shown(account) + L" is an administrator cannot be told";
        }
    }
    accounts.Judged.push_back(verdict);
    return verdict;
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
// inside the object later, not to it. An entry of a kind not known here
// might allow anything.
std::wstring JudgeSecurity(const Object& object, const void* owner, const ACL* dacl, Accounts& accounts)
{
    if (owner == nullptr) {
        return L"who owns " + object.Path + L" cannot be told";
    }
    const Verdict ownedBy = Judged(owner, accounts);
    if (!ownedBy.Name.empty()) {
        return ownedBy.Name + L" owns " + object.Path + ownedBy.Unknown;
    }
    if (dacl == nullptr) {
        return L"everyone may change " + object.Path + L", which has no access list";
    }
    const BYTE* entry = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
    for (WORD i = 0; i < dacl->AceCount; entry += reinterpret_cast<const ACE_HEADER*>(entry)->AceSize, ++i) {
        const BYTE type = reinterpret_cast<const ACE_HEADER*>(entry)->AceType;
        const BYTE flags = reinterpret_cast<const ACE_HEADER*>(entry)->AceFlags;
        if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
            continue;
        }
        if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            return L"who may change " + object.Path + L" cannot be told";
        }
        const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const std::wstring rights = RightsNamed(allowed->Mask, object.Role);
        if ((flags & INHERIT_ONLY_ACE) == 0 && !rights.empty()) {
            const Verdict account = Judged(&allowed->SidStart, accounts);
            if (!account.Name.empty()) {
                return account.Name + L" may " + rights + L" " + object.Path + account.Unknown;
            }
        }
    }
    return std::wstring();
}

std::wstring Judge(const Object& object, Accounts& accounts)
{
    // The object itself: a link is judged as the link, which whoever may
    // change it can point elsewhere; where it leads is judged on its own.
    HANDLE file =
        CreateFileW(object.Path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                nullptr, &dacl, nullptr, &descriptor);
        CloseHandle(file);
    }
    if (error != ERROR_SUCCESS) {
        return L"who may change " + object.Path + L" cannot be told";
    }
    std::wstring why = JudgeSecurity(object, owner, dacl, accounts);
    LocalFree(descriptor);
    return why;
}

bool IsSeparator(wchar_t unit)
{
    return unit == L'\\' || unit == L'/';
}

// The length of "C:\" or "\\server\share\", with which a path begins.
std::size_t RootLength(const std::wstring& path)
{
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) {
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

// Paths compared with ASCII letters folded: Windows' final path gives the
// case on disk, which the path as written may not have. Other letters that
// differ in case only cost a second look.
bool SamePath(const std::wstring& one, const std::wstring& other)
{
    const auto fold = [](wchar_t unit) { return unit >= L'A' && unit <= L'Z' ? unit - L'A' + L'a' : unit; };
    return one.size() == other.size() &&
           std::equal(one.begin(), one.end(), other.begin(), [&](wchar_t a, wchar_t b) { return fold(a) == fold(b); });
}

void Add(std::vector<Object>& objects, const Object& object)
{
    for (const Object& added : objects) {
        if (added.Role == object.Role && SamePath(added.Path, object.Path)) {
            return;
        }
    }
    objects.push_back(object);
}

// The file (unless it is not there) and every folder from its own up.
void AddFileAndFolders(std::vector<Object>& objects, std::wstring file, bool there)
{
    if (file.compare(0, 4, L"\\\\?\\") == 0) {
        file = WithoutDevicePrefix(file);
    }
    if (there) {
        Add(objects, {file, Part::File});
    }
    const std::wstring folder = FolderOf(file);
    Add(objects, {folder, Part::Folder});
    for (std::wstring above = ParentFolder(folder); !above.empty(); above = ParentFolder(above)) {
        Add(objects, {above, Part::FolderAbove});
    }
}

}  // namespace

std::wstring WhoElseMayChange(const std::wstring& hostPath, const std::wstring& programPath)
{
    // The program may be copied in after /install; its folder counts all the
    // same.
    const bool programThere =
        GetFileAttributesW(programPath.c_str()) != INVALID_FILE_ATTRIBUTES || GetLastError() != ERROR_FILE_NOT_FOUND;
    std::vector<Object> objects;
    for (const std::wstring* file : {&hostPath, &programPath}) {
        const bool there = file == &hostPath || programThere;
        AddFileAndFolders(objects, *file, there);
        if (!there) {
            continue;
        }
        // And where Windows finds it, through junctions, symbolic links and
        // SUBST drives.
        const std::wstring resolved = WindowsPathOf(*file, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (resolved.empty()) {
            return Refused + (L"where " + *file + L" leads cannot be told");
        }
        AddFileAndFolders(objects, resolved, true);
    }
    Accounts accounts;
    for (const Object& object : objects) {
        const std::wstring why = Judge(object, accounts);
        if (!why.empty()) {
            return Refused + why;
        }
    }
    return std::wstring();
}
