// The fake's security and accounts: the token's elevation, the names of
// SIDs, local groups, and the security descriptors of files and folders.
#pragma once

#include "fake_world.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fake {

struct SecurityPart {
    bool elevated = true;
    struct AccountName {
        std::wstring domain;
        std::wstring name;
        SID_NAME_USE use;
    };
    std::map<std::string, AccountName> accounts;
    std::map<std::wstring, std::pair<DWORD, std::vector<std::wstring>>> localGroups;  // lower-case user
    std::vector<std::string> administratorsMembers;
    std::map<std::wstring, Security> descriptors;  // lower-case path, no trailing separator
};

}  // namespace fake
