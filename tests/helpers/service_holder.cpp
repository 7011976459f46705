// Holds a service open, as a services console does, so that a deletion stays
// pending: the service manager removes a deleted record only once the last
// handle to it is closed.
//
//   service_holder.exe NAME RELEASE_FILE
//
// Opens the service with SERVICE_QUERY_STATUS, prints "holding" (or
// "missing"), waits until RELEASE_FILE exists, closes the handle and prints
// "released".
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fputs("usage: service_holder NAME RELEASE_FILE\n", stderr);
        return 1;
    }
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = manager == nullptr ? nullptr : OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        std::printf("missing\n");
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) {
        Sleep(50);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::printf("released\n");
    return 0;
}
