#include "service_mode.h"

#include <atomic>

namespace {
std::atomic<bool> RunningAsService{false};
}

void SetRunningAsService(bool running)
{
    RunningAsService.store(running);
}

bool IsRunningAsService()
{
    return RunningAsService.load();
}
