// The fake's processes, jobs and consoles: the children the host starts,
// how they end, the jobs they are put in, the console the host attaches to
// with its Ctrl-C, and the child's image.
#include "fake_core.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>

namespace fake {
namespace {

// How long a child that loads before its loop has no message queue.
const long long ChildLoadsForMs = 1000;

// Wine's console is 80 cells wide and 150 rows high.
const std::size_t ConsoleWidth = 80;
const std::size_t ConsoleHeight = 150;

// The second cell of a character two cells wide, which reads back as nothing.
const wchar_t TrailingCell = 0xFFFF;

// The CJK blocks, which a console shows two cells wide.
bool IsWide(wchar_t character)
{
    return (character >= 0x1100 && character <= 0x115F) || (character >= 0x2E80 && character <= 0xA4CF) ||
           (character >= 0xAC00 && character <= 0xD7A3) || (character >= 0xF900 && character <= 0xFAFF) ||
           (character >= 0xFF00 && character <= 0xFF60);
}

// Making, attaching to or leaving a console resets the process's table of
// control handlers to its initial state: a default handler that ends it.
void ResetHandlersLocked()
{
    TheWorld().processes.consoleHandler = nullptr;
}

bool StartupInfoIsBare(const STARTUPINFOW* info)
{
    STARTUPINFOW expected;
    std::memset(&expected, 0, sizeof expected);
    expected.cb = sizeof expected;
    return info != nullptr && std::memcmp(info, &expected, sizeof expected) == 0;
}

bool IsZero(const PROCESS_INFORMATION* info)
{
    return info != nullptr && info->hProcess == nullptr && info->hThread == nullptr && info->dwProcessId == 0 &&
           info->dwThreadId == 0;
}

// Ends every process in the job, as TerminateJobObject or the closing of a
// kill-on-close job does.
void EndJobLocked(std::uintptr_t job, DWORD exitCode)
{
    World& world = TheWorld();
    for (const auto& member : world.processes.jobOfChild) {
        if (member.second == job && world.processes.childBehaviour != Child::SurvivesTermination) {
            EndChildLocked(static_cast<std::size_t>(member.first), exitCode);
        }
    }
}

}  // namespace

void EndChildLocked(std::size_t index, DWORD exitCode)
{
    World& world = TheWorld();
    if (!world.processes.children[index].ended) {
        world.processes.children[index].ended = true;
        world.processes.children[index].exitCode = exitCode;
        world.changed.notify_all();
    }
}

HANDLE ConsoleOutputLocked()
{
    LastError = ERROR_INVALID_HANDLE;
    return TheWorld().processes.consoleAttached ? reinterpret_cast<HANDLE>(NewHandle("console", -1, L""))
                                                : INVALID_HANDLE_VALUE;
}

void JobClosedLocked(std::uintptr_t job, DWORD limits)
{
    if ((limits & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0) {
        EndJobLocked(job, 0);
    }
}

void SetCommandLine(const std::wstring& commandLine)
{
    Locked lock;
    TheWorld().processes.commandLine = commandLine;
}

void SetChild(Child behaviour)
{
    Locked lock;
    TheWorld().processes.childBehaviour = behaviour;
}

void SetChildImage(const std::wstring& path, WORD subsystem)
{
    Locked lock;
    AddFileLocked(path);
    TheWorld().processes.images[LowerCase(path)] = subsystem;
}

void WriteChildConsole(const std::vector<std::wstring>& rows)
{
    Locked lock;
    ProcessesPart& processes = TheWorld().processes;
    for (const std::wstring& row : rows) {
        std::wstring cells;
        for (const wchar_t character : row) {
            cells += IsWide(character) ? std::wstring{character, TrailingCell} : std::wstring(1, character);
        }
        processes.consoleCells += cells + std::wstring(ConsoleWidth - cells.size(), L' ');
        ++processes.consoleRows;
    }
}

void CloseChildConsole(bool programHandlesIt)
{
    PHANDLER_ROUTINE handler = nullptr;
    long long closed = 0;
    {
        Locked lock;
        Record("(the console's window is closed)");
        World& world = TheWorld();
        if (!world.processes.consoleAttached) {
            return;
        }
        handler = world.processes.consoleHandler;
        closed = ClockMs();
        if (!programHandlesIt && !world.processes.children.empty()) {
            EndChildLocked(world.processes.children.size() - 1, 0xC000013Au);  // STATUS_CONTROL_C_EXIT
        }
    }
    // The handler runs unlocked, on a thread of Windows' own, as the host's
    // other threads go on.
    const char* const caller = ThreadName;
    ThreadName = "console";
    if (handler != nullptr) {
        handler(CTRL_CLOSE_EVENT);
    }
    ThreadName = caller;
    Locked lock;
    if (ClockMs() > closed + 5000) {
        TheWorld().core.misuses.push_back("CTRL_CLOSE_EVENT: the handler held the close past Windows' 5 s");
    }
    // Whatever the handler returned, Windows ends the process now.
    Record("(the process is ended by its closing console)");
    TheWorld().core.processEnded = true;
    TheWorld().changed.notify_all();
}

void EndChild(DWORD exitCode)
{
    Locked lock;
    if (!TheWorld().processes.children.empty()) {
        EndChildLocked(TheWorld().processes.children.size() - 1, exitCode);
    }
}

}  // namespace fake

using namespace fake;

LPWSTR WINAPI GetCommandLineW()
{
    Locked lock;
    Record("GetCommandLineW()");
    return &TheWorld().processes.commandLine[0];
}

BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, void* processAttributes, void* threadAttributes,
                           BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                           LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation)
{
    Locked lock;
    World& world = TheWorld();
    Record("CreateProcessW(" + Text(applicationName) + ", " + Text(commandLine) + ", " + Pointer(processAttributes) +
           ", " + Pointer(threadAttributes) + ", " + Number(inheritHandles) + ", " + Hex(creationFlags) + ", " +
           Pointer(environment) + ", " + Text(currentDirectory) + ", " +
           (StartupInfoIsBare(startupInfo) ? "bare startup info" : "startup info with settings") + ", " +
           (IsZero(processInformation) ? "cleared" : "uncleared") + " process information)");
    if (ShouldFail("CreateProcessW")) {
        LastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    // "If lpApplicationName is NULL, the module name portion of lpCommandLine
    // is limited to MAX_PATH characters." Which error is not documented.
    const std::wstring line = commandLine;
    const std::wstring module =
        line[0] == L'"' ? line.substr(1, line.find(L'"', 1) - 1) : line.substr(0, line.find(L' '));
    if (applicationName == nullptr && module.size() >= MAX_PATH) {
        LastError = ERROR_FILENAME_EXCED_RANGE;
        return FALSE;
    }
    // CreateProcessW may write to the command line: it must be writable.
    commandLine[0] = static_cast<volatile wchar_t*>(commandLine)[0];
    const int index = static_cast<int>(world.processes.children.size());
    const bool suspended = (creationFlags & CREATE_SUSPENDED) != 0;
    const bool endsAtOnce = world.processes.childBehaviour == Child::ExitsAtOnce && !suspended;
    world.processes.children.push_back(ChildProcessRecord{commandLine,
                                                          currentDirectory == nullptr ? L"" : currentDirectory,
                                                          creationFlags, endsAtOnce, 0, false, ClockMs(), suspended});
    processInformation->hProcess = reinterpret_cast<HANDLE>(NewHandle("process", index, L""));
    processInformation->hThread = reinterpret_cast<HANDLE>(NewHandle("thread", index, L""));
    processInformation->dwProcessId = static_cast<DWORD>(1000 + 4 * index);
    processInformation->dwThreadId = static_cast<DWORD>(2000 + 4 * index);
    return TRUE;
}

// The new thread runs to its end before its creator goes on: one of the
// orders Windows may give, and one that keeps the journal in order.
HANDLE WINAPI CreateThread(void* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD flags, DWORD* threadId)
{
    {
        Locked lock;
        Record("CreateThread(" + Pointer(attributes) + ", " + Number(stackSize) + ", routine, " + Pointer(parameter) +
               ", " + Hex(flags) + ", " + Pointer(threadId) + ")");
    }
    const char* const caller = ThreadName;
    ThreadName = "early";
    start(parameter);
    ThreadName = caller;
    Locked lock;
    return reinterpret_cast<HANDLE>(NewHandle("host thread", -1, L""));
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    Locked lock;
    World& world = TheWorld();
    Record("WaitForSingleObject(" + HandleName(handle) + ", " + Hex(milliseconds) + ")");
    HandleEntry* entry = UseOneOf(handle, {"process", "host thread"}, "process or thread", "WaitForSingleObject");
    if (entry == nullptr) {
        return 0xFFFFFFFFu;
    }
    if (entry->kind == "host thread") {
        return WAIT_OBJECT_0;  // it ran to its end in CreateThread
    }
    const auto child = static_cast<std::size_t>(entry->child);
    if (milliseconds != INFINITE && !world.processes.children[child].ended && !world.core.processEnded) {
        lock.Unlock();
        PassTime(milliseconds);
        lock.Relock();
        return world.processes.children[child].ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    // The whole fake process ending releases the wait, as it would end the
    // thread; the calls that follow are marked lost.
    lock.Wait([&] { return world.processes.children[child].ended || world.core.processEnded; });
    return WAIT_OBJECT_0;
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode)
{
    Locked lock;
    World& world = TheWorld();
    Record("TerminateProcess(" + HandleName(process) + ", " + Number(exitCode) + ")");
    HandleEntry* entry = Use(process, "process", "TerminateProcess");
    if (entry == nullptr) {
        return FALSE;
    }
    const auto child = static_cast<std::size_t>(entry->child);
    if (world.processes.children[child].ended) {
        return FALSE;  // access denied: the process has already ended
    }
    if (world.processes.childBehaviour == Child::SurvivesTermination) {
        return TRUE;
    }
    EndChildLocked(child, exitCode);
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, DWORD* exitCode)
{
    Locked lock;
    Record("GetExitCodeProcess(" + HandleName(process) + ", " + Pointer(exitCode) + ")");
    HandleEntry* entry = Use(process, "process", "GetExitCodeProcess");
    if (entry == nullptr) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const ChildProcessRecord& child = TheWorld().processes.children[static_cast<std::size_t>(entry->child)];
    *exitCode = child.ended ? child.exitCode : STILL_ACTIVE;
    return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE thread)
{
    Locked lock;
    World& world = TheWorld();
    Record("ResumeThread(" + HandleName(thread) + ")");
    HandleEntry* entry = Use(thread, "thread", "ResumeThread");
    if (entry == nullptr) {
        LastError = ERROR_INVALID_HANDLE;
        return static_cast<DWORD>(-1);
    }
    ChildProcessRecord& child = world.processes.children[static_cast<std::size_t>(entry->child)];
    if (!child.suspended) {
        return 0;
    }
    child.suspended = false;
    if (world.processes.childBehaviour == Child::ExitsAtOnce) {
        EndChildLocked(static_cast<std::size_t>(entry->child), 0);
    }
    return 1;
}

HANDLE WINAPI CreateJobObjectW(void* jobAttributes, LPCWSTR name)
{
    Locked lock;
    Record("CreateJobObjectW(" + Pointer(jobAttributes) + ", " + Text(name) + ")");
    return reinterpret_cast<HANDLE>(NewHandle("job", -1, L""));
}

BOOL WINAPI SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS informationClass, LPVOID information, DWORD length)
{
    Locked lock;
    const bool extended = informationClass == JobObjectExtendedLimitInformation &&
                          length == sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) && information != nullptr;
    const DWORD limits =
        extended ? static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(information)->BasicLimitInformation.LimitFlags
                 : 0;
    Record("SetInformationJobObject(" + HandleName(job) + ", " + Number(informationClass) + ", limits " + Hex(limits) +
           ", " + Number(length) + ")");
    HandleEntry* entry = Use(job, "job", "SetInformationJobObject");
    if (entry == nullptr || !extended) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    entry->access = limits;
    return TRUE;
}

