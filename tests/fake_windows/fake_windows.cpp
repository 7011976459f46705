#include "fake_world.h"

#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

// The fake's own bookkeeping lock must not hide the host's races from
// ThreadSanitizer: under TSan every use of the world is made invisible to it,
// so only the host's own synchronisation (and thread start and join) counts.
#if defined(__SANITIZE_THREAD__)
#define FAKE_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FAKE_UNDER_TSAN 1
#endif
#endif

#ifdef FAKE_UNDER_TSAN
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
}
#endif

namespace fake {
namespace {

struct HandleEntry {
    std::string kind;  // "event source", "manager", "service", "process", "thread", "file", "job"
    bool open;
    int child;          // index into children for process and thread handles; the file's index
    std::wstring name;  // service or event source name
    DWORD access = 0;   // what a service handle was opened for; a job's limits
};

// The journal and what every subsystem shares: handles, failures, misuses,
// the DLLs loaded, and whether the process has ended.
struct CorePart {
    std::vector<Call> journal;
    std::vector<std::string> misuses;
    std::map<std::uintptr_t, HandleEntry> handles;
    std::uintptr_t nextHandle = 0x100;
    std::map<std::string, std::vector<int>> failures;  // operation -> call numbers (0: all)
    std::map<std::string, int> callCounts;
    std::set<std::string> loadedModules;
    bool processEnded = false;
    int realMicrosecondsPerMs = 0;
};

// Files and paths: the disk, its short forms, the session's drives.
struct FilesPart {
    std::wstring modulePath = L"C:\\Apps\\notepadSvc.exe";
    std::map<std::wstring, int> ids;                 // lower-case path -> file index
    std::map<std::wstring, std::wstring> names;      // lower-case path -> the path as added
    std::map<std::wstring, int> folderIds;           // lower-case folder path -> its index
    std::map<std::wstring, std::wstring> longPaths;  // lower-case short path -> long path
    std::map<std::wstring, std::wstring> drives;     // lower-case "z:" -> what the session's letter stands for
    struct Reparse {
        DWORD tag;
        std::wstring name;
        DWORD flags;
    };
    std::map<std::wstring, Reparse> reparsePoints;  // lower-case path, no trailing separator
    std::map<std::uintptr_t, std::vector<WIN32_FIND_DATAW>> listings;
};

// Security and accounts: the token's elevation, names of SIDs, groups, and
// the descriptors of files and folders.
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

// Processes, jobs and consoles: the host's command line, its children, their
// jobs, and the console the host may attach to.
struct ProcessesPart {
    std::wstring commandLine = L"C:\\Apps\\notepadSvc.exe";
    Child childBehaviour = Child::QuitsOnWmQuit;
    std::vector<ChildProcessRecord> children;
    std::map<int, std::uintptr_t> jobOfChild;  // child index -> job handle
    std::set<std::uintptr_t> endedJobs;        // terminated or closed
    std::map<std::wstring, WORD> images;       // lower-case program path -> its image's subsystem
    std::wstring consoleCells;                 // the child's console, row after row
    bool consoleAttached = false;
    bool ignoresCtrlC = false;
    PHANDLER_ROUTINE consoleHandler = nullptr;
};

// The service manager: its records, and the dispatcher of this process's
// service with its threads, controls and status reports.
struct ServicesPart {
    std::map<std::wstring, ServiceRecord> records;  // lower-case name
    bool startedByServiceManager = false;
    bool statusWaitsForHandler = false;
    bool processEndsAtStopped = false;
    bool wineDispatcher = false;
    std::function<void(DWORD)> statusHook;
    std::vector<StatusReport> statusReports;
    LPHANDLER_FUNCTION handler = nullptr;
    std::deque<DWORD> controls;
    bool handlerRunning = false;
    bool stoppedReported = false;
    DWORD lastReportedState = 0;
    std::thread serviceThread;
    std::thread handlerThread;
};

struct EventLogPart {
    std::vector<Event> events;
};

// Windows and boxes: what a user may see of the process, its session and
// window station, and its standard error.
struct WindowsPart {
    std::vector<Box> boxes;
    DWORD session = 1;
    bool stationVisible = true;
    DWORD consoleSession = 1;
    bool standardError = false;
    bool standardErrorIsConsole = false;
    std::string standardErrorText;
};

struct World {
    std::mutex mutex;
    std::condition_variable changed;
    CorePart core;
    FilesPart files;
    SecurityPart security;
    ProcessesPart processes;
    ServicesPart services;
    EventLogPart eventLog;
    WindowsPart windows;
};

World& TheWorld()
{
    static World world;
    return world;
}

// The fake clock in microseconds, moved only by Sleep. Windows wakes a
// sleeping thread at a clock tick, 15.625 ms by default, and counts from the
// last tick: "if dwMilliseconds is greater than one tick but less than two,
// the wait can be anywhere between one and two ticks". A sleep here ends at
// the earliest of those ticks.
std::atomic<long long> ClockMicros{0};
const long long TickMicros = 15625;

long long ClockMs()
{
    return ClockMicros.load() / 1000;
}
thread_local const char* ThreadName = "main";
thread_local DWORD LastError = 0;
const auto StatusHandleValue = reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0x5717});
const auto StandardErrorValue = reinterpret_cast<HANDLE>(std::uintptr_t{0xE77});
const auto WindowStationValue = reinterpret_cast<HWINSTA>(std::uintptr_t{0x57A7});
const DWORD VolumeSerial = 0x5EED;
const long long ChildLoadsForMs = 1000;
// A new console comes up while the child starts, a little after its creation.
const long long ChildConsoleAfterMs = 50;
// Wine's console is 80 cells wide.
const std::size_t ConsoleWidth = 80;

// Holds the world's lock; under TSan the fake's own accesses are not watched.
class Locked {
public:
    Locked()
    {
#ifdef FAKE_UNDER_TSAN
        AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
        lock_ = std::unique_lock<std::mutex>(TheWorld().mutex);
    }
    ~Locked()
    {
        lock_.unlock();
#ifdef FAKE_UNDER_TSAN
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
        AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    void Wait(const std::function<bool()>& condition)
    {
        TheWorld().changed.wait(lock_, condition);
    }
    void Unlock()
    {
        lock_.unlock();
    }
    void Relock()
    {
        lock_.lock();
    }

private:
    std::unique_lock<std::mutex> lock_;
};

// Moves the fake clock as a sleep of `milliseconds` would.
void PassTime(DWORD milliseconds);

std::string Utf8(const std::wstring& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
            out += escape;
            continue;
        }
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | (unit >> 6));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit < 0x10000) {
            out += static_cast<char>(0xE0 | (unit >> 12));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (unit >> 18));
            out += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}

std::string Text(const wchar_t* text)
{
    return text == nullptr ? "NULL" : "\"" + Utf8(text) + "\"";
}

std::string Hex(DWORD value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", static_cast<unsigned>(value));
    return buffer;
}

std::string Number(long long value)
{
    return std::to_string(value);
}

std::string Pointer(const void* pointer)
{
    return pointer == nullptr ? "NULL" : "ptr";
}

// The caller holds the lock.
void Record(const std::string& text)
{
    World& world = TheWorld();
    world.core.journal.push_back(Call{text, ThreadName, ClockMs(), world.core.processEnded});
}

bool ShouldFail(const std::string& operation)
{
    World& world = TheWorld();
    const int call = ++world.core.callCounts[operation];
    const auto found = world.core.failures.find(operation);
    if (found == world.core.failures.end()) {
        return false;
    }
    for (int nth : found->second) {
        if (nth == 0 || nth == call) {
            return true;
        }
    }
    return false;
}

std::uintptr_t NewHandle(const std::string& kind, int child, const std::wstring& name)
{
    World& world = TheWorld();
    const std::uintptr_t value = world.core.nextHandle;
    world.core.nextHandle += 4;
    world.core.handles[value] = HandleEntry{kind, true, child, name};
    return value;
}

std::string HandleName(const void* handle)
{
    if (handle == nullptr) {
        return "NULL";
    }
    const auto found = TheWorld().core.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == TheWorld().core.handles.end()) {
        return "unknown";
    }
    return found->second.kind + "#" + Number(static_cast<long long>(found->first));
}

// The open handle of the given kind, or null after recording the misuse.
HandleEntry* Use(const void* handle, const std::string& kind, const std::string& operation)
{
    World& world = TheWorld();
    const auto found = world.core.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == world.core.handles.end() || found->second.kind != kind) {
        world.core.misuses.push_back(operation + ": not a " + kind + " handle");
        return nullptr;
    }
    if (!found->second.open) {
        world.core.misuses.push_back(operation + ": closed " + kind + " handle");
        return nullptr;
    }
    return &found->second;
}

