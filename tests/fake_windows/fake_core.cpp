// The fake's core: the world and its lock, the journal, handles, failures,
// the clock, the DLLs the host loads, Reset, and what tests read back.
#include "fake_core.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

// ThreadSanitizer's annotations, which Locked uses to keep the fake's own
// accesses out of its sight.
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

// The fake clock in microseconds, moved only by Sleep. Windows wakes a
// sleeping thread at a clock tick, 15.625 ms by default, and counts from the
// last tick: "if dwMilliseconds is greater than one tick but less than two,
// the wait can be anywhere between one and two ticks". A sleep here ends at
// the earliest of those ticks.
std::atomic<long long> ClockMicros{0};

const long long TickMicros = 15625;

// Under ThreadSanitizer, what this thread does from here on is not watched,
// or watched again.
void StopWatching()
{
#ifdef FAKE_UNDER_TSAN
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
}

void WatchAgain()
{
#ifdef FAKE_UNDER_TSAN
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
}

}  // namespace

World& TheWorld()
{
    static World world;
    return world;
}

Locked::Locked()
{
    StopWatching();
    lock_ = std::unique_lock<std::mutex>(TheWorld().mutex);
}

Locked::~Locked()
{
    lock_.unlock();
    WatchAgain();
}

void Locked::Wait(const std::function<bool()>& condition)
{
    TheWorld().changed.wait(lock_, condition);
}

void Locked::Unlock()
{
    lock_.unlock();
}

void Locked::Relock()
{
    lock_.lock();
}

void Locked::RunHostCode(const std::function<void()>& hostCode)
{
    lock_.unlock();
    WatchAgain();
    hostCode();
    StopWatching();
    lock_.lock();
}

long long ClockMs()
{
    return ClockMicros.load() / 1000;
}

thread_local const char* ThreadName = "main";

thread_local DWORD LastError = 0;

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

HandleEntry* UseOneOf(const void* handle, const std::set<std::string>& kinds, const std::string& what,
                      const std::string& operation)
{
    World& world = TheWorld();
    const auto found = world.core.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == world.core.handles.end() || kinds.count(found->second.kind) == 0) {
        world.core.misuses.push_back(operation + ": not a " + what + " handle");
        return nullptr;
    }
    if (!found->second.open) {
        world.core.misuses.push_back(operation + ": closed " + found->second.kind + " handle");
        return nullptr;
    }
    return &found->second;
}

HandleEntry* Use(const void* handle, const std::string& kind, const std::string& operation)
{
    return UseOneOf(handle, {kind}, kind, operation);
}

HandleEntry* CloseOneOf(const void* handle, const std::set<std::string>& kinds, const std::string& what,
                        const std::string& operation)
{
    HandleEntry* entry = UseOneOf(handle, kinds, what, operation);
    if (entry != nullptr) {
        entry->open = false;
    }
    return entry;
}

std::wstring LowerCase(const std::wstring& name)
{
    std::wstring key = name;
    for (wchar_t& unit : key) {
        if (unit >= L'A' && unit <= L'Z') {
            unit = static_cast<wchar_t>(unit - L'A' + L'a');
        }
    }
    return key;
}

void NotModelled(const std::string& operation)
{
    TheWorld().core.misuses.push_back(operation + ": not modelled, as the fake never leads the host here");
    LastError = ERROR_GEN_FAILURE;
}

void RequireModule(const std::string& module, const std::string& operation)
{
    if (TheWorld().core.loadedModules.count(module) == 0) {
        TheWorld().core.misuses.push_back(operation + ": " + module + " was never loaded");
    }
}

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
    JoinDispatcherThreads();
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

void FailCall(const std::string& operation, int nth)
{
    Locked lock;
    TheWorld().core.failures[operation].push_back(nth);
}

void SetRealMicrosecondsPerSleepMs(int microseconds)
{
    Locked lock;
    TheWorld().core.realMicrosecondsPerMs = microseconds;
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
    JoinDispatcherThreads();
    return exitCode;
}

void EndProcess()
{
    Locked lock;
    Record("(the process is ended from outside)");
    TheWorld().core.processEnded = true;
    TheWorld().changed.notify_all();
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
    return TheWorld().services.records.count(LowerCase(name)) != 0;
}

std::string StandardError()
{
    Locked lock;
    return TheWorld().windows.standardErrorText;
}

ServiceRecord Service(const std::wstring& name)
{
    Locked lock;
    return TheWorld().services.records.at(LowerCase(name));
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
    const std::wstring name = LowerCase(fileName);
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

BOOL WINAPI CloseHandle(HANDLE handle)
{
    Locked lock;
    Record("CloseHandle(" + HandleName(handle) + ")");
    const HandleEntry* entry =
        CloseOneOf(handle, {"process", "thread", "host thread", "file", "job", "console"}, "kernel", "CloseHandle");
    if (entry == nullptr) {
        return FALSE;
    }
    if (entry->kind == "job") {
        JobClosedLocked(reinterpret_cast<std::uintptr_t>(handle), entry->access);
    }
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

ULONGLONG WINAPI GetTickCount64()
{
    // Moves by whole clock ticks, in milliseconds cut down, as Windows' does.
    return static_cast<ULONGLONG>(ClockMs());
}

void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock)
{
    lock->mutex.lock();
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    lock->mutex.unlock();
}

BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD milliseconds, ULONG /*flags*/)
{
    // The caller holds the lock; the wait releases and retakes it.
    std::unique_lock<std::mutex> held(lock->mutex, std::adopt_lock);
    if (milliseconds == INFINITE) {
        condition->condition.wait(held);
        held.release();
        return TRUE;
    }
    // A time-out passes on the fake clock once the threads have had real
    // time to act, 100 us for each fake millisecond.
    const auto real = std::chrono::microseconds(100LL * milliseconds);
    const bool woken = condition->condition.wait_for(held, real) == std::cv_status::no_timeout;
    if (!woken) {
        held.unlock();
        PassTime(milliseconds);
        held.lock();
        LastError = ERROR_TIMEOUT;
    }
    held.release();
    return woken ? TRUE : FALSE;
}

void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE condition)
{
    condition->condition.notify_all();
}
