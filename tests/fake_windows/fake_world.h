// The in-memory Windows behind the fake windows.h: tests set it up, run the
// host, and read back every call it made. It models Windows, not Wine: the
// control handler runs on the dispatcher's thread, and the dispatcher returns
// once the service has reported STOPPED and no handler is running. What it
// refuses, Windows refuses: controls the service did not accept, USER32 and
// WTSAPI32 calls before their DLL was loaded, a report after STOPPED (the
// status handle belongs to the service, and the report would land on its
// next run).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace fake {

enum class Child {
    QuitsOnWmQuit,        // a message loop on its primary thread
    IgnoresWmQuit,        // a console program: no message queue to post to; ends when terminated
    ExitsAtOnce,          // ends as soon as it runs
    SurvivesTermination,  // ignores WM_QUIT and termination alike
    RunsUntilEnded,       // like IgnoresWmQuit; the test ends it with EndChild
    LoadsBeforeItsLoop,   // no message queue for its first 1000 ms, then a message loop
};

struct Call {
    std::string text;    // "Name(arg, arg, ...)", texts as UTF-8 in quotes
    std::string thread;  // "main" (WinMain and the handler), "service", or Wine's "handler"
    long long time;      // the fake clock, in ms; only Sleep moves it
    bool lost;           // made after the process had ended
};

struct Event {
    std::wstring source;
    WORD type;
    WORD category;
    DWORD eventId;
    bool userSidNull;
    WORD stringCount;
    DWORD dataSize;
    bool rawDataNull;
    std::wstring text;   // the one string; empty when stringCount is 0
    std::wstring shown;  // as Event Viewer shows it: "%n" replaced by the n-th string
    std::string thread;
    long long time;
    bool lost;
};

struct Box {
    bool ownerNull;
    std::wstring text;
    std::wstring caption;
    UINT type;
};

struct StatusReport {
    bool handleValid;
    SERVICE_STATUS status;
    std::string thread;
    long long time;
};

struct ServiceRecord {
    std::wstring name;
    std::wstring displayName;
    DWORD access;
    DWORD type;
    DWORD startType;
    DWORD errorControl;
    std::wstring binaryPath;
    bool groupNull;
    bool tagNull;
    bool dependenciesNull;
    std::wstring dependencies;  // up to the list's double terminator
    bool accountNull;
    bool passwordNull;
    bool running;
    std::vector<DWORD> controls;
    bool markedForDeletion;
    int heldByOthers;   // handles other clients hold (HoldService)
    DWORD stopRefusal;  // what ControlService's stop fails with; 0: the service stops
};

struct ChildProcessRecord {
    std::wstring commandLine;
    std::wstring workingDirectory;
    DWORD creationFlags;
    bool ended;
    DWORD exitCode;
    bool quitPosted;
    long long createdAt;
    bool suspended;  // created suspended and not resumed yet: it has run no code
};

// A security descriptor as a test writes it out, its SIDs as text
// ("S-1-5-32-544").
struct Ace {
    bool allow;  // else a deny entry
    BYTE flags;  // INHERIT_ONLY_ACE and the like
    DWORD mask;
    std::string sid;
};
struct Security {
    std::string owner;  // empty: none
    bool hasDacl;       // false: a null DACL, which grants everyone everything
    std::vector<Ace> aces;
};

// Every call of the host starts from a fresh world: no services, an event
// log that works, a command line of just the program name.
void Reset();