// Service names and paths are compared without regard to case.
std::wstring ServiceKey(const std::wstring& name)
{
    std::wstring key = name;
    for (wchar_t& unit : key) {
        if (unit >= L'A' && unit <= L'Z') {
            unit = static_cast<wchar_t>(unit - L'A' + L'a');
        }
    }
    return key;
}

// What a drive letter of the logon session stands for ("\\\\server\\share" or
// a folder), or null for any other drive. The caller holds the lock.
const std::wstring* DriveTargetLocked(const std::wstring& drive)
{
    const auto found = TheWorld().files.drives.find(ServiceKey(drive.substr(0, 2)));
    return found == TheWorld().files.drives.end() ? nullptr : &found->second;
}

bool IsShare(const std::wstring& target)
{
    return target.compare(0, 2, L"\\\\") == 0;
}

// The path with a drive letter of the logon session replaced by what it
// stands for. The caller holds the lock.
std::wstring ResolvedLocked(const std::wstring& path)
{
    // A SUBST drive may stand on another drive of the session.
    std::wstring resolved = path;
    for (int step = 0; step < 8; ++step) {
        const std::wstring* target = DriveTargetLocked(resolved);
        if (target == nullptr) {
            break;
        }
        resolved = *target + resolved.substr(2);
    }
    return resolved;
}

// The caller holds the lock.
void AddFileLocked(const std::wstring& path)
{
    World& world = TheWorld();
    const std::wstring key = ServiceKey(ResolvedLocked(path));
    if (world.files.longPaths.count(ServiceKey(path)) == 0 && world.files.ids.count(key) == 0) {
        const int index = static_cast<int>(world.files.ids.size()) + 1;
        world.files.ids[key] = index;
        world.files.names[key] = ResolvedLocked(path);
    }
}

// A path as Windows reads one with the "\\?\" prefix, which only lifts the
// length limit: "\\?\C:\x" is "C:\x", "\\?\UNC\s\sh" is "\\s\sh".
std::wstring WithoutLongPrefix(const std::wstring& path)
{
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\\\" + path.substr(8);
    }
    return path.compare(0, 4, L"\\\\?\\") == 0 && path.compare(4, 7, L"Volume{") != 0 ? path.substr(4) : path;
}

// Without the prefix, Windows takes no path of MAX_PATH units or more (the
// host declares no awareness of long paths).
bool IsTooLong(const std::wstring& path)
{
    return path.size() >= MAX_PATH && path.compare(0, 4, L"\\\\?\\") != 0;
}

// The long form of a path to an existing file, or empty.
std::wstring LongPathLocked(const std::wstring& given)
{
    World& world = TheWorld();
    const std::wstring path = WithoutLongPrefix(given);
    const auto alias = world.files.longPaths.find(ServiceKey(path));
    if (alias != world.files.longPaths.end()) {
        return alias->second;
    }
    return world.files.ids.count(ServiceKey(ResolvedLocked(path))) != 0 ? path : std::wstring();
}

std::wstring WithoutTrailingSeparators(std::wstring path)
{
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

// A folder exists while a file is in it, or in a folder below it.
bool IsFolderLocked(const std::wstring& path)
{
    const std::wstring key = WithoutTrailingSeparators(ServiceKey(ResolvedLocked(WithoutLongPrefix(path))));
    for (const auto& file : TheWorld().files.ids) {
        if (!key.empty() && file.first.compare(0, key.size() + 1, key + L"\\") == 0) {
            return true;
        }
    }
    return false;
}

// A DLL's functions work only once the host has loaded it: a direct call
// would be an import, which Windows may satisfy from the program's folder.
void RequireModule(const std::string& module, const std::string& operation)
{
    if (TheWorld().core.loadedModules.count(module) == 0) {
        TheWorld().core.misuses.push_back(operation + ": " + module + " was never loaded");
    }
}

// A marked record goes once nobody holds it open any more.
void DropIfReleased(const std::wstring& name)
{
    World& world = TheWorld();
    const auto found = world.services.records.find(ServiceKey(name));
    if (found == world.services.records.end() || !found->second.markedForDeletion || found->second.heldByOthers > 0) {
        return;
    }
    for (const auto& entry : world.core.handles) {
        if (entry.second.kind == "service" && entry.second.open && ServiceKey(entry.second.name) == found->first) {
            return;
        }
    }
    world.services.records.erase(found);
}

// Whether a service that declared `accepted` takes this control.
bool Accepts(DWORD accepted, DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP: return (accepted & SERVICE_ACCEPT_STOP) != 0;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    case SERVICE_CONTROL_SHUTDOWN: return (accepted & SERVICE_ACCEPT_SHUTDOWN) != 0;
    case 6: return (accepted & SERVICE_ACCEPT_PARAMCHANGE) != 0;
    case 7:
    case 8:
    case 9:
    case 10: return (accepted & SERVICE_ACCEPT_NETBINDCHANGE) != 0;
    default: return true;  // interrogate and the codes 128 to 255 always reach the handler
    }
}

