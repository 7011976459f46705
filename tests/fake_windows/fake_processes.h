// The fake's processes, jobs and consoles: the host's command line, the
// children it starts, their jobs, and the console it makes for them.
#pragma once

#include "fake_world.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

struct ProcessesPart {
    std::wstring commandLine = L"C:\\Apps\\notepadSvc.exe";
    Child childBehaviour = Child::QuitsOnWmQuit;
    std::vector<ChildProcessRecord> children;
    std::map<int, std::uintptr_t> jobOfChild;            // child index -> job handle
    std::set<std::uintptr_t> endedJobs;                  // terminated or closed
    std::map<std::wstring, WORD> images;                 // lower-case program path -> its image's subsystem
    std::wstring consoleCells;                           // the console's cells, row after row (see TrailingCell)
    std::size_t consoleRows = 0;                         // rows written; the cursor is at the start of the next
    bool consoleAttached = false;                        // the host is on the console it made
    std::vector<std::uintptr_t> consoleStandardHandles;  // what AllocConsole set
    bool ignoresCtrlC = false;
    PHANDLER_ROUTINE consoleHandler = nullptr;  // null: the default, which ends the process
};

// The caller holds the lock.
void EndChildLocked(std::size_t index, DWORD exitCode);
// A handle to the screen buffer of the console the host is attached to, as
// CreateFileW opens "CONOUT$". The caller holds the lock.
HANDLE ConsoleOutputLocked();
// The closing of a job's last handle. The caller holds the lock.
void JobClosedLocked(std::uintptr_t job, DWORD limits);

}  // namespace fake
