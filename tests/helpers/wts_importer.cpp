// A program that imports WTSSendMessageW from wtsapi32.dll and never calls
// it: where the loader finds that DLL for it is where it would for any
// program linked against it.
#include <windows.h>
#include <wtsapi32.h>

int main()
{
    void* volatile imported = reinterpret_cast<void*>(&WTSSendMessageW);
    return imported == nullptr ? 1 : 0;
}