std::wstring MultiString(const wchar_t* list)
{
    std::wstring text;
    while (list != nullptr && *list != L'\0') {
        text += list;
        text += L'|';
        list += std::wcslen(list) + 1;
    }
    return text;
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

void EndChildLocked(std::size_t index, DWORD exitCode)
{
    World& world = TheWorld();
    if (!world.processes.children[index].ended) {
        world.processes.children[index].ended = true;
        world.processes.children[index].exitCode = exitCode;
        world.changed.notify_all();
    }
}

// The job's end, by TerminateJobObject or its closing: under Wine it ends
// every process on the console of a process in it, whose host is in it too.
void JobEndsLocked(std::uintptr_t job, const std::string& operation)
{
    if (TheWorld().processes.consoleAttached) {
        TheWorld().core.misuses.push_back(operation + ": a job ended while the host is on a console");
    }
    TheWorld().processes.endedJobs.insert(job);
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

// The running child whose process id this is, or -1.
int ChildOfProcessId(DWORD processId)
{
    World& world = TheWorld();
    for (std::size_t i = 0; i < world.processes.children.size(); ++i) {
        if (static_cast<DWORD>(1000 + 4 * i) == processId && !world.processes.children[i].ended) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

void Reset()
{
    World& world = TheWorld();
    {
        Locked lock;
        world.core.processEnded = true;
        for (std::size_t i = 0; i < world.processes.children.size(); ++i) {
            EndChildLocked(i, 0);
        }
    }
    if (world.services.serviceThread.joinable()) {
        world.services.serviceThread.join();
    }
    if (world.services.handlerThread.joinable()) {
        world.services.handlerThread.join();
    }
    // Each part afresh; the threads are joined, the lock and its condition
    // stay.
    Locked lock;
    world.core = CorePart{};
    world.files = FilesPart{};
    world.security = SecurityPart{};
    world.processes = ProcessesPart{};
    world.services = ServicesPart{};
    world.eventLog = EventLogPart{};
    world.windows = WindowsPart{};
    AddFileLocked(world.files.modulePath);
    ClockMicros = 0;
}

void SetModulePath(const std::wstring& path)
{
    Locked lock;
    TheWorld().files.modulePath = path;
    AddFileLocked(path);
}

void SetCommandLine(const std::wstring& commandLine)
{
    Locked lock;
    TheWorld().processes.commandLine = commandLine;
}

void SetStartedByServiceManager(bool started)
{
    Locked lock;
    TheWorld().services.startedByServiceManager = started;
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
    TheWorld().processes.images[ServiceKey(path)] = subsystem;
}

void WriteChildConsole(const std::vector<std::wstring>& rows)
{
    Locked lock;
    for (const std::wstring& row : rows) {
        TheWorld().processes.consoleCells += row + std::wstring(ConsoleWidth - row.size(), L' ');
    }
}

void AddService(const std::wstring& name, bool running, const std::wstring& binaryPath)
{
    Locked lock;
    ServiceRecord record{};
    record.name = name;
    record.displayName = name;
    record.binaryPath = binaryPath;
    record.running = running;
    TheWorld().services.records[ServiceKey(name)] = record;
}

void HoldService(const std::wstring& name)
{
    Locked lock;
    TheWorld().services.records.at(ServiceKey(name)).heldByOthers += 1;
}

void MarkForDeletion(const std::wstring& name)
{
    Locked lock;
    TheWorld().services.records.at(ServiceKey(name)).markedForDeletion = true;
    DropIfReleased(name);
}

void AddFile(const std::wstring& path)
{
    Locked lock;
    AddFileLocked(path);
}

void MapDrive(const std::wstring& drive, const std::wstring& target)
{
    Locked lock;
    TheWorld().files.drives[ServiceKey(drive)] = target;
}

void SetElevated(bool elevated)
{
    Locked lock;
    TheWorld().security.elevated = elevated;
}

void SetSession(DWORD session)
{
    Locked lock;
    TheWorld().windows.session = session;
}

void SetStandardErrorIsConsole(bool console)
{
    Locked lock;
    TheWorld().windows.standardErrorIsConsole = console;
}

void SetReparsePoint(const std::wstring& path, DWORD tag, const std::wstring& name, DWORD flags)
{
    Locked lock;
    TheWorld().files.reparsePoints[ServiceKey(WithoutTrailingSeparators(path))] = {tag, name, flags};
}

void SetAccountName(const std::string& sid, const std::wstring& domain, const std::wstring& name, SID_NAME_USE use)
{
    Locked lock;
    TheWorld().security.accounts[sid] = {domain, name, use};
}

void SetLocalGroups(const std::wstring& user, DWORD status, const std::vector<std::wstring>& groups)
{
    Locked lock;
    TheWorld().security.localGroups[ServiceKey(user)] = {status, groups};
}

void SetAdministratorsMembers(const std::vector<std::string>& sids)
{
    Locked lock;
    TheWorld().security.administratorsMembers = sids;
}

void SetSecurity(const std::wstring& path, const Security& security)
{
    Locked lock;
    TheWorld().security.descriptors[ServiceKey(WithoutTrailingSeparators(path))] = security;
}

void AddShortPath(const std::wstring& shortPath, const std::wstring& longPath)
{
    Locked lock;
    TheWorld().files.ids.erase(ServiceKey(shortPath));
    AddFileLocked(longPath);
    TheWorld().files.longPaths[ServiceKey(shortPath)] = longPath;
}

void SetWindowStationVisible(bool visible)
{
    Locked lock;
    TheWorld().windows.stationVisible = visible;
}

void SetConsoleSession(DWORD session)
{
    Locked lock;
    TheWorld().windows.consoleSession = session;
}

void SetStandardError(bool given)
{
    Locked lock;
    TheWorld().windows.standardError = given;
}

void FailCall(const std::string& operation, int nth)
{
    Locked lock;
    TheWorld().core.failures[operation].push_back(nth);
}

void SetStatusWaitsForHandler(bool wait)
{
    Locked lock;
    TheWorld().services.statusWaitsForHandler = wait;
}

void SetWineDispatcher(bool wine)
{
    Locked lock;
    TheWorld().services.wineDispatcher = wine;
}

void SetProcessEndsAtStoppedReport(bool ends)
{
    Locked lock;
    TheWorld().services.processEndsAtStopped = ends;
}

void SetRealMicrosecondsPerSleepMs(int microseconds)
{
    Locked lock;
    TheWorld().core.realMicrosecondsPerMs = microseconds;
}

void OnStatusReport(std::function<void(DWORD)> hook)
{
    Locked lock;
    TheWorld().services.statusHook = std::move(hook);
}

int RunHost()
{
    char emptyTail[] = "";
    const int exitCode = WinMain(nullptr, nullptr, emptyTail, 1);
    World& world = TheWorld();
    {
        Locked lock;
        world.core.processEnded = true;
        world.changed.notify_all();
    }
    // A service thread still waiting on a child that outlived the host would
    // die with the process; here the end releases its wait, and it is joined.
    if (world.services.serviceThread.joinable()) {
        world.services.serviceThread.join();
    }
    if (world.services.handlerThread.joinable()) {
        world.services.handlerThread.join();
    }
    return exitCode;
}

DWORD SendControl(DWORD control)
{
    Locked lock;
    World& world = TheWorld();
    const bool defined =
        (control >= 1 && control <= 10 && control != SERVICE_CONTROL_SHUTDOWN) || (control >= 128 && control <= 255);
    DWORD refusal = 0;
    if (!defined) {
        refusal = ERROR_INVALID_PARAMETER;
    } else if (world.services.stoppedReported) {
        refusal = ERROR_SERVICE_NOT_ACTIVE;
    } else if (world.services.lastReportedState != SERVICE_RUNNING) {
        // Starting (or not yet reported: the service manager counts it as
        // starting) or stopping: refused, not kept for later.
        refusal = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else if (world.services.lastReportedState == SERVICE_RUNNING &&
               !Accepts(world.services.statusReports.back().status.dwControlsAccepted, control)) {
        refusal = ERROR_INVALID_SERVICE_CONTROL;
    }
    if (refusal != 0) {
        Record("(ControlService " + Number(control) + " refused with " + Number(refusal) + ")");
        return refusal;
    }
    world.services.controls.push_back(control);
    world.changed.notify_all();
    return 0;
}

void EndProcess()
{
    Locked lock;
    Record("(the process is ended from outside)");
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

bool WaitUntil(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

std::vector<Call> Journal()
{
    Locked lock;
    return TheWorld().core.journal;
}

std::vector<std::string> CallsNamed(const std::string& operation)
{
    Locked lock;
    std::vector<std::string> calls;
    for (const Call& call : TheWorld().core.journal) {
        if (call.text.compare(0, operation.size() + 1, operation + "(") == 0) {
            calls.push_back(call.text);
        }
    }
    return calls;
}

std::vector<Event> Events()
{
    Locked lock;
    return TheWorld().eventLog.events;
}

std::vector<std::wstring> EventTexts()
{
    Locked lock;
    std::vector<std::wstring> texts;
    for (const Event& event : TheWorld().eventLog.events) {
        texts.push_back(event.text);
    }
    return texts;
}

std::vector<Box> Boxes()
{
    Locked lock;
    return TheWorld().windows.boxes;
}

std::vector<StatusReport> StatusReports()
{
    Locked lock;
    return TheWorld().services.statusReports;
}

std::vector<ChildProcessRecord> Children()
{
    Locked lock;
    return TheWorld().processes.children;
}

bool HasService(const std::wstring& name)
{
    Locked lock;
    return TheWorld().services.records.count(ServiceKey(name)) != 0;
}

std::string StandardError()
{
    Locked lock;
    return TheWorld().windows.standardErrorText;
}

ServiceRecord Service(const std::wstring& name)
{
    Locked lock;
    return TheWorld().services.records.at(ServiceKey(name));
}

long long Now()
{
    return ClockMs();
}

int OpenHandleCount()
{
    Locked lock;
    int count = 0;
    for (const auto& entry : TheWorld().core.handles) {
        count += entry.second.open ? 1 : 0;
    }
    return count;
}

std::vector<std::string> Misuses()
{
    Locked lock;
    return TheWorld().core.misuses;
}

}  // namespace fake

using namespace fake;

// kernel32

BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags)
{
    Locked lock;
    Record("SetDefaultDllDirectories(" + Hex(directoryFlags) + ")");
    return TRUE;
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags)
{
    Locked lock;
    World& world = TheWorld();
    Record("LoadLibraryExW(" + Text(fileName) + ", " + Pointer(file) + ", " + Hex(flags) + ")");
    const std::wstring name = ServiceKey(fileName);
    if ((flags & LOAD_LIBRARY_SEARCH_SYSTEM32) == 0 || name.find_first_of(L"\\/") != std::wstring::npos) {
        world.core.misuses.push_back("LoadLibraryExW: " + Utf8(fileName) +
                                     " may be looked for outside the system directory");
    }
    const std::map<std::wstring, std::uintptr_t> modules = {
        {L"user32.dll", 0x7100u}, {L"wtsapi32.dll", 0x7200u}, {L"netapi32.dll", 0x7300u}};
    if (ShouldFail("LoadLibraryExW") || modules.count(name) == 0) {
        LastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    world.core.loadedModules.insert(Utf8(name));
    return reinterpret_cast<HMODULE>(modules.at(name));
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    const auto address = [](auto pointer) { return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(pointer)); };
    const std::map<std::string, FARPROC> user32 = {{"MessageBoxW", address(&MessageBoxW)},
                                                   {"PostThreadMessageW", address(&PostThreadMessageW)},
                                                   {"GetProcessWindowStation", address(&GetProcessWindowStation)},
                                                   {"GetUserObjectInformationW", address(&GetUserObjectInformationW)}};
    const std::map<std::string, FARPROC> wtsapi32 = {{"WTSSendMessageW", address(&WTSSendMessageW)}};
    const std::map<std::string, FARPROC> netapi32 = {{"NetUserGetLocalGroups", address(&NetUserGetLocalGroups)},
                                                     {"NetLocalGroupGetMembers", address(&NetLocalGroupGetMembers)},
                                                     {"NetApiBufferFree", address(&NetApiBufferFree)}};
    const auto at = reinterpret_cast<std::uintptr_t>(module);
    const auto& exports = at == 0x7100u ? user32 : at == 0x7200u ? wtsapi32 : netapi32;
    const auto found = exports.find(name);
    if (found == exports.end()) {
        LastError = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    return found->second;
}

DWORD WINAPI GetLastError()
{
    return LastError;
}

DWORD WINAPI GetCurrentThreadId()
{
    static std::atomic<DWORD> nextId{1};
    thread_local const DWORD id = nextId++;
    return id;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
{
    Locked lock;
    Record("GetModuleFileNameW(" + Pointer(module) + ", " + Number(size) + ")");
    const std::wstring& path = TheWorld().files.modulePath;
    if (size == 0) {
        return 0;
    }
    if (ShouldFail("GetModuleFileNameW")) {
        std::wmemset(fileName, L'X', size);  // what a failed call leaves is not a path
        return 0;
    }
    // As Windows does: a path that does not fit is cut, terminated, and
    // reported with the buffer's whole size.
    const std::size_t copied = path.size() < size ? path.size() : size - 1;
    std::wmemcpy(fileName, path.data(), copied);
    fileName[copied] = L'\0';
    return path.size() < size ? static_cast<DWORD>(path.size()) : size;
}

namespace {

// A path into a buffer as the path functions give it: its length, or, when
// the buffer is too small, the size it needs, terminator included.
DWORD CopyOut(const std::wstring& path, LPWSTR buffer, DWORD size)
{
    if (path.size() >= size) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

}  // namespace

DWORD WINAPI GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD size)
{
    Locked lock;
    Record("GetLongPathNameW(" + Text(shortPath) + ", " + Number(size) + ")");
    const std::wstring path = LongPathLocked(shortPath);
    if (ShouldFail("GetLongPathNameW") || path.empty()) {
        LastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    return CopyOut(path, longPath, size);
}

// As on a volume without 8.3 names: the path as it is.
DWORD WINAPI GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD size)
{
    Locked lock;
    Record("GetShortPathNameW(" + Text(longPath) + ", " + Number(size) + ")");
    return CopyOut(longPath, shortPath, size);
}

// No variable the tests' paths name is defined: the text as it is, and its
// size with the terminator.
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size)
{
    Locked lock;
    Record("ExpandEnvironmentStringsW(" + Text(source) + ", " + Number(size) + ")");
    return CopyOut(source, destination, size) + (std::wcslen(source) < size ? 1 : 0);
}

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
{
    Locked lock;
    World& world = TheWorld();
    Record("CreateFileW(" + Text(fileName) + ", " + Hex(desiredAccess) + ", " + Hex(shareMode) + ", " +
           Pointer(securityAttributes) + ", " + Number(creationDisposition) + ", " + Hex(flagsAndAttributes) + ", " +
           Pointer(templateFile) + ")");
    if (std::wstring(fileName) == L"CONOUT$") {
        // The screen buffer of the console the process is attached to.
        LastError = ERROR_INVALID_HANDLE;
        return world.processes.consoleAttached ? reinterpret_cast<HANDLE>(NewHandle("console", -1, L""))
                                               : INVALID_HANDLE_VALUE;
    }
    const std::wstring path = LongPathLocked(fileName);
    if (creationDisposition != OPEN_EXISTING || IsTooLong(fileName) || (path.empty() && !IsFolderLocked(fileName))) {
        LastError = IsTooLong(fileName) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (!path.empty()) {
        const std::wstring resolved = ResolvedLocked(path);
        return reinterpret_cast<HANDLE>(NewHandle("file", world.files.ids.at(ServiceKey(resolved)), resolved));
    }
    // A folder opens only with backup semantics.
    if ((flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        LastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring resolved = WithoutTrailingSeparators(ResolvedLocked(WithoutLongPrefix(fileName)));
    const auto folder =
        world.files.folderIds.emplace(ServiceKey(resolved), 100000 + static_cast<int>(world.files.folderIds.size()));
    return reinterpret_cast<HANDLE>(NewHandle("file", folder.first->second, resolved));
}

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

HANDLE WINAPI GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

// The descriptor GetSecurityInfo gives is one block, the owner and the DACL
// inside it.
HLOCAL WINAPI LocalFree(HLOCAL memory)
{
    delete[] static_cast<BYTE*>(memory);
    return nullptr;
}

BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass, LPVOID information,
                                         DWORD size)
{
    Locked lock;
    Record("GetFileInformationByHandleEx(" + HandleName(file) + ", " + Number(informationClass) + ", " + Number(size) +
           ")");
    HandleEntry* entry = Use(file, "file", "GetFileInformationByHandleEx");
    if (entry == nullptr || informationClass != FileIdInfo || size < sizeof(FILE_ID_INFO)) {
        LastError = ERROR_INVALID_PARAMETER;  // as from a server that does not know the class
        return FALSE;
    }
    // Shares answer with an id of zeros, as some servers do.
    FILE_ID_INFO id{};
    id.VolumeSerialNumber = VolumeSerial;
    const auto index = static_cast<std::uint32_t>(IsShare(entry->name) ? 0 : entry->child);
    std::memcpy(id.FileId.Identifier, &index, sizeof index);
    std::memcpy(information, &id, sizeof id);
    return TRUE;
}

// The attributes of the file or folder at `path` (a path of the world's),
// or INVALID_FILE_ATTRIBUTES. The caller holds the lock.
DWORD AttributesLocked(const std::wstring& path)
{
    const bool link =
        TheWorld().files.reparsePoints.count(ServiceKey(WithoutTrailingSeparators(WithoutLongPrefix(path)))) != 0;
    const DWORD reparse = link ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
    if (!LongPathLocked(path).empty()) {
        return FILE_ATTRIBUTE_NORMAL | reparse;
    }
    return IsFolderLocked(path) ? FILE_ATTRIBUTE_DIRECTORY | reparse : INVALID_FILE_ATTRIBUTES;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName)
{
    Locked lock;
    Record("GetFileAttributesW(" + Text(fileName) + ")");
    const DWORD attributes = IsTooLong(fileName) ? INVALID_FILE_ATTRIBUTES : AttributesLocked(fileName);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        LastError = IsTooLong(fileName) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    }
    return attributes;
}

// The folder's entries, files and folders, in the order of their lower-case
// paths; no "." or "..".
HANDLE WINAPI FindFirstFileExW(LPCWSTR fileName, FINDEX_INFO_LEVELS infoLevel, LPVOID findData,
                               FINDEX_SEARCH_OPS searchOp, LPVOID searchFilter, DWORD additionalFlags)
{
    Locked lock;
    World& world = TheWorld();
    Record("FindFirstFileExW(" + Text(fileName) + ", " + Number(infoLevel) + ", " + Number(searchOp) + ", " +
           Pointer(searchFilter) + ", " + Hex(additionalFlags) + ")");
    const std::wstring pattern = WithoutLongPrefix(fileName);
    if (IsTooLong(fileName) || pattern.size() < 2 || pattern.compare(pattern.size() - 2, 2, L"\\*") != 0) {
        LastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring folder = ServiceKey(ResolvedLocked(pattern.substr(0, pattern.size() - 1)));
    std::vector<WIN32_FIND_DATAW> entries;
    std::set<std::wstring> listed;
    for (const auto& file : world.files.ids) {
        if (file.first.compare(0, folder.size(), folder) != 0) {
            continue;
        }
        const std::wstring& path = world.files.names[file.first];
        const std::size_t end = path.find(L'\\', folder.size());
        const std::wstring entry = path.substr(0, end);
        if (!listed.insert(ServiceKey(entry)).second) {
            continue;
        }
        WIN32_FIND_DATAW data = {};
        data.dwFileAttributes = AttributesLocked(entry);
        const auto reparse = world.files.reparsePoints.find(ServiceKey(entry));
        data.dwReserved0 = reparse != world.files.reparsePoints.end() ? reparse->second.tag : 0;
        const std::wstring name = entry.substr(folder.size());
        std::wmemcpy(data.cFileName, name.c_str(), name.size() + 1);
        entries.push_back(data);
    }
    if (entries.empty()) {
        LastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(findData, &entries[0], sizeof entries[0]);
    const std::uintptr_t handle = NewHandle("find", 1, folder);
    world.files.listings[handle] = entries;
    return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI FindNextFileW(HANDLE find, WIN32_FIND_DATAW* findData)
{
    Locked lock;
    Record("FindNextFileW(" + HandleName(find) + ")");
    HandleEntry* entry = Use(find, "find", "FindNextFileW");
    const std::vector<WIN32_FIND_DATAW>& entries = TheWorld().files.listings[reinterpret_cast<std::uintptr_t>(find)];
    if (entry == nullptr || static_cast<std::size_t>(entry->child) >= entries.size()) {
        LastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    *findData = entries[static_cast<std::size_t>(entry->child++)];
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE find)
{
    Locked lock;
    Record("FindClose(" + HandleName(find) + ")");
    HandleEntry* entry = Use(find, "find", "FindClose");
    if (entry == nullptr) {
        return FALSE;
    }
    entry->open = false;
    return TRUE;
}

// FSCTL_GET_REPARSE_POINT on a file or folder opened as itself: the reparse
// data a test wrote, laid out as Windows does, its names in UTF-16 units.
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                            DWORD outSize, DWORD* bytesReturned, LPVOID overlapped)
{
    Locked lock;
    Record("DeviceIoControl(" + HandleName(device) + ", " + Hex(controlCode) + ", " + Pointer(inBuffer) + ", " +
           Number(inSize) + ", " + Number(outSize) + ", " + Pointer(overlapped) + ")");
    HandleEntry* entry = Use(device, "file", "DeviceIoControl");
    const auto found = TheWorld().files.reparsePoints.find(entry == nullptr ? std::wstring() : ServiceKey(entry->name));
    if (controlCode != FSCTL_GET_REPARSE_POINT || found == TheWorld().files.reparsePoints.end()) {
        LastError = ERROR_NOT_A_REPARSE_POINT;
        return FALSE;
    }
    const FilesPart::Reparse& reparse = found->second;
    const bool symbolicLink = reparse.tag == IO_REPARSE_TAG_SYMLINK;
    std::vector<BYTE> data;
    const auto put = [&data](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            data.push_back(static_cast<BYTE>(value >> (8 * i)));
        }
    };
    const auto nameBytes = static_cast<std::uint32_t>(2 * reparse.name.size());
    put(reparse.tag, 4);
    put((symbolicLink ? 12 : 8) + nameBytes, 2);
    put(0, 2);
    put(0, 2);          // the substitute name's offset
    put(nameBytes, 2);  // and length
    put(nameBytes, 2);  // an empty print name after it
    put(0, 2);
    if (symbolicLink) {
        put(reparse.flags, 4);
    }
    for (wchar_t unit : reparse.name) {
        put(static_cast<std::uint32_t>(unit), 2);
    }
    if (data.size() > outSize) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::memcpy(outBuffer, data.data(), data.size());
    *bytesReturned = static_cast<DWORD>(data.size());
    return TRUE;
}

UINT WINAPI GetDriveTypeW(LPCWSTR rootPath)
{
    Locked lock;
    Record("GetDriveTypeW(" + Text(rootPath) + ")");
    // A SUBST drive has the type of the drive it stands on.
    return IsShare(ResolvedLocked(rootPath)) ? DRIVE_REMOTE : DRIVE_FIXED;
}

DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size)
{
    Locked lock;
    Record("QueryDosDeviceW(" + Text(deviceName) + ", " + Number(size) + ")");
    const std::wstring* target = DriveTargetLocked(deviceName);
    std::wstring device = L"\\Device\\HarddiskVolume1";
    if (target != nullptr) {
        device = IsShare(*target) ? L"\\Device\\LanmanRedirector\\;" + std::wstring(deviceName) + L"0000000000012345" +
                                        target->substr(1)
                                  : L"\\??\\" + *target;
    }
    // A list of names, each terminated, and the list terminated again.
    if (device.size() + 2 > size) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::wmemcpy(targetPath, device.c_str(), device.size() + 1);
    targetPath[device.size() + 1] = L'\0';
    return static_cast<DWORD>(device.size() + 2);
}

DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR filePath, DWORD size, DWORD flags)
{
    Locked lock;
    Record("GetFinalPathNameByHandleW(" + HandleName(file) + ", " + Number(size) + ", " + Hex(flags) + ")");
    HandleEntry* entry = Use(file, "file", "GetFinalPathNameByHandleW");
    if (entry == nullptr || ShouldFail("GetFinalPathNameByHandleW")) {
        LastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    const std::wstring& path = entry->name;
    const std::wstring final = path.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
    if (final.size() + 1 > size) {
        return static_cast<DWORD>(final.size() + 1);
    }
    std::wmemcpy(filePath, final.c_str(), final.size() + 1);
    return static_cast<DWORD>(final.size());
}

// Case folded per unit, which is what Windows does for the letters of file
// names that the tests use.
int WINAPI CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second, int secondLength, BOOL ignoreCase)
{
    Locked lock;
    Record("CompareStringOrdinal(" + Text(first) + ", " + Number(firstLength) + ", " + Text(second) + ", " +
           Number(secondLength) + ", " + Number(ignoreCase) + ")");
    const bool equal = ignoreCase != FALSE ? ServiceKey(first) == ServiceKey(second) : std::wcscmp(first, second) == 0;
    return equal ? CSTR_EQUAL : 1;
}

DWORD WINAPI GetCurrentProcessId()
{
    return 3000;
}

BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId)
{
    Locked lock;
    Record("ProcessIdToSessionId(" + Number(processId) + ", " + Pointer(sessionId) + ")");
    if (processId != GetCurrentProcessId()) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    *sessionId = TheWorld().windows.session;
    return TRUE;
}

BOOL WINAPI GetConsoleMode(HANDLE console, DWORD* mode)
{
    Locked lock;
    Record("GetConsoleMode(" + std::string(console == StandardErrorValue ? "stderr" : "unknown") + ", " +
           Pointer(mode) + ")");
    if (console != StandardErrorValue || !TheWorld().windows.standardErrorIsConsole) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *mode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
    return TRUE;
}

BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD unitsToWrite, DWORD* unitsWritten, void* reserved)
{
    Locked lock;
    const std::wstring text(static_cast<const wchar_t*>(buffer), unitsToWrite);
    Record("WriteConsoleW(" + std::string(console == StandardErrorValue ? "stderr" : "unknown") + ", " +
           Text(text.c_str()) + ", " + Number(unitsToWrite) + ", " + Pointer(unitsWritten) + ", " + Pointer(reserved) +
           ")");
    if (console != StandardErrorValue || !TheWorld().windows.standardErrorIsConsole) {
        TheWorld().core.misuses.push_back("WriteConsoleW: not a console the process was given");
        return FALSE;
    }
    TheWorld().windows.standardErrorText += Utf8(text);
    *unitsWritten = unitsToWrite;
    return TRUE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information)
{
    Locked lock;
    Record("GetFileInformationByHandle(" + HandleName(file) + ")");
    HandleEntry* entry = Use(file, "file", "GetFileInformationByHandle");
    if (entry == nullptr) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    *information = BY_HANDLE_FILE_INFORMATION{};
    information->dwVolumeSerialNumber = VolumeSerial;
    information->nFileIndexLow = static_cast<DWORD>(entry->child);
    return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD standardHandle)
{
    Locked lock;
    Record("GetStdHandle(" + Number(static_cast<int>(standardHandle)) + ")");
    return standardHandle == STD_ERROR_HANDLE && TheWorld().windows.standardError ? StandardErrorValue : nullptr;
}

BOOL WINAPI ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped)
{
    Locked lock;
    const std::map<std::wstring, WORD>& images = TheWorld().processes.images;
    Record("ReadFile(" + HandleName(file) + ", " + Number(bytesToRead) + ", " + Pointer(overlapped) + ")");
    HandleEntry* entry = Use(file, "file", "ReadFile");
    const auto image = entry == nullptr ? images.end() : images.find(ServiceKey(entry->name));
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

BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* overlapped)
{
    Locked lock;
    const std::string bytes(static_cast<const char*>(buffer), bytesToWrite);
    Record("WriteFile(" + std::string(file == StandardErrorValue ? "stderr" : "unknown") + ", \"" + bytes + "\", " +
           Number(bytesToWrite) + ", " + Pointer(bytesWritten) + ", " + Pointer(overlapped) + ")");
    if (file != StandardErrorValue) {
        TheWorld().core.misuses.push_back("WriteFile: not a handle the process was given");
        return FALSE;
    }
    if (TheWorld().windows.standardErrorIsConsole) {
        TheWorld().core.misuses.push_back("WriteFile: UTF-8 bytes on a console show garbled");
    }
    TheWorld().windows.standardErrorText += bytes;
    *bytesWritten = bytesToWrite;
    return TRUE;
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD /*flags*/, LPCWSTR wideText, int wideLength, LPSTR multiByteText,
                               int multiByteSize, LPCSTR /*defaultChar*/, BOOL* /*usedDefaultChar*/)
{
    if (codePage != CP_UTF8 || wideLength < 0) {
        return 0;  // the host converts counted text to UTF-8 only
    }
    const std::string utf8 = Utf8(std::wstring(wideText, static_cast<std::size_t>(wideLength)));
    if (multiByteText == nullptr) {
        return static_cast<int>(utf8.size());
    }
    if (static_cast<int>(utf8.size()) > multiByteSize) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(multiByteText, utf8.data(), utf8.size());
    return static_cast<int>(utf8.size());
}

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

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    Locked lock;
    World& world = TheWorld();
    Record("WaitForSingleObject(" + HandleName(handle) + ", " + Hex(milliseconds) + ")");
    HandleEntry* entry = Use(handle, "process", "WaitForSingleObject");
    if (entry == nullptr) {
        return 0xFFFFFFFFu;
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

BOOL WINAPI CloseHandle(HANDLE handle)
{
    Locked lock;
    Record("CloseHandle(" + HandleName(handle) + ")");
    const auto found = TheWorld().core.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == TheWorld().core.handles.end() ||
        (found->second.kind != "process" && found->second.kind != "thread" && found->second.kind != "file" &&
         found->second.kind != "job" && found->second.kind != "console")) {
        TheWorld().core.misuses.push_back("CloseHandle: not a kernel handle");
        return FALSE;
    }
    if (!found->second.open) {
        TheWorld().core.misuses.push_back("CloseHandle: closed " + found->second.kind + " handle");
        return FALSE;
    }
    found->second.open = false;
    if (found->second.kind == "job") {
        JobEndsLocked(found->first, "CloseHandle");
    }
    if (found->second.kind == "job" && (found->second.access & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0) {
        EndJobLocked(found->first, 0);
    }
    return TRUE;
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
    JobEndsLocked(reinterpret_cast<std::uintptr_t>(job), "TerminateJobObject");
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

BOOL WINAPI AttachConsole(DWORD processId)
{
    Locked lock;
    World& world = TheWorld();
    Record("AttachConsole(" + Number(processId) + ")");
    for (const auto& member : world.processes.jobOfChild) {
        if (static_cast<DWORD>(1000 + 4 * member.first) == processId &&
            world.processes.endedJobs.count(member.second) != 0) {
            world.core.misuses.push_back("AttachConsole: to the console of a process whose job was ended");
        }
    }
    if (world.processes.consoleAttached) {
        world.core.misuses.push_back("AttachConsole: already attached to a console");
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    const int child = ChildOfProcessId(processId);
    if (ShouldFail("AttachConsole") || child < 0 ||
        (world.processes.children[static_cast<std::size_t>(child)].creationFlags & CREATE_NEW_CONSOLE) == 0 ||
        ClockMs() < world.processes.children[static_cast<std::size_t>(child)].createdAt + ChildConsoleAfterMs) {
        LastError = ERROR_INVALID_HANDLE;  // no such process, or no console (yet)
        return FALSE;
    }
    world.processes.consoleAttached = true;
    return TRUE;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    Locked lock;
    Record("SetConsoleCtrlHandler(" + Pointer(reinterpret_cast<const void*>(handler)) + ", " + Number(add) + ")");
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
    // The host gets the event too: unless it ignores Ctrl-C, Windows ends
    // it when no handler of its own returns TRUE.
    if (!(controlEvent == CTRL_C_EVENT && world.processes.ignoresCtrlC) &&
        (world.processes.consoleHandler == nullptr || world.processes.consoleHandler(controlEvent) == FALSE)) {
        world.core.misuses.push_back("GenerateConsoleCtrlEvent: the host ends on its own Ctrl-C");
    }
    return TRUE;
}

BOOL WINAPI FreeConsole()
{
    Locked lock;
    Record("FreeConsole()");
    TheWorld().processes.consoleAttached = false;
    return TRUE;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info)
{
    Locked lock;
    Record("GetConsoleScreenBufferInfo(" + HandleName(console) + ")");
    if (Use(console, "console", "GetConsoleScreenBufferInfo") == nullptr) {
        return FALSE;
    }
    const auto rows = static_cast<SHORT>(TheWorld().processes.consoleCells.size() / ConsoleWidth);
    *info = {{static_cast<SHORT>(ConsoleWidth), 150}, {0, rows}};
    return TRUE;
}

BOOL WINAPI ReadConsoleOutputCharacterW(HANDLE console, LPWSTR characters, DWORD length, COORD from, DWORD* read)
{
    Locked lock;
    const std::wstring& cells = TheWorld().processes.consoleCells;
    Record("ReadConsoleOutputCharacterW(" + HandleName(console) + ", " + Number(length) + ", {" + Number(from.X) +
           ", " + Number(from.Y) + "})");
    if (Use(console, "console", "ReadConsoleOutputCharacterW") == nullptr) {
        return FALSE;
    }
    // Cells run on from row to row; here the buffer ends below the cursor.
    const std::size_t first = static_cast<std::size_t>(from.Y) * ConsoleWidth + static_cast<std::size_t>(from.X);
    *read = static_cast<DWORD>(first < cells.size() ? std::min<std::size_t>(length, cells.size() - first) : 0);
    std::wmemcpy(characters, cells.data() + first, *read);
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds)
{
    {
        Locked lock;
        Record("Sleep(" + Number(milliseconds) + ")");
    }
    PassTime(milliseconds);
}

namespace fake {
namespace {

void PassTime(DWORD milliseconds)
{
    int microseconds = 0;
    {
        Locked lock;
        microseconds = TheWorld().core.realMicrosecondsPerMs;
    }
    long long now = ClockMicros.load();
    long long wake = 0;
    do {
        // The earliest tick Windows may end it at: one tick short of the
        // time asked for, but not before the next tick.
        const long long early = (now + milliseconds * 1000LL - 1) / TickMicros * TickMicros;
        const long long next = (now / TickMicros + 1) * TickMicros;
        wake = milliseconds == 0 ? now : early > next ? early : next;
    } while (!ClockMicros.compare_exchange_weak(now, wake));
    if (microseconds > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(microseconds) * milliseconds));
    } else {
        std::this_thread::yield();
    }
}

}  // namespace
}  // namespace fake

ULONGLONG WINAPI GetTickCount64()
{
    // Moves by whole clock ticks, in milliseconds cut down, as Windows' does.
    return static_cast<ULONGLONG>(ClockMs());
}

void WINAPI OutputDebugStringW(LPCWSTR text)
{
    Locked lock;
    Record("OutputDebugStringW(" + Text(text) + ")");
}

DWORD WINAPI WTSGetActiveConsoleSessionId()
{
    Locked lock;
    Record("WTSGetActiveConsoleSessionId()");
    return TheWorld().windows.consoleSession;
}

void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock)
{
    lock->mutex.lock();
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    lock->mutex.unlock();
}

BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD /*milliseconds*/,
                                      ULONG /*flags*/)
{
    // The caller holds the lock; the wait releases and retakes it.
    std::unique_lock<std::mutex> held(lock->mutex, std::adopt_lock);
    condition->condition.wait(held);
    held.release();
    return TRUE;
}

void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE condition)
{
    condition->condition.notify_all();
}

// user32 and wtsapi32

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    Locked lock;
    Record("MessageBoxW(" + Pointer(owner) + ", " + Text(text) + ", " + Text(caption) + ", " + Hex(type) + ")");
    RequireModule("user32.dll", "MessageBoxW");
    TheWorld().windows.boxes.push_back(Box{owner == nullptr, text, caption, type});
    return IDOK;
}

HWINSTA WINAPI GetProcessWindowStation()
{
    Locked lock;
    Record("GetProcessWindowStation()");
    RequireModule("user32.dll", "GetProcessWindowStation");
    return WindowStationValue;
}

BOOL WINAPI GetUserObjectInformationW(HANDLE object, int index, void* information, DWORD length, DWORD* needed)
{
    Locked lock;
    Record("GetUserObjectInformationW(" + std::string(object == WindowStationValue ? "window station" : "unknown") +
           ", " + Number(index) + ", " + Pointer(information) + ", " + Number(length) + ", " + Pointer(needed) + ")");
    RequireModule("user32.dll", "GetUserObjectInformationW");
    if (object != WindowStationValue || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    USEROBJECTFLAGS flags{};
    flags.dwFlags = TheWorld().windows.stationVisible ? WSF_VISIBLE : 0;
    std::memcpy(information, &flags, sizeof flags);
    *needed = sizeof flags;
    return TRUE;
}

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

BOOL WINAPI WTSSendMessageW(HANDLE server, DWORD sessionId, LPWSTR title, DWORD titleLength, LPWSTR message,
                            DWORD messageLength, DWORD style, DWORD timeout, DWORD* response, BOOL wait)
{
    Locked lock;
    Record("WTSSendMessageW(" + Pointer(server) + ", " + Number(sessionId) + ", " + Text(title) + ", " +
           Number(titleLength) + ", " + Text(message) + ", " + Number(messageLength) + ", " + Hex(style) + ", " +
           Number(timeout) + ", " + Pointer(response) + ", " + Number(wait) + ")");
    RequireModule("wtsapi32.dll", "WTSSendMessageW");
    return TRUE;
}

// advapi32: event log

// The process's token cannot be read: only the trusted groups are trusted.
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* /*token*/)
{
    Locked lock;
    Record("OpenProcessToken(" + Pointer(process) + ", " + Hex(desiredAccess) + ")");
    LastError = ERROR_ACCESS_DENIED;
    return FALSE;
}

// With no token ever given, a call can only pass a handle that is not one.
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS /*informationClass*/, LPVOID /*information*/,
                                DWORD /*length*/, DWORD* /*returnLength*/)
{
    Locked lock;
    Use(token, "token", "GetTokenInformation");
    LastError = ERROR_INVALID_HANDLE;
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
    const auto found = TheWorld().security.localGroups.find(ServiceKey(userName));
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
        ServiceKey(groupName) != ServiceKey(administrators->second.name)) {
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
    const auto found = world.security.descriptors.find(ServiceKey(WithoutTrailingSeparators(entry->name)));
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

HANDLE WINAPI RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName)
{
    Locked lock;
    Record("RegisterEventSourceW(" + Text(serverName) + ", " + Text(sourceName) + ")");
    if (ShouldFail("RegisterEventSourceW")) {
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(NewHandle("event source", -1, sourceName));
}

BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                         DWORD dataSize, LPCWSTR* strings, LPVOID rawData)
{
    Locked lock;
    World& world = TheWorld();
    Record("ReportEventW(" + HandleName(eventLog) + ", " + Number(type) + ", " + Number(category) + ", " +
           Number(eventId) + ", " + Pointer(userSid) + ", " + Number(numStrings) + ", " + Number(dataSize) + ", " +
           (numStrings > 0 && strings != nullptr ? Text(strings[0]) : "no strings") + ", " + Pointer(rawData) + ")");
    HandleEntry* entry = Use(eventLog, "event source", "ReportEventW");
    if (entry == nullptr) {
        return FALSE;
    }
    world.eventLog.events.push_back(Event{entry->name, type, category, eventId, userSid == nullptr, numStrings,
                                          dataSize, rawData == nullptr, numStrings > 0 ? strings[0] : L"", ThreadName,
                                          ClockMs(), world.core.processEnded});
    return ShouldFail("ReportEventW") ? FALSE : TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog)
{
    Locked lock;
    Record("DeregisterEventSource(" + HandleName(eventLog) + ")");
    HandleEntry* entry = Use(eventLog, "event source", "DeregisterEventSource");
    if (entry == nullptr) {
        return FALSE;
    }
    entry->open = false;
    return TRUE;
}

