// The fake's service manager: its records, and the dispatcher of the host's
// own service with its threads, controls and status reports.
#pragma once

#include "fake_world.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace fake {

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

// Joins the threads the dispatcher started, once the process has ended.
// The caller does not hold the lock.
void JoinDispatcherThreads();

}  // namespace fake