BOOL WINAPI AssignProcessToJobObject(HANDLE job, HANDLE process)
{
    Locked lock;
    World& world = TheWorld();
    Record("AssignProcessToJobObject(" + HandleName(job) + ", " + HandleName(process) + ")");
    HandleEntry* jobEntry = Use(job, "job", "AssignProcessToJobObject");
    HandleEntry* processEntry = Use(process, "process", "AssignProcessToJobObject");
    if (jobEntry == nullptr || processEntry == nullptr || ShouldFail("AssignProcessToJobObject")) {
        LastError = ERROR_ACCESS_DENIED;  // as for a process in a job that forbids nesting
        return FALSE;
    }
    ChildProcessRecord& child = world.processes.children[static_cast<std::size_t>(processEntry->child)];
    if (!child.suspended) {
        world.core.misuses.push_back("AssignProcessToJobObject: the child ran before it was in the job");
    }
    world.processes.jobOfChild[processEntry->child] = reinterpret_cast<std::uintptr_t>(job);
    return TRUE;
}

BOOL WINAPI TerminateJobObject(HANDLE job, UINT exitCode)
{
    Locked lock;
    Record("TerminateJobObject(" + HandleName(job) + ", " + Number(exitCode) + ")");
    if (Use(job, "job", "TerminateJobObject") == nullptr) {
        return FALSE;
    }
    EndJobLocked(reinterpret_cast<std::uintptr_t>(job), exitCode);
    return TRUE;
}

