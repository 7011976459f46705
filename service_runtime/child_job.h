// The job the child runs in: made before the launch, waited on until it is
// empty, ended with everything in it.
#pragma once

#include <windows.h>

// A job that ends what is left in it when it is closed, and lets go only of
// a process started with CREATE_BREAKAWAY_FROM_JOB, which asks to outlive
// its parent. Null when it cannot be made.
HANDLE CreateChildJob();

// A program that ended by itself may leave what it started running in its
// job. The service is not stopped while any of it runs: a client, or the
// service manager's own recovery, may start the service again the moment it
// reports STOPPED, and a second copy would run beside the first one's
// leftovers. Ends the job, and waits 2 s at most for it to empty.
void EndWhatTheChildLeft();
