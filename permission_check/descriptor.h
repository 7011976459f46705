// What a file's or folder's security descriptor lets accounts other than
// the trusted ones do to it.
#pragma once

#include "accounts.h"

#include <windows.h>

#include <string>

// What an object is to the service, which decides the rights that matter.
enum class Part {
    File,         // the host, the program, a DLL or anything else beside them
    Folder,       // the folder they are in (or its worker.exe.local)
    FolderAbove,  // a folder the path goes through
    Link,         // a junction, symbolic link or mount point on the way
};

struct Object {
    std::wstring Path;  // as an event names it
    Part Role;
    bool IsRoot;  // of a volume or a share, which cannot be deleted or renamed
};

// Why the owner or an allow entry of the object lets an untrusted account
// change it; empty when none does.
std::wstring JudgeSecurity(const Object& object, const void* owner, const ACL* dacl, Accounts& accounts);
