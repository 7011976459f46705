#include "grown_text.h"
#include "host_core.h"
#include "paths.h"

std::wstring ServiceName;
std::wstring ChildProgramPath;
std::wstring ChildCommandLine;
std::wstring ChildWorkingDirectory;

namespace {

// The whole module path, however long: GetModuleFileNameW fills the buffer to
// the last unit when it cuts the path, so grow it until the path fits. A path
// cut short would name a service and a child that do not exist.
std::wstring QueryModulePath()
{
    const DWORD longestPath = 32768;  // the most any Windows path can hold
    return GrownText(MAX_PATH, [](wchar_t* buffer, DWORD size) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer, size);
        // A call that goes on filling whatever it is given is taken as cut.
        return length == size && size > longestPath ? size - 1 : length;
    });
}

}  // namespace

void DeriveHostIdentity(HostIdentity& identity)
{
    identity.ModulePath = LongFormOf(QueryModulePath());
    const PathParts parts = SplitPath(identity.ModulePath);

    ServiceName = parts.Stem;
    ChildWorkingDirectory = parts.Drive + parts.Directory;

    // The host is named after its child with three units added to the stem;
    // a stem shorter than that is kept whole.
    const std::wstring::size_type baseLength = ServiceName.size() >= 3 ? ServiceName.size() - 3 : ServiceName.size();
    ChildProgramPath = ChildWorkingDirectory + ServiceName.substr(0, baseLength) + L".exe";
    ChildCommandLine = QuotedIfBlank(ChildProgramPath) + L" ";
}
