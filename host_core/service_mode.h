// Whether this process is running as a service: cleared by WinMain, set
// once the service manager has called the service's main function; read
// from any thread.
#pragma once

void SetRunningAsService(bool running);
bool IsRunningAsService();