// Counts the job's processes that have not ended, into the accounting
// record (the journal shows what was asked for).
BOOL WINAPI QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS informationClass, LPVOID information, DWORD length,
                                      DWORD* returnLength)
{
    Locked lock;
    Record("QueryInformationJobObject(" + HandleName(job) + ", " + Number(informationClass) + ", " + Number(length) +
           ", " + Pointer(returnLength) + ")");
    if (Use(job, "job", "QueryInformationJobObject") == nullptr) {
        return FALSE;
    }
    auto* accounting = static_cast<JOBOBJECT_BASIC_ACCOUNTING_INFORMATION*>(information);
    *accounting = {};
    for (const auto& member : TheWorld().processes.jobOfChild) {
        const bool ended = TheWorld().processes.children[static_cast<std::size_t>(member.first)].ended;
        accounting->ActiveProcesses += member.second == reinterpret_cast<std::uintptr_t>(job) && !ended ? 1 : 0;
    }
    return TRUE;
}

BOOL WINAPI AllocConsole()
{
    Locked lock;
    World& world = TheWorld();
    Record("AllocConsole()");
    if (world.processes.consoleAttached || ShouldFail("AllocConsole")) {
        LastError = ERROR_ACCESS_DENIED;  // a process has one console at most
        return FALSE;
    }
    world.processes.consoleAttached = true;
    ResetHandlersLocked();
    // The standard handles are replaced with the new console's.
    for (HANDLE& standard : world.windows.standardHandles) {
        const std::uintptr_t handle = NewHandle("console", -1, L"standard handle");
        world.processes.consoleStandardHandles.push_back(handle);
        standard = reinterpret_cast<HANDLE>(handle);
    }
    return TRUE;
}

