// Waits for a message box captioned "ERROR", tells what it shows and presses
// its OK button, so that an e2e test can check a box that really opened.
//
//   box_watcher.exe [TIMEOUT_MS]        (default 30000)
//
// Prints, one "key=value" a line (UTF-8):
//   found=yes                       the box exists (printed at once, flushed)
//   text=<the box's text>           read from its static control (id 0xFFFF)
//   owner=none | owner=<hex>        the window that owns the box
//   buttons=<ids>                   ids of its visible buttons, ascending, joined by ','
//   closed=yes | closed=no          whether the box went away after OK was pressed
// or "found=no" when no such window appeared within the time-out.
// Exit code: 0 box found and closed, 1 none found, 2 found but still open.
#include "host_core/texts.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void Print(const char* key, const std::wstring& value)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    }
    std::printf("%s=%s\n", key, utf8.c_str());
    std::fflush(stdout);
}

HWND WaitForBox(ULONGLONG timeoutMs)
{
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (const HWND box = FindWindowW(nullptr, BoxCaption)) {
            return box;
        }
        if (GetTickCount64() - start >= timeoutMs) {
            return nullptr;
        }
        Sleep(50);
    }
}

BOOL CALLBACK CollectButton(HWND child, LPARAM param)
{
    wchar_t className[32] = {};
    GetClassNameW(child, className, 32);
    if (_wcsicmp(className, L"Button") == 0 && IsWindowVisible(child)) {
        reinterpret_cast<std::vector<int>*>(param)->push_back(GetDlgCtrlID(child));
    }
    return TRUE;
}

std::wstring VisibleButtons(HWND box)
{
    std::vector<int> ids;
    EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&ids));
    std::sort(ids.begin(), ids.end());
    std::wstring joined;
    for (const int id : ids) {
        joined += (joined.empty() ? L"" : L",") + std::to_wstring(id);
    }
    return joined;
}

std::wstring Hex(const void* pointer)
{
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(pointer)));
    return buffer;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const ULONGLONG timeoutMs = argc >= 2 ? std::wcstoull(argv[1], nullptr, 10) : 30000;
    const HWND box = WaitForBox(timeoutMs);
    if (box == nullptr) {
        std::printf("found=no\n");
        return 1;
    }
    Print("found", L"yes");

    // The box may still be filling itself in when it is first found.
    Sleep(200);
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    Print("text", text);
    const HWND owner = GetWindow(box, GW_OWNER);
    Print("owner", owner == nullptr ? std::wstring(L"none") : Hex(owner));
    Print("buttons", VisibleButtons(box));

    PostMessageW(box, WM_COMMAND, IDOK, 0);
    const ULONGLONG start = GetTickCount64();
    while (IsWindow(box) && GetTickCount64() - start < 10000) {
        Sleep(50);
    }
    const bool closed = !IsWindow(box);
    Print("closed", closed ? L"yes" : L"no");
    return closed ? 0 : 2;
}
