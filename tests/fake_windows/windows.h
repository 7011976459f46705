// The few Win32 types, constants and operations the host uses, under their
// Win32 names, for the native test build. Behind them stands the scripted
// in-memory world of fake_world.h. If the host grows a call that is missing
// here, the native build fails to link: this file is the host's surface.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef long LONG;
typedef unsigned long ULONG;
typedef char* LPSTR;
typedef wchar_t WCHAR;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef void* LPVOID;
typedef void* PSID;
typedef void* HANDLE;
typedef struct FakeInstance* HINSTANCE;
typedef struct FakeInstance* HMODULE;
typedef struct FakeWindow* HWND;
typedef struct FakeScHandle* SC_HANDLE;
typedef struct FakeStatusHandle* SERVICE_STATUS_HANDLE;

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

#define EVENTLOG_INFORMATION_TYPE 0x0004
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define IDOK 1
#define WM_QUIT 0x0012
#define CREATE_NEW_CONSOLE 0x00000010u
#define WAIT_OBJECT_0 0u

#define DELETE 0x00010000u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_STOP 0x0020u
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_DEMAND_START 0x00000003u
#define SERVICE_ERROR_NORMAL 0x00000001u
#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_PAUSE 0x00000002u
#define SERVICE_CONTROL_CONTINUE 0x00000003u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u
#define SERVICE_CONTROL_SHUTDOWN 0x00000005u

#define WTS_CURRENT_SERVER_HANDLE ((HANDLE) nullptr)

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD, LPWSTR*);
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD);

typedef struct _SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
} SERVICE_TABLE_ENTRYW;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Laid out as on 64-bit Windows, so that its size is the real 104 bytes.
typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW must be 104 bytes as on Win64");

// A slim reader/writer lock; the fake builds it on std::mutex so that
// ThreadSanitizer sees the host's own locking.
typedef struct _SRWLOCK {
    std::mutex mutex;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT                                                                                                   \
    {                                                                                                                  \
    }

// A condition variable that sleeps on an SRWLOCK.
typedef struct _CONDITION_VARIABLE {
    std::condition_variable condition;
} CONDITION_VARIABLE, *PCONDITION_VARIABLE;
#define CONDITION_VARIABLE_INIT                                                                                        \
    {                                                                                                                  \
    }

// kernel32
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
LPWSTR WINAPI GetCommandLineW();
BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, void* processAttributes, void* threadAttributes,
                           BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                           LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
void WINAPI Sleep(DWORD milliseconds);
void WINAPI OutputDebugStringW(LPCWSTR text);
DWORD WINAPI WTSGetActiveConsoleSessionId();
void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock);
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock);
BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD milliseconds, ULONG flags);
void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE condition);

// user32
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam);

// wtsapi32
BOOL WINAPI WTSSendMessageW(HANDLE server, DWORD sessionId, LPWSTR title, DWORD titleLength, LPWSTR message,
                            DWORD messageLength, DWORD style, DWORD timeout, DWORD* response, BOOL wait);

// advapi32: event log
HANDLE WINAPI RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);
BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                         DWORD dataSize, LPCWSTR* strings, LPVOID rawData);
BOOL WINAPI DeregisterEventSource(HANDLE eventLog);

// advapi32: service control manager
SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
SC_HANDLE WINAPI CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                                DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                                LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                                LPCWSTR password);
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL WINAPI DeleteService(SC_HANDLE service);
BOOL WINAPI CloseServiceHandle(SC_HANDLE handle);
BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// The host's entry, as the MinGW and MSVC start-up code call it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand);