BOOL WINAPI SetConsoleTitleW(LPCWSTR title)
{
    Locked lock;
    Record("SetConsoleTitleW(" + Text(title) + ")");
    if (!TheWorld().processes.consoleAttached) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    Locked lock;
    Record("SetConsoleCtrlHandler(" + Pointer(reinterpret_cast<const void*>(handler)) + ", " + Number(add) + ")");
    if (ShouldFail("SetConsoleCtrlHandler")) {
        LastError = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    if (handler == nullptr) {
        TheWorld().processes.ignoresCtrlC = add != FALSE;
    } else {
        TheWorld().processes.consoleHandler = add != FALSE ? handler : nullptr;
    }
    return TRUE;
}

BOOL WINAPI GenerateConsoleCtrlEvent(DWORD controlEvent, DWORD processGroupId)
{
    Locked lock;
    World& world = TheWorld();
    Record("GenerateConsoleCtrlEvent(" + Number(controlEvent) + ", " + Number(processGroupId) + ")");
    if (!world.processes.consoleAttached) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // Every process on the console gets it, the host too: the default
    // handler ends it, and so does Windows when every handler returns FALSE.
    const bool ignored = controlEvent == CTRL_C_EVENT && world.processes.ignoresCtrlC;
    if (!ignored &&
        (world.processes.consoleHandler == nullptr || world.processes.consoleHandler(controlEvent) == FALSE)) {
        world.core.misuses.push_back("GenerateConsoleCtrlEvent: the host ends on its own Ctrl-C");
    }
    return TRUE;
}

BOOL WINAPI FreeConsole()
{
    Locked lock;
    World& world = TheWorld();
    Record("FreeConsole()");
    if (!world.processes.consoleAttached) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    world.processes.consoleAttached = false;
    ResetHandlersLocked();
    // Its handles close with it; the standard handles keep their values.
    for (const std::uintptr_t handle : world.processes.consoleStandardHandles) {
        world.core.handles[handle].open = false;
    }
    world.processes.consoleStandardHandles.clear();
    // A console closes when its last process leaves.
    const bool programOnIt = !world.processes.children.empty() && !world.processes.children.back().ended &&
                             (world.processes.children.back().creationFlags & CREATE_NEW_CONSOLE) == 0;
    if (!programOnIt) {
        world.processes.consoleCells.clear();
        world.processes.consoleRows = 0;
    }
    return TRUE;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info)
{
    Locked lock;
    Record("GetConsoleScreenBufferInfo(" + HandleName(console) + ")");
    if (Use(console, "console", "GetConsoleScreenBufferInfo") == nullptr) {
        return FALSE;
    }
    const auto cursorRow = static_cast<SHORT>(TheWorld().processes.consoleRows);
    *info = {{static_cast<SHORT>(ConsoleWidth), static_cast<SHORT>(ConsoleHeight)}, {0, cursorRow}};
    return TRUE;
}

// Reads `length` cells on from `from`, row after row, to the end of the
// buffer; a character two cells wide comes back once, and the count is of
// the characters read.
BOOL WINAPI ReadConsoleOutputCharacterW(HANDLE console, LPWSTR characters, DWORD length, COORD from, DWORD* read)
{
    Locked lock;
    const std::wstring& cells = TheWorld().processes.consoleCells;
    Record("ReadConsoleOutputCharacterW(" + HandleName(console) + ", " + Number(length) + ", {" + Number(from.X) +
           ", " + Number(from.Y) + "})");
    if (Use(console, "console", "ReadConsoleOutputCharacterW") == nullptr) {
        return FALSE;
    }
    const std::size_t first = static_cast<std::size_t>(from.Y) * ConsoleWidth + static_cast<std::size_t>(from.X);
    const std::size_t end = std::min<std::size_t>(first + length, ConsoleWidth * ConsoleHeight);
    *read = 0;
    for (std::size_t cell = first; cell < end; ++cell) {
        const wchar_t character = cell < cells.size() ? cells[cell] : L' ';
        if (character != TrailingCell) {
            characters[(*read)++] = character;
        }
    }
    return TRUE;
}

// The child's image, whose headers the host reads for its subsystem.
BOOL WINAPI ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped)
{
    Locked lock;
    const std::map<std::wstring, WORD>& images = TheWorld().processes.images;
    Record("ReadFile(" + HandleName(file) + ", " + Number(bytesToRead) + ", " + Pointer(overlapped) + ")");
    HandleEntry* entry = Use(file, "file", "ReadFile");
    const auto image = entry == nullptr ? images.end() : images.find(LowerCase(entry->name));
    if (image == images.end()) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    // An image's DOS header, and at 0x80 its PE header, whose subsystem lies 0x5C into it.
    BYTE headers[0x200] = {'M', 'Z'};
    headers[0x3C] = 0x80;
    std::memcpy(headers + 0x80, "PE\0\0", 4);
    headers[0x80 + 0x5C] = static_cast<BYTE>(image->second);
    *bytesRead = bytesToRead < sizeof headers ? bytesToRead : sizeof headers;
    std::memcpy(buffer, headers, *bytesRead);
    return TRUE;
}