// advapi32: service control manager

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess)
{
    Locked lock;
    Record("OpenSCManagerW(" + Text(machineName) + ", " + Text(databaseName) + ", " + Hex(desiredAccess) + ")");
    // Any user may connect, enumerate and read; only administrators get more.
    const DWORD everyone = 0x20015;
    if (ShouldFail("OpenSCManagerW") || (!TheWorld().security.elevated && (desiredAccess & ~everyone) != 0)) {
        LastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(NewHandle("manager", -1, L""));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess)
{
    Locked lock;
    Record("OpenServiceW(" + HandleName(manager) + ", " + Text(serviceName) + ", " + Hex(desiredAccess) + ")");
    // A record marked for deletion still opens, until its last handle closes.
    // Any user may query a service; only administrators may change, stop or
    // delete it.
    const DWORD everyone = 0x2018D;
    if (Use(manager, "manager", "OpenServiceW") == nullptr || ShouldFail("OpenServiceW") ||
        (!TheWorld().security.elevated && (desiredAccess & ~everyone) != 0)) {
        LastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (std::wstring(serviceName).empty()) {
        LastError = ERROR_INVALID_NAME;
        return nullptr;
    }
    if (TheWorld().services.records.count(ServiceKey(serviceName)) == 0) {
        LastError = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    const std::uintptr_t handle = NewHandle("service", -1, serviceName);
    TheWorld().core.handles[handle].access = desiredAccess;
    return reinterpret_cast<SC_HANDLE>(handle);
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                                DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                                LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                                LPCWSTR password)
{
    Locked lock;
    World& world = TheWorld();
    Record("CreateServiceW(" + HandleName(manager) + ", " + Text(serviceName) + ", " + Text(displayName) + ", " +
           Hex(desiredAccess) + ", " + Hex(serviceType) + ", " + Number(startType) + ", " + Number(errorControl) +
           ", " + Text(binaryPathName) + ", " + Text(loadOrderGroup) + ", " + Pointer(tagId) + ", " +
           (dependencies == nullptr ? "NULL" : "\"" + Utf8(MultiString(dependencies)) + "\"") + ", " +
           Text(serviceStartName) + ", " + Text(password) + ")");
    const auto existing = world.services.records.find(ServiceKey(serviceName));
    if (Use(manager, "manager", "CreateServiceW") == nullptr || ShouldFail("CreateServiceW") ||
        existing != world.services.records.end()) {
        LastError = existing == world.services.records.end() ? ERROR_ACCESS_DENIED
                    : existing->second.markedForDeletion     ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                             : ERROR_SERVICE_EXISTS;
        return nullptr;
    }
    world.services.records[ServiceKey(serviceName)] = ServiceRecord{serviceName,
                                                                    displayName,
                                                                    desiredAccess,
                                                                    serviceType,
                                                                    startType,
                                                                    errorControl,
                                                                    binaryPathName,
                                                                    loadOrderGroup == nullptr,
                                                                    tagId == nullptr,
                                                                    dependencies == nullptr,
                                                                    MultiString(dependencies),
                                                                    serviceStartName == nullptr,
                                                                    password == nullptr,
                                                                    false,
                                                                    {},
                                                                    false,
                                                                    0};
    const std::uintptr_t handle = NewHandle("service", -1, serviceName);
    world.core.handles[handle].access = desiredAccess;
    return reinterpret_cast<SC_HANDLE>(handle);
}

namespace {

// The service's record behind an open handle that was opened for `access`;
// null, with the error Windows gives, otherwise.
ServiceRecord* RecordOf(SC_HANDLE service, DWORD access, const std::string& operation)
{
    World& world = TheWorld();
    HandleEntry* entry = Use(service, "service", operation);
    if (entry == nullptr || world.services.records.count(ServiceKey(entry->name)) == 0) {
        LastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if ((entry->access & access) != access) {
        LastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return &world.services.records[ServiceKey(entry->name)];
}

}  // namespace

BOOL WINAPI QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, DWORD* needed)
{
    Locked lock;
    ServiceRecord* record = RecordOf(service, SERVICE_QUERY_CONFIG, "QueryServiceConfigW");
    const std::wstring strings[] = {record == nullptr ? L"" : record->binaryPath, L"", L"", L"LocalSystem",
                                    record == nullptr ? L"" : record->displayName};
    DWORD required = sizeof(QUERY_SERVICE_CONFIGW);
    for (const std::wstring& text : strings) {
        required += static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    }
    required += sizeof(wchar_t);  // the dependency list's second terminator
    Record("QueryServiceConfigW(" + HandleName(service) + ", " +
           (config == nullptr  ? "NULL"
            : size >= required ? "buffer"
                               : "small buffer") +
           ")");
    if (record == nullptr) {
        return FALSE;
    }
    *needed = required;
    if (config == nullptr || size < required) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    auto* text = reinterpret_cast<wchar_t*>(config + 1);
    LPWSTR* fields[] = {&config->lpBinaryPathName, &config->lpLoadOrderGroup, &config->lpDependencies,
                        &config->lpServiceStartName, &config->lpDisplayName};
    for (std::size_t i = 0; i < 5; ++i) {
        *fields[i] = text;
        std::wmemcpy(text, strings[i].c_str(), strings[i].size() + 1);
        text += strings[i].size() + 1 + (i == 2 ? 1 : 0);
    }
    config->lpDependencies[1] = L'\0';
    config->dwServiceType = record->type;
    config->dwStartType = record->startType;
    config->dwErrorControl = record->errorControl;
    config->dwTagId = 0;
    return TRUE;
}

BOOL WINAPI ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                                 LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies,
                                 LPCWSTR serviceStartName, LPCWSTR password, LPCWSTR displayName)
{
    Locked lock;
    World& world = TheWorld();
    const bool changesNothing = serviceType == SERVICE_NO_CHANGE && startType == SERVICE_NO_CHANGE &&
                                errorControl == SERVICE_NO_CHANGE && binaryPathName == nullptr &&
                                loadOrderGroup == nullptr && tagId == nullptr && dependencies == nullptr &&
                                serviceStartName == nullptr && password == nullptr && displayName == nullptr;
    Record("ChangeServiceConfigW(" + HandleName(service) + ", " +
           (changesNothing ? "nothing to change" : "changes to the record") + ")");
    if (!changesNothing) {
        world.core.misuses.push_back("ChangeServiceConfigW: the host changes a record it did not create");
    }
    ServiceRecord* record = RecordOf(service, SERVICE_CHANGE_CONFIG, "ChangeServiceConfigW");
    if (record == nullptr) {
        return FALSE;
    }
    if (record->markedForDeletion) {
        LastError = ERROR_SERVICE_MARKED_FOR_DELETE;
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    Locked lock;
    World& world = TheWorld();
    Record("ControlService(" + HandleName(service) + ", " + Number(control) + ", " + Pointer(status) + ")");
    HandleEntry* entry = Use(service, "service", "ControlService");
    if (entry == nullptr || world.services.records.count(ServiceKey(entry->name)) == 0) {
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP && (entry->access & SERVICE_STOP) == 0) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    ServiceRecord& record = world.services.records[ServiceKey(entry->name)];
    record.controls.push_back(control);
    const bool wasRunning = record.running;
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS,
                             wasRunning ? SERVICE_STOP_PENDING : SERVICE_STOPPED,
                             SERVICE_ACCEPT_STOP,
                             0,
                             0,
                             0,
                             0};
    return wasRunning ? TRUE : FALSE;
}

BOOL WINAPI DeleteService(SC_HANDLE service)
{
    Locked lock;
    Record("DeleteService(" + HandleName(service) + ")");
    ServiceRecord* record = RecordOf(service, DELETE, "DeleteService");
    if (record == nullptr) {
        return FALSE;
    }
    if (ShouldFail("DeleteService")) {
        LastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (record->markedForDeletion) {
        LastError = ERROR_SERVICE_MARKED_FOR_DELETE;
        return FALSE;
    }
    // The record goes when the last handle to it closes.
    record->markedForDeletion = true;
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle)
{
    Locked lock;
    Record("CloseServiceHandle(" + HandleName(handle) + ")");
    const auto found = TheWorld().core.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == TheWorld().core.handles.end() ||
        (found->second.kind != "manager" && found->second.kind != "service")) {
        TheWorld().core.misuses.push_back("CloseServiceHandle: not a service manager handle");
        return FALSE;
    }
    if (!found->second.open) {
        TheWorld().core.misuses.push_back("CloseServiceHandle: closed " + found->second.kind + " handle");
        return FALSE;
    }
    found->second.open = false;
    if (found->second.kind == "service") {
        DropIfReleased(found->second.name);
    }
    return TRUE;
}

namespace fake {
namespace {

// Hands queued controls to the service's handler, one at a time, on the
// calling thread, until the service has stopped and no handler runs.
void DeliverControls()
{
    World& world = TheWorld();
    Locked lock;
    for (;;) {
        // The service manager passes controls on only to a running service
        // (it refuses them while the service starts or stops). A service
        // that never reports leaves the dispatcher waiting until somebody
        // ends the process.
        const auto deliverable = [&] {
            return !world.services.controls.empty() && world.services.lastReportedState == SERVICE_RUNNING;
        };
        lock.Wait([&] { return deliverable() || world.services.stoppedReported || world.core.processEnded; });
        if (!deliverable()) {
            return;
        }
        const DWORD control = world.services.controls.front();
        world.services.controls.pop_front();
        // A control sent before the service declared what it accepts.
        if (!Accepts(world.services.statusReports.back().status.dwControlsAccepted, control)) {
            Record("(ControlService " + Number(control) + " refused with " + Number(ERROR_INVALID_SERVICE_CONTROL) +
                   ")");
            continue;
        }
        world.services.handlerRunning = true;
        const LPHANDLER_FUNCTION handler = world.services.handler;
        lock.Unlock();
#ifdef FAKE_UNDER_TSAN
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
        AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
        handler(control);
#ifdef FAKE_UNDER_TSAN
        AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
        lock.Relock();
        Record("(handler returned)");
        world.services.handlerRunning = false;
        world.changed.notify_all();
    }
}

}  // namespace
}  // namespace fake

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table)
{
    World& world = TheWorld();
    LPSERVICE_MAIN_FUNCTIONW serviceMain = nullptr;
    std::wstring name;
    {
        Locked lock;
        const bool ended = table[1].lpServiceName == nullptr && table[1].lpServiceProc == nullptr;
        Record("StartServiceCtrlDispatcherW(" + Text(table[0].lpServiceName) + ", " +
               (table[0].lpServiceProc != nullptr ? "main" : "NULL") + ", " + (ended ? "end" : "no end") + ")");
        if (!world.services.startedByServiceManager) {
            LastError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
            return FALSE;
        }
        serviceMain = table[0].lpServiceProc;
        name = table[0].lpServiceName;
    }
    // Thread start is real synchronisation, visible to ThreadSanitizer.
    world.services.serviceThread = std::thread([serviceMain, name] {
        ThreadName = "service";
        std::wstring argument = name;
        LPWSTR arguments[1] = {&argument[0]};
        serviceMain(1, arguments);
    });

    if (!world.services.wineDispatcher) {
        DeliverControls();
    } else {
        // Wine: the controls go to a thread of their own, and the dispatcher
        // returns as soon as the service reports STOPPED, handler or not.
        world.services.handlerThread = std::thread([] {
            ThreadName = "handler";
            DeliverControls();
        });
        Locked lock;
        lock.Wait([&] { return world.services.stoppedReported || world.core.processEnded; });
    }
    // Ended from outside, the process never sees the dispatcher return; here
    // it returns into calls that are marked lost.
    Locked lock;
    return world.services.stoppedReported ? TRUE : FALSE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler)
{
    Locked lock;
    Record("RegisterServiceCtrlHandlerW(" + Text(serviceName) + ", " + (handler != nullptr ? "handler" : "NULL") + ")");
    if (ShouldFail("RegisterServiceCtrlHandlerW")) {
        return nullptr;
    }
    TheWorld().services.handler = handler;
    TheWorld().changed.notify_all();
    return StatusHandleValue;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    std::function<void(DWORD)> hook;
    const SERVICE_STATUS s = *status;
    {
        Locked lock;
        World& world = TheWorld();
        if (world.services.statusWaitsForHandler && std::string(ThreadName) == "service") {
            lock.Wait([&] { return !world.services.handlerRunning; });
        }
        Record("SetServiceStatus(" + std::string(handle == StatusHandleValue ? "status handle" : "bad handle") + ", {" +
               Hex(s.dwServiceType) + ", " + Number(s.dwCurrentState) + ", " + Hex(s.dwControlsAccepted) + ", " +
               Number(s.dwWin32ExitCode) + ", " + Number(s.dwServiceSpecificExitCode) + ", " + Number(s.dwCheckPoint) +
               ", " + Number(s.dwWaitHint) + "})");
        if (handle != StatusHandleValue) {
            world.core.misuses.push_back("SetServiceStatus: not the registered status handle");
        }
        if (world.services.stoppedReported) {
            world.core.misuses.push_back("SetServiceStatus: a report after STOPPED lands on the service's next run");
        }
        world.services.statusReports.push_back(StatusReport{handle == StatusHandleValue, s, ThreadName, ClockMs()});
        world.services.lastReportedState = s.dwCurrentState;
        if (s.dwCurrentState == SERVICE_STOPPED) {
            world.services.stoppedReported = true;
            world.core.processEnded = world.core.processEnded || world.services.processEndsAtStopped;
        }
        world.changed.notify_all();
        hook = world.services.statusHook;
    }
    if (hook) {
        hook(s.dwCurrentState);
    }
    if (s.dwCurrentState == SERVICE_STOPPED && std::string(ThreadName) == "handler") {
        // Wine's dispatcher has already returned on the main thread; this
        // thread still has to come back and answer the service manager.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Locked lock;
        Record("(handler's STOPPED report returned)");
    }
    return TRUE;
}
