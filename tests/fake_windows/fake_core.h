// What the fake's subsystems share: the world, made of one part for each of
// them; its lock; the journal, handles and failures; the clock; and the
// texts calls are recorded in.
#pragma once

#include "fake_event_log.h"
#include "fake_files.h"
#include "fake_processes.h"
#include "fake_security.h"
#include "fake_services.h"
#include "fake_windows_and_boxes.h"
#include "fake_world.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fake {

struct HandleEntry {
    std::string kind;  // "event source", "manager", "service", "process", "thread", "file", "find", "job", "console"
    bool open;
    int child;          // the child's index (process, thread), the file's, or a listing's next entry
    std::wstring name;  // service or event source name; the file's path
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

// The in-memory Windows: a part for each subsystem, under one lock, whose
// condition wakes every waiter at any change.
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

World& TheWorld();

// Holds the world's lock. Under ThreadSanitizer the fake's own accesses are
// not watched meanwhile, so that the lock does not hide the host's races:
// only the host's own synchronisation (and thread start and join) counts.
class Locked {
public:
    Locked();
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    void Wait(const std::function<bool()>& condition);
    void Unlock();
    void Relock();
    // Runs the host's own code (a control handler) without the lock and
    // watched again, then retakes the lock.
    void RunHostCode(const std::function<void()>& hostCode);

private:
    std::unique_lock<std::mutex> lock_;
};

// The fake clock, in ms.
long long ClockMs();
// Moves the fake clock as a sleep of `milliseconds` would.
void PassTime(DWORD milliseconds);

extern thread_local const char* ThreadName;
extern thread_local DWORD LastError;

// Texts for the journal.
std::string Utf8(const std::wstring& text);
std::string Text(const wchar_t* text);
std::string Hex(DWORD value);
std::string Number(long long value);
std::string Pointer(const void* pointer);

// The caller holds the lock.
void Record(const std::string& text);
bool ShouldFail(const std::string& operation);
std::uintptr_t NewHandle(const std::string& kind, int child, const std::wstring& name);
std::string HandleName(const void* handle);
// The open handle of one of `kinds`, or null after recording the misuse,
// where `what` names the kinds.
HandleEntry* UseOneOf(const void* handle, const std::set<std::string>& kinds, const std::string& what,
                      const std::string& operation);
// The open handle of the given kind, or null after recording the misuse.
HandleEntry* Use(const void* handle, const std::string& kind, const std::string& operation);
// The handle as UseOneOf finds it, closed.
HandleEntry* CloseOneOf(const void* handle, const std::set<std::string>& kinds, const std::string& what,
                        const std::string& operation);
// For the calls the fake's own answers never lead the host to make: the call
// fails, and is a misuse, so that a test that gets there sees that the fake
// has no model of it.
void NotModelled(const std::string& operation);
// A DLL's functions work only once the host has loaded it: a direct call
// would be an import, which Windows may satisfy from the program's folder.
void RequireModule(const std::string& module, const std::string& operation);

// Service names, paths and user names are compared without regard to case:
// the world files them in lower case (the letters A to Z).
std::wstring LowerCase(const std::wstring& name);

}  // namespace fake