void SetModulePath(const std::wstring& path);
void SetCommandLine(const std::wstring& commandLine);
void SetStartedByServiceManager(bool started);
void SetChild(Child behaviour);
// The child's program as a file whose image names this subsystem. Without
// it the program's file cannot be read; its console comes up all the same.
void SetChildImage(const std::wstring& path, WORD subsystem);
// What the child's console shows, a row each from the top; the cursor
// stands at the start of the row below them. A CJK character takes two
// cells, and reads back once for both, as on Windows.
void WriteChildConsole(const std::vector<std::wstring>& rows);
// The console's window is closed: Windows calls the host's handler with
// CTRL_CLOSE_EVENT on a thread of its own (here the caller's, named
// "console") and ends the host once it returns. The program ends on the
// event at once, unless `programHandlesIt`.
void CloseChildConsole(bool programHandlesIt);
// A record of this name whose program is binaryPath (the default module path).
void AddService(const std::wstring& name, bool running, const std::wstring& binaryPath = L"C:\\Apps\\notepadSvc.exe");
// Another client (a services console, a monitoring agent) holds the service
// open. A record deleted meanwhile is only marked for deletion; it goes when
// the last handle to it closes.
void HoldService(const std::wstring& name);
// A running service that does not stop when asked: ControlService's stop
// fails with `error` (ERROR_SERVICE_REQUEST_TIMEOUT for a handler busy past
// 30 s) and the service runs on.
void SetStopRefusal(const std::wstring& name, DWORD error);
// Another client deletes the service.
void MarkForDeletion(const std::wstring& name);
// Files on disk, each with an identity of its own; the module path is one.
void AddFile(const std::wstring& path);
// What GetSecurityInfo gives for the file or folder at `path`. By default:
// owned by Administrators, full control for SYSTEM and Administrators, read
// and execute for Users.
void SetSecurity(const std::wstring& path, const Security& security);
// A junction, symbolic link or mount point at `path`: its reparse tag and
// the substitute name its data holds ("\\??\\D:\\Apps", or "..\\B" with
// SYMLINK_FLAG_RELATIVE). Nothing else in the fake follows it.
void SetReparsePoint(const std::wstring& path, DWORD tag, const std::wstring& name, DWORD flags = 0);
// LookupAccountSidW's answer for a SID; by default no account has a name.
void SetAccountName(const std::string& sid, const std::wstring& domain, const std::wstring& name, SID_NAME_USE use);
// NetUserGetLocalGroups' answer for "DOMAIN\name": its status and, on
// NERR_Success, the local groups the user is in, directly or not (by
// default: NERR_UserNotFound).
void SetLocalGroups(const std::wstring& user, DWORD status, const std::vector<std::wstring>& groups = {});
// The direct members of Administrators, as NetLocalGroupGetMembers gives
// them from the machine's own database (by default none).
void SetAdministratorsMembers(const std::vector<std::string>& sids);
// Names in `folder` keep their case, as in a folder made case-sensitive
// (fsutil file setCaseSensitiveInfo): "Helper.dll" and "helper.dll" are two
// files.
void MakeCaseSensitive(const std::wstring& folder);
// shortPath is the 8.3 form of the file at longPath.
void AddShortPath(const std::wstring& shortPath, const std::wstring& longPath);
// A drive letter of the user's logon session, which the service manager does
// not have: a mapped network drive ("Z:" for "\\server\share") or a SUBST
// drive ("S:" for "C:\Real"). Files on it are the files of its target.
void MapDrive(const std::wstring& drive, const std::wstring& target);
// Whether the process runs elevated (by default it does): under UAC a prompt
// that is not elevated may not open the service manager with full access, nor
// a service to change, stop or delete it.
void SetElevated(bool elevated);
// The process's session (by default 1, 0 for a service); session 0 is never
// seen by a user.
void SetSession(DWORD session);
// Whether the process's window station is one a user sees (by default it is).
void SetWindowStationVisible(bool visible);
// The session attached to the console; 0xFFFFFFFF: none (by default 1).
void SetConsoleSession(DWORD session);
// Whether the process was given a standard error (by default not), and
// whether that is a console (by default a file or pipe).
void SetStandardError(bool given);
void SetStandardErrorIsConsole(bool console);
// Makes the Nth call (1-based) of the named operation fail; 0: every call.
void FailCall(const std::string& operation, int nth = 0);
// Wine holds SetServiceStatus on the service thread while a control handler
// runs; Windows does not. Off by default.
void SetStatusWaitsForHandler(bool wait);
// Wine runs the control handler on a thread of its own ("handler") and
// returns from the dispatcher as soon as STOPPED is reported, even while the
// handler still runs. Off by default.
void SetWineDispatcher(bool wine);
// Process ends (later calls are marked lost) at the first STOPPED report.
void SetProcessEndsAtStoppedReport(bool ends);
// Real time each fake millisecond of Sleep takes, to let threads interleave.
void SetRealMicrosecondsPerSleepMs(int microseconds);
// Runs on the reporting thread just after each status report is recorded.
void OnStatusReport(std::function<void(DWORD state)> hook);

// Runs WinMain as the start-up code would, then ends the process. With the
// service manager's start, the dispatcher runs ServiceMain on a thread of its
// own and delivers SendControl's codes to the handler on this thread, once
// the service has reported RUNNING (before that the manager refuses them).
int RunHost();
// A client's ControlService: 0, or the error Windows gives. Only the system
// sends SHUTDOWN, and only to a service that accepts it. A service that is
// starting or stopping refuses every control.
DWORD SendControl(DWORD control);
// An administrator ends the host process (Task Manager, taskkill /f): a
// dispatcher still waiting is released, and later calls are marked lost.
void EndProcess();
void EndChild(DWORD exitCode);
// Waits (in real time, at most 10 s) for a condition on the world.
bool WaitUntil(const std::function<bool()>& condition);

std::vector<Call> Journal();
std::vector<std::string> CallsNamed(const std::string& operation);
std::vector<Event> Events();
std::vector<std::wstring> EventTexts();
std::vector<Box> Boxes();
std::vector<StatusReport> StatusReports();
std::vector<ChildProcessRecord> Children();
bool HasService(const std::wstring& name);
// What the host wrote to its standard error.
std::string StandardError();
ServiceRecord Service(const std::wstring& name);
long long Now();
int OpenHandleCount();
// Closed, stale or foreign handles the host used, thread ids it posted to
// after closing the child's handles, DLLs it let Windows look for outside the
// system directory, calls into DLLs it never loaded, reports after STOPPED,
// a console event that would end the host, a close handler held past
// Windows' 5 s; empty when the host behaved.
std::vector<std::string> Misuses();

}  // namespace fake
