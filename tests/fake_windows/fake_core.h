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

struct HandleEntry {
    std::string kind;  // "event source", "manager", "service", "process", "thread", "file", "find", "job", "console"
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
// The open handle of the given kind, or null after recording the misuse.
HandleEntry* Use(const void* handle, const std::string& kind, const std::string& operation);
// A DLL's functions work only once the host has loaded it: a direct call
// would be an import, which Windows may satisfy from the program's folder.
void RequireModule(const std::string& module, const std::string& operation);

// Service names and paths are compared without regard to case.
std::wstring ServiceKey(const std::wstring& name);

}  // namespace fake
