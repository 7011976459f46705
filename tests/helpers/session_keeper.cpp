// Keeps a Wine session (wineserver, service manager) alive for a test run:
// sleeps until killed, so that services inherit the harness's stderr.
#include <windows.h>

int main()
{
    Sleep(INFINITE);
    return 0;
}
