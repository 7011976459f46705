// Which accounts the permission check trusts: those that could run anything
// as LocalSystem already.
#pragma once

#include <string>
#include <vector>

// How one check has judged an account it met, so that none is looked up
// twice.
struct Verdict {
    std::wstring Sid;
    std::wstring Name;     // how an event names it; empty when it is trusted
    std::wstring Unknown;  // why its membership could not be told, if so
};

struct Accounts {
    std::wstring Running;  // read when first needed; "?" when it cannot be
    std::vector<Verdict> Known;
};

// "S-1-5-32-544": revision, 48-bit authority, then each 32-bit sub-authority.
std::wstring SidText(const void* sid);

// Trusted: LocalSystem, Administrators, TrustedInstaller, the service's own
// account (when this process is the service), and any user account that is
// a member of Administrators, directly or through other groups.
Verdict JudgeAccount(const void* sid, Accounts& accounts);
