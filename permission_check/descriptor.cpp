#include "descriptor.h"

#include <vector>

namespace {

// A right through which an account could change what the service runs, as
// an event names it. Adding a file to the program's folder plants a DLL
// there, and so can adding a subfolder (worker.exe.local). Renaming a folder
// above swaps the whole tree below it; adding files there changes nothing,
// and C:\ lets every user add folders. Whoever may write a link's data or
// attributes may set where it leads.
struct Right {
    DWORD Mask;
    const wchar_t* OnFile;  // null where it does not matter
    const wchar_t* OnFolder;
    const wchar_t* OnFolderAbove;
    const wchar_t* OnLink;
};
const Right Rights[] = {
    {FILE_WRITE_DATA, L"write", L"add files to", nullptr, L"change the target of"},
    {FILE_APPEND_DATA, L"write", L"add folders to", nullptr, nullptr},
    {FILE_WRITE_ATTRIBUTES, nullptr, nullptr, nullptr, L"change the target of"},
    {FILE_DELETE_CHILD, nullptr, L"delete or rename anything in", L"delete or rename anything in", nullptr},
    {DELETE, L"delete", L"delete or rename", L"delete or rename", L"delete"},
    {WRITE_DAC, L"change the permissions of", L"change the permissions of", L"change the permissions of",
     L"change the permissions of"},
    {WRITE_OWNER, L"take ownership of", L"take ownership of", L"take ownership of", L"take ownership of"},
};

// OWNER RIGHTS grants only to the owner, who is judged already; CREATOR
// OWNER and CREATOR GROUP grant nothing but through what they leave to be
// inherited.
const wchar_t* const GrantNothingMore[] = {L"S-1-3-4", L"S-1-3-0", L"S-1-3-1"};

const wchar_t* NameFor(const Right& right, Part role)
{
    switch (role) {
    case Part::File: return right.OnFile;
    case Part::Folder: return right.OnFolder;
    case Part::FolderAbove: return right.OnFolderAbove;
    case Part::Link: return right.OnLink;
    }
    return nullptr;
}

// "write, delete and change the permissions of": what `mask` lets an account
// do to the object that would change what runs; empty when nothing.
std::wstring RightsNamed(DWORD mask, const Object& object)
{
    // Generic rights as Windows maps them for files.
    if ((mask & GENERIC_ALL) != 0) {
        mask |= FILE_ALL_ACCESS;
    }
    if ((mask & GENERIC_WRITE) != 0) {
        mask |= FILE_GENERIC_WRITE;
    }
    // A root cannot be deleted or renamed, whoever may.
    if (object.IsRoot) {
        mask &= ~static_cast<DWORD>(DELETE);
    }
    std::vector<std::wstring> names;
    for (const Right& right : Rights) {
        const wchar_t* name = NameFor(right, object.Role);
        if (name != nullptr && (mask & right.Mask) != 0 && (names.empty() || names.back() != name)) {
            names.emplace_back(name);
        }
    }
    std::wstring named;
    for (std::size_t i = 0; i < names.size(); ++i) {
        named += (i == 0 ? L"" : i + 1 == names.size() ? L" and " : L", ") + names[i];
    }
    return named;
}

bool GrantsNothingMore(const std::wstring& sid)
{
    for (const wchar_t* grantsNothing : GrantNothingMore) {
        if (sid == grantsNothing) {
            return true;
        }
    }
    return false;
}

}  // namespace

// Deny entries never make an object safe: they are judged as if absent.
// Inherit-only entries apply to what is made inside the object later, not to
// it. An entry of a kind not known here might allow anything.
std::wstring JudgeSecurity(const Object& object, const void* owner, const ACL* dacl, Accounts& accounts)
{
    if (owner == nullptr) {
        return L"who owns " + object.Path + L" cannot be told";
    }
    const Verdict ownedBy = JudgeAccount(owner, accounts);
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
        const std::wstring rights = RightsNamed(allowed->Mask, object);
        if ((flags & INHERIT_ONLY_ACE) != 0 || rights.empty() || GrantsNothingMore(SidText(&allowed->SidStart))) {
            continue;
        }
        const Verdict account = JudgeAccount(&allowed->SidStart, accounts);
        if (!account.Name.empty()) {
            return account.Name + L" may " + rights + L" " + object.Path + account.Unknown;
        }
    }
    return std::wstring();
}
