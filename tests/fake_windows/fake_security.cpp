// The fake's security and accounts: the process's token, SIDs and their
// names, local groups (netapi32), and what GetSecurityInfo gives for a file
// or folder.
#include "fake_core.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace fake {
namespace {

// "S-1-5-32-544" as Windows lays a SID out: revision, count, the authority
// in 6 bytes from the most significant, each sub-authority in 4 (x86).
std::vector<BYTE> SidBytes(const std::string& text)
{
    std::vector<unsigned long long> numbers;
    for (std::size_t at = text.find('-'); at != std::string::npos; at = text.find('-', at + 1)) {
        numbers.push_back(std::stoull(text.substr(at + 1)));
    }
    std::vector<BYTE> bytes = {static_cast<BYTE>(numbers[0]), static_cast<BYTE>(numbers.size() - 2)};
    for (int shift = 40; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<BYTE>(numbers[1] >> shift));
    }
    for (std::size_t i = 2; i < numbers.size(); ++i) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<BYTE>(numbers[i] >> shift));
        }
    }
    return bytes;
}

// The text of a SID laid out as SidBytes lays it out.
std::string SidString(const void* sid)
{
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = (authority << 8) | bytes[i];
    }
    std::string text = "S-" + std::to_string(bytes[0]) + "-" + std::to_string(authority);
    for (int i = 0; i < bytes[1]; ++i) {
        std::uint32_t sub = 0;
        std::memcpy(&sub, bytes + 8 + 4 * i, sizeof sub);
        text += "-" + std::to_string(sub);
    }
    return text;
}

}  // namespace

void SetElevated(bool elevated)
{
    Locked lock;
    TheWorld().security.elevated = elevated;
}

void SetAccountName(const std::string& sid, const std::wstring& domain, const std::wstring& name, SID_NAME_USE use)
{
    Locked lock;
    TheWorld().security.accounts[sid] = {domain, name, use};
}

void SetLocalGroups(const std::wstring& user, DWORD status, const std::vector<std::wstring>& groups)
{
    Locked lock;
    TheWorld().security.localGroups[LowerCase(user)] = {status, groups};
}

void SetAdministratorsMembers(const std::vector<std::string>& sids)
{
    Locked lock;
    TheWorld().security.administratorsMembers = sids;
}

void SetSecurity(const std::wstring& path, const Security& security)
{
    Locked lock;
    TheWorld().security.descriptors[PathKey(WithoutTrailingSeparators(path))] = security;
}

}  // namespace fake

using namespace fake;

HANDLE WINAPI GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

// The process's token cannot be read: only the trusted groups are trusted.
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* /*token*/)
{
    Locked lock;
    Record("OpenProcessToken(" + Pointer(process) + ", " + Hex(desiredAccess) + ")");
    LastError = ERROR_ACCESS_DENIED;
    return FALSE;
}

// The host reads a token only once it has one, and OpenProcessToken here
// gives none.
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID /*information*/,
                                DWORD length, DWORD* /*returnLength*/)
{
    Locked lock;
    Record("GetTokenInformation(" + HandleName(token) + ", " + Number(informationClass) + ", " + Number(length) + ")");
    NotModelled("GetTokenInformation");
    return FALSE;
}

BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, DWORD* nameLength, LPWSTR domainName,
                              DWORD* domainLength, SID_NAME_USE* use)
{
    Locked lock;
    const std::string text = SidString(sid);
    Record("LookupAccountSidW(" + Text(systemName) + ", " + text + ")");
    const auto found = TheWorld().security.accounts.find(text);
    if (found == TheWorld().security.accounts.end()) {
        LastError = ERROR_NONE_MAPPED;
        return FALSE;
    }
    const SecurityPart::AccountName& account = found->second;
    if (account.name.size() >= *nameLength || account.domain.size() >= *domainLength) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::wmemcpy(name, account.name.c_str(), account.name.size() + 1);
    std::wmemcpy(domainName, account.domain.c_str(), account.domain.size() + 1);
    *use = account.use;
    return TRUE;
}

DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION securityInfo, PSID* owner,
                             PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* securityDescriptor)
{
    Locked lock;
    World& world = TheWorld();
    Record("GetSecurityInfo(" + HandleName(handle) + ", " + Number(objectType) + ", " + Hex(securityInfo) + ", " +
           Pointer(group) + ", " + Pointer(sacl) + ")");
    HandleEntry* entry = Use(handle, "file", "GetSecurityInfo");
    if (entry == nullptr) {
        return ERROR_ACCESS_DENIED;
    }
    const auto found = world.security.descriptors.find(PathKey(WithoutTrailingSeparators(entry->name)));
    const Security security = found != world.security.descriptors.end()
                                  ? found->second
                                  : Security{"S-1-5-32-544",
                                             true,
                                             {{true, 0, 0x1F01FF, "S-1-5-18"},
                                              {true, 0, 0x1F01FF, "S-1-5-32-544"},
                                              {true, 0, 0x1200A9, "S-1-5-32-545"}}};
    std::vector<BYTE> block = security.owner.empty() ? std::vector<BYTE>() : SidBytes(security.owner);
    const std::size_t aclAt = block.size();
    block.resize(aclAt + sizeof(ACL));
    for (const Ace& ace : security.aces) {
        const std::vector<BYTE> sid = SidBytes(ace.sid);
        const ACE_HEADER header = {static_cast<BYTE>(ace.allow ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE),
                                   ace.flags, static_cast<WORD>(sizeof(ACE_HEADER) + sizeof(DWORD) + sid.size())};
        const BYTE* headerBytes = reinterpret_cast<const BYTE*>(&header);
        const BYTE* maskBytes = reinterpret_cast<const BYTE*>(&ace.mask);
        block.insert(block.end(), headerBytes, headerBytes + sizeof header);
        block.insert(block.end(), maskBytes, maskBytes + sizeof ace.mask);
        block.insert(block.end(), sid.begin(), sid.end());
    }
    const ACL acl = {2, 0, static_cast<WORD>(block.size() - aclAt), static_cast<WORD>(security.aces.size()), 0};
    std::memcpy(block.data() + aclAt, &acl, sizeof acl);
    BYTE* descriptor = new BYTE[block.size()];
    std::memcpy(descriptor, block.data(), block.size());
    *owner = security.owner.empty() ? nullptr : descriptor;
    *dacl = security.hasDacl ? reinterpret_cast<PACL>(descriptor + aclAt) : nullptr;
    *securityDescriptor = descriptor;
    return ERROR_SUCCESS;
}

