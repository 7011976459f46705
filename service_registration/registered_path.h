// The path the service's record gives for the host.
#pragma once

#include <windows.h>

#include <string>

// The path under which the service manager, which runs as LocalSystem, can
// reach the host. A drive letter that only the installing user's logon
// session has (a mapped network drive, a SUBST drive) means nothing to it:
// the path the letter stands for is given instead, as a UNC path or the real
// folder. A path whose %NAME% of a defined variable the service manager
// would expand is given in its short (8.3) form. Empty when Windows cannot
// tell such a path, or no form of it survives. Any other path, through
// junctions and symbolic links included, stays as it is: an administrator may
// point one at a new version on purpose.
std::wstring PathForServiceManager(const std::wstring& modulePath);