// user32's, but what it does is the child's: a message loop ends at WM_QUIT.
BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam)
{
    Locked lock;
    World& world = TheWorld();
    Record("PostThreadMessageW(" + Number(threadId) + ", " + Hex(message) + ", " + Number(wParam) + ", " +
           Number(lParam) + ")");
    RequireModule("user32.dll", "PostThreadMessageW");
    for (std::size_t i = 0; i < world.processes.children.size(); ++i) {
        if (static_cast<DWORD>(2000 + 4 * i) != threadId) {
            continue;
        }
        for (const auto& entry : world.core.handles) {
            if (entry.second.kind == "thread" && entry.second.child == static_cast<int>(i) && !entry.second.open) {
                world.core.misuses.push_back("PostThreadMessageW: thread id of a child whose handles are closed");
            }
        }
        const bool loading = world.processes.childBehaviour == Child::LoadsBeforeItsLoop &&
                             ClockMs() < world.processes.children[i].createdAt + ChildLoadsForMs;
        const bool console = world.processes.childBehaviour == Child::IgnoresWmQuit ||
                             world.processes.childBehaviour == Child::RunsUntilEnded;
        if (world.processes.children[i].ended || loading || console) {
            LastError = ERROR_INVALID_THREAD_ID;  // gone, or no message queue (yet)
            return FALSE;
        }
        world.processes.children[i].quitPosted = world.processes.children[i].quitPosted || message == WM_QUIT;
        if (message == WM_QUIT && (world.processes.childBehaviour == Child::QuitsOnWmQuit ||
                                   world.processes.childBehaviour == Child::LoadsBeforeItsLoop)) {
            EndChildLocked(i, 0);
        }
        return TRUE;
    }
    world.core.misuses.push_back("PostThreadMessageW: unknown thread id");
    return FALSE;
}