// The descriptor GetSecurityInfo gives is one block, the owner and the DACL
// inside it.
HLOCAL WINAPI LocalFree(HLOCAL memory)
{
    delete[] static_cast<BYTE*>(memory);
    return nullptr;
}

// netapi32: answers from the world's own tables; buffers are one block each.

NET_API_STATUS WINAPI NetUserGetLocalGroups(LPCWSTR serverName, LPCWSTR userName, DWORD level, DWORD flags,
                                            LPBYTE* buffer, DWORD preferredLength, DWORD* entriesRead,
                                            DWORD* totalEntries)
{
    Locked lock;
    RequireModule("netapi32.dll", "NetUserGetLocalGroups");
    Record("NetUserGetLocalGroups(" + Text(serverName) + ", " + Text(userName) + ", " + Number(level) + ", " +
           Hex(flags) + ", " + Hex(preferredLength) + ")");
    *buffer = nullptr;
    *entriesRead = *totalEntries = 0;
    const auto found = TheWorld().security.localGroups.find(LowerCase(userName));
    if (found == TheWorld().security.localGroups.end() || found->second.first != NERR_Success) {
        return found == TheWorld().security.localGroups.end() ? NERR_UserNotFound : found->second.first;
    }
    const std::vector<std::wstring>& groups = found->second.second;
    std::size_t size = groups.size() * sizeof(LOCALGROUP_USERS_INFO_0);
    for (const std::wstring& group : groups) {
        size += (group.size() + 1) * sizeof(wchar_t);
    }
    BYTE* block = new BYTE[size];
    auto* entries = reinterpret_cast<LOCALGROUP_USERS_INFO_0*>(block);
    auto* text = reinterpret_cast<wchar_t*>(block + groups.size() * sizeof(LOCALGROUP_USERS_INFO_0));
    for (std::size_t i = 0; i < groups.size(); ++i) {
        entries[i].lgrui0_name = text;
        text = std::wmemcpy(text, groups[i].c_str(), groups[i].size() + 1) + groups[i].size() + 1;
    }
    *buffer = block;
    *entriesRead = *totalEntries = static_cast<DWORD>(groups.size());
    return NERR_Success;
}

NET_API_STATUS WINAPI NetLocalGroupGetMembers(LPCWSTR serverName, LPCWSTR groupName, DWORD level, LPBYTE* buffer,
                                              DWORD preferredLength, DWORD* entriesRead, DWORD* totalEntries,
                                              DWORD_PTR* resumeHandle)
{
    Locked lock;
    World& world = TheWorld();
    RequireModule("netapi32.dll", "NetLocalGroupGetMembers");
    Record("NetLocalGroupGetMembers(" + Text(serverName) + ", " + Text(groupName) + ", " + Number(level) + ", " +
           Hex(preferredLength) + ", " + Pointer(resumeHandle) + ")");
    *buffer = nullptr;
    *entriesRead = *totalEntries = 0;
    const auto administrators = world.security.accounts.find("S-1-5-32-544");
    if (administrators == world.security.accounts.end() ||
        LowerCase(groupName) != LowerCase(administrators->second.name)) {
        return NERR_GroupNotFound;
    }
    const std::vector<std::string>& members = world.security.administratorsMembers;
    std::vector<BYTE> sids(1);
    std::vector<std::size_t> offsets;
    for (const std::string& member : members) {
        offsets.push_back(sids.size());
        const std::vector<BYTE> bytes = SidBytes(member);
        sids.insert(sids.end(), bytes.begin(), bytes.end());
    }
    const std::size_t head = members.size() * sizeof(LOCALGROUP_MEMBERS_INFO_0);
    BYTE* block = new BYTE[head + sids.size()];
    std::memcpy(block + head, sids.data(), sids.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(block)[i].lgrmi0_sid = block + head + offsets[i];
    }
    *buffer = block;
    *entriesRead = *totalEntries = static_cast<DWORD>(members.size());
    return NERR_Success;
}

NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    delete[] static_cast<BYTE*>(buffer);
    return NERR_Success;
}
