#include "accounts.h"

#include "host_core/event_text.h"
#include "host_core/service_mode.h"
#include "host_core/system_library.h"

#include <windows.h>

#include <lm.h>

#include <cstring>

namespace {

// LocalSystem, Administrators and TrustedInstaller.
const wchar_t* const TrustedAccounts[] = {L"S-1-5-18", L"S-1-5-32-544",
                                          L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
// S-1-5-32-544, for the name Windows gives the Administrators group here.
const BYTE AdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

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
    DWORD Error;  // why it has no name
};

Account AccountOf(const void* sid)
{
    WCHAR name[257] = {};
    WCHAR domain[257] = {};
    DWORD nameLength = 257;
    DWORD domainLength = 257;
    SID_NAME_USE use = SidTypeUnknown;
    if (LookupAccountSidW(nullptr, const_cast<void*>(sid), name, &nameLength, domain, &domainLength, &use) == FALSE) {
        return {SidText(sid), std::wstring(), SidTypeUnknown, GetLastError()};
    }
    return {name, domain, use, ERROR_SUCCESS};
}

std::wstring Shown(const Account& account)
{
    return account.Domain.empty() ? account.Name : account.Domain + L"\\" + account.Name;
}

// A netapi32 function, loaded from the system directory as every DLL here.
template <typename Function> Function NetApi(const char* name)
{
    return LoadSystemFunction<Function>(L"netapi32.dll", name);
}

// What a netapi32 call gave, released however the call went.
void FreeNetBuffer(LPBYTE buffer)
{
    const auto freeBuffer = NetApi<decltype(&NetApiBufferFree)>("NetApiBufferFree");
    if (buffer != nullptr && freeBuffer != nullptr) {
        freeBuffer(buffer);
    }
}

// Whether the user is a member of Administrators through any group, as its
// domain and this machine say: NERR_Success, or why they could not be asked
// (a domain controller out of reach gives NERR_DCNotFound, and the name's
// lookup ERROR_NONE_MAPPED on a network time-out).
NET_API_STATUS AskGroups(const Account& user, const std::wstring& administrators, bool& member)
{
    const auto getGroups = NetApi<decltype(&NetUserGetLocalGroups)>("NetUserGetLocalGroups");
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS status = getGroups == nullptr ? ERROR_PROC_NOT_FOUND
                                                       : getGroups(nullptr, Shown(user).c_str(), 0, LG_INCLUDE_INDIRECT,
                                                                   &buffer, MAX_PREFERRED_LENGTH, &read, &total);
    const auto* groups = reinterpret_cast<const LOCALGROUP_USERS_INFO_0*>(buffer);
    for (DWORD i = 0; status == NERR_Success && i < read; ++i) {
        member =
            member || CompareStringOrdinal(groups[i].lgrui0_name, -1, administrators.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    FreeNetBuffer(buffer);
    return status;
}

// Whether the account is itself a member of Administrators, by its SID: this
// machine's own database alone is read, so no domain controller is needed.
bool IsDirectMember(const std::wstring& sid, const std::wstring& administrators)
{
    const auto getMembers = NetApi<decltype(&NetLocalGroupGetMembers)>("NetLocalGroupGetMembers");
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const bool listed =
        getMembers != nullptr && getMembers(nullptr, administrators.c_str(), 0, &buffer, MAX_PREFERRED_LENGTH, &read,
                                            &total, nullptr) == NERR_Success;
    const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_0*>(buffer);
    bool member = false;
    for (DWORD i = 0; listed && i < read; ++i) {
        member = member || SidText(members[i].lgrmi0_sid) == sid;
    }
    FreeNetBuffer(buffer);
    return member;
}

// Whether an account of a machine, a domain or Azure AD belongs to
// Administrators, decided the same way at /install and at a start, so that
// what passes one passes the other. Empty when it does; else why it is not
// trusted: nothing when it is known not to be a member, or why that cannot be
// told. A domain that cannot be asked (a laptop away from its network, an
// automatic start before the network is up) still leaves the direct members.
bool IsAdministrator(const std::wstring& sid, const Account& account, std::wstring& unknown)
{
    const Account administrators = AccountOf(AdministratorsSid);
    if (administrators.Use == SidTypeUnknown) {
        unknown = L", and whether " + Shown(account) + L" is an administrator cannot be told";
        return false;
    }
    bool member = false;
    const NET_API_STATUS status =
        account.Use == SidTypeUser ? AskGroups(account, administrators.Name, member) : account.Error;
    if (status == NERR_Success) {
        return member;
    }
    if (IsDirectMember(sid, administrators.Name)) {
        return true;
    }
    unknown = L", and whether " + Shown(account) +
              L" is an administrator cannot be told: it is not a member of Administrators itself, and its domain "
              L"could not be asked about its groups (error " +
              DecimalText(status) + L")";
    return false;
}

// An account of a machine, a domain (S-1-5-21-...) or Azure AD (S-1-12-...):
// one that may be a member of Administrators.
bool IsDirectoryAccount(const std::wstring& sid)
{
    return sid.compare(0, 9, L"S-1-5-21-") == 0 || sid.compare(0, 7, L"S-1-12-") == 0;
}

}  // namespace

std::wstring SidText(const void* sid)
{
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    ULONGLONG authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = (authority << 8) | bytes[i];
    }
    std::wstring text = L"S-" + DecimalText(bytes[0]) + L"-" + DecimalText(authority);
    for (BYTE i = 0; i < bytes[1]; ++i) {
        DWORD subAuthority = 0;
        std::memcpy(&subAuthority, bytes + 8 + 4 * std::size_t{i}, sizeof subAuthority);
        text += L"-" + DecimalText(subAuthority);
    }
    return text;
}

Verdict JudgeAccount(const void* sid, Accounts& accounts)
{
    const std::wstring text = SidText(sid);
    for (const Verdict& verdict : accounts.Known) {
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
        // Groups are not looked into; an account with no name here (its
        // domain cannot be reached) is judged by its SID.
        const Account account = AccountOf(sid);
        const bool mayBeMember =
            account.Use == SidTypeUser || (account.Use == SidTypeUnknown && IsDirectoryAccount(text));
        trusted = mayBeMember && IsAdministrator(text, account, verdict.Unknown);
        verdict.Name = trusted ? std::wstring() : Shown(account);
    }
    accounts.Known.push_back(verdict);
    return verdict;
}
