// The child's state that its launch, its console and its job share between
// the service thread, which creates the child and closes its handles, the
// control handler and the end of the run.
#pragma once

#include <windows.h>

enum class ChildState { NotCreated, Running, Ended };

// Guards ChildProcess (service_runtime.h), every variable below and the
// launch's StopRequested (child_process.cpp). Never held across a wait or a
// status report.
extern SRWLOCK ChildLock;
// Whether the child has been created, runs, or has ended and had its
// handles closed.
extern ChildState ChildProcessState;
// The child and every process it starts; null when Windows would not confine
// it. Open until the run is over: when the last handle to it closes, with
// this process at the latest, Windows ends whatever is still in it.
extern HANDLE ChildJob;
// Whether this process made a console for a console program and is on it.
// It stays until the run is over, so that the console, and what the program
// wrote to it, outlive the program however fast it ends: Windows closes a
// console when the last process on it has left.
extern bool OnChildConsole;
