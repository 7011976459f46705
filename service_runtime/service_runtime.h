// The service as the service manager sees it, and the child it supervises.
#pragma once

#include "host_core/host_core.h"

#include <windows.h>

#include <string>

// The child's process and primary-thread handles and ids; filled by
// RunChildProcess on the service thread, used by the control handler.
extern PROCESS_INFORMATION ChildProcess;

// The host the service manager runs: WinMain's own record, which lives for
// the whole run. Set before the dispatcher runs, then only read.
extern const HostIdentity* ServiceHost;

// A fresh service run: no child yet, no stop asked for. Called before the
// control handler is registered.
void PrepareChildProcess();

// Starts making the program's console on a thread of its own, before the
// dispatcher is called; the launch waits for it. Where the run never comes
// to a launch (the dispatcher fails, the handler cannot be registered),
// ForgetEarlyConsole waits for it and leaves the console.
void StartMakingChildConsole();
void ForgetEarlyConsole();

// How the child's run ended: the error that kept it from starting, or the
// exit code it ended with; both 0 when it was not started because a stop came
// first.
struct ChildEnd {
    DWORD CreationError;
    DWORD ExitCode;
};

// Starts the child beside the host, in a job of its own, and returns when it
// has ended (and, when it ended by itself, what it started has been ended
// too, and the last lines of its console have been reported), or at once
// when it could not be (or, once a stop was asked for, should not be)
// started. It is not started when it is the host itself, or when an account
// other than a trusted one may change what it runs. A console program runs
// on a console this process makes for it, and stays on until the run is
// over.
ChildEnd RunChildProcess(const std::wstring& modulePath);

// For the control handler: act on the child only while it runs, never on
// handles that RunChildProcess has closed. Asking to quit also tells a
// launch still to come not to happen. NotYet while the quit message could
// not be posted to a running child (its thread has no message queue yet),
// so that the handler can try again; NothingToAsk when no child runs, or
// USER32 could not be loaded.
enum class QuitRequest { Posted, NothingToAsk, NotYet };
QuitRequest AskChildToQuit();
// Ctrl-C to the console of a running child, which is how a console program
// is asked to end; nothing for a GUI program, which has none.
void SendCtrlCToChild();
// Ends the child and everything it started, with exit code 2.
void TerminateChild();
// Once the run is over: closes the child's job, and Windows ends whatever
// the child left running in it; leaves the child's console.
void ReleaseChildJob();

// For the service thread, when the program has ended or could not be
// started: true when that is how the run ends, and the service thread
// reports it; false when a stop came first, which tells the end instead.
bool ClaimTheEndOfTheRun();
// Waits until the run has reported STOPPED, or the tick count has reached
// `deadline`; true once it has.
bool WaitForStoppedReport(ULONGLONG deadline);
// Reports STOPPED now for a stop still under way, whose handler would
// report it only 4 s after its request.
void ReportStopUnderWay();

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceCtrlHandler(DWORD control);

// Returns once no control handler runs, and Wine's control thread has had
// time to answer for the last one. Windows returns from the dispatcher only
// after the handler has returned and been answered for; Wine may return
// while it still runs.
void WaitForControlHandlers();
