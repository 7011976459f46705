// The few Win32 types, constants and operations the host uses, under their
// Win32 names, for the native test build. Behind them stands the scripted
// in-memory world of fake_world.h. If the host grows a call that is missing
// here, the native build fails to link: this file is the host's surface.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef short SHORT;
typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef long LONG;
typedef unsigned long ULONG;
typedef char* LPSTR;
typedef const char* LPCSTR;
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
typedef struct FakeWindowStation* HWINSTA;
typedef std::intptr_t(WINAPI* FARPROC)();
typedef unsigned long long ULONGLONG;
typedef std::size_t SIZE_T;
typedef std::uintptr_t ULONG_PTR;
typedef std::uintptr_t DWORD_PTR;
typedef BYTE* LPBYTE;
typedef void* PSECURITY_DESCRIPTOR;
typedef void* HLOCAL;
typedef DWORD SECURITY_INFORMATION;

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_UNEXP_NET_ERR 59u
// An object rather than the macro's cast, so that the host's comparisons
// with it read as comparisons of handles.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_TIMEOUT 1460u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_BAD_PATHNAME 161u
#define ERROR_INVALID_SERVICE_CONTROL 1052u
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#define ERROR_SERVICE_SPECIFIC_ERROR 1066u
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072u
#define ERROR_SERVICE_EXISTS 1073u
#define ERROR_INVALID_THREAD_ID 1444u
#define ERROR_ACCESS_DISABLED_BY_POLICY 1260u
#define ERROR_NONE_MAPPED 1332u
#define ERROR_NOT_A_REPARSE_POINT 4390u
#define NERR_GroupNotFound 2220u
#define NERR_UserNotFound 2221u

#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define CP_UTF8 65001u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define FIND_FIRST_EX_LARGE_FETCH 0x2u
#define FSCTL_GET_REPARSE_POINT 0x000900A8u
#define MAXIMUM_REPARSE_DATA_BUFFER_SIZE (16 * 1024)
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003u
#define IO_REPARSE_TAG_SYMLINK 0xA000000Cu
#define IsReparseTagNameSurrogate(tag) (((tag)&0x20000000u) != 0)
#define SYMLINK_FLAG_RELATIVE 1u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_NAME_NORMALIZED 0x0u
#define FILE_NAME_OPENED 0x8u
#define CSTR_EQUAL 2
#define VOLUME_NAME_DOS 0x0u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001

#define EVENTLOG_INFORMATION_TYPE 0x0004
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define IDOK 1
#define WM_QUIT 0x0012
#define CREATE_SUSPENDED 0x00000004u
#define CREATE_NEW_CONSOLE 0x00000010u
#define STILL_ACTIVE 259u
#define CTRL_C_EVENT 0u
#define CTRL_CLOSE_EVENT 2u
#define JOB_OBJECT_LIMIT_BREAKAWAY_OK 0x00000800u
#define JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE 0x00002000u
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 0x102u
#define IMAGE_SUBSYSTEM_WINDOWS_GUI 2
#define IMAGE_SUBSYSTEM_WINDOWS_CUI 3

#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define GENERIC_ALL 0x10000000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_WRITE_ATTRIBUTES 0x0100u
#define FILE_DELETE_CHILD 0x0040u
#define FILE_ALL_ACCESS 0x001F01FFu
#define FILE_GENERIC_WRITE 0x00120116u
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define ACCESS_DENIED_OBJECT_ACE_TYPE 0x6
#define ACCESS_ALLOWED_CALLBACK_ACE_TYPE 0x9
#define ACCESS_DENIED_CALLBACK_ACE_TYPE 0xA
#define ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE 0xC
#define INHERIT_ONLY_ACE 0x08
#define OWNER_SECURITY_INFORMATION 0x1u
#define DACL_SECURITY_INFORMATION 0x4u
#define TOKEN_QUERY 0x0008u
#define SECURITY_MAX_SID_SIZE 68
#define LG_INCLUDE_INDIRECT 0x1u
#define MAX_PREFERRED_LENGTH ((DWORD)-1)
#define NERR_Success 0u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_NO_CHANGE 0xFFFFFFFFu
#define SERVICE_STOP 0x0020u
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_DEMAND_START 0x00000003u
#define SERVICE_ERROR_NORMAL 0x00000001u
#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002u
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004u
#define SERVICE_ACCEPT_PARAMCHANGE 0x00000008u
#define SERVICE_ACCEPT_NETBINDCHANGE 0x00000010u
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

typedef struct _QUERY_SERVICE_CONFIGW {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    LPWSTR lpBinaryPathName;
    LPWSTR lpLoadOrderGroup;
    DWORD dwTagId;
    LPWSTR lpDependencies;
    LPWSTR lpServiceStartName;
    LPWSTR lpDisplayName;
} QUERY_SERVICE_CONFIGW, *LPQUERY_SERVICE_CONFIGW;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

typedef struct tagUSEROBJECTFLAGS {
    BOOL fInherit;
    BOOL fReserved;
    DWORD dwFlags;
} USEROBJECTFLAGS;

typedef struct _FILE_ID_128 {
    BYTE Identifier[16];
} FILE_ID_128;

typedef struct _FILE_ID_INFO {
    ULONGLONG VolumeSerialNumber;
    FILE_ID_128 FileId;
} FILE_ID_INFO;

typedef enum _FILE_INFO_BY_HANDLE_CLASS { FileIdInfo = 18 } FILE_INFO_BY_HANDLE_CLASS;

typedef union _LARGE_INTEGER {
    long long QuadPart;
} LARGE_INTEGER;

typedef struct _IO_COUNTERS {
    ULONGLONG ReadOperationCount;
    ULONGLONG WriteOperationCount;
    ULONGLONG OtherOperationCount;
    ULONGLONG ReadTransferCount;
    ULONGLONG WriteTransferCount;
    ULONGLONG OtherTransferCount;
} IO_COUNTERS;

typedef struct _JOBOBJECT_BASIC_LIMIT_INFORMATION {
    LARGE_INTEGER PerProcessUserTimeLimit;
    LARGE_INTEGER PerJobUserTimeLimit;
    DWORD LimitFlags;
    SIZE_T MinimumWorkingSetSize;
    SIZE_T MaximumWorkingSetSize;
    DWORD ActiveProcessLimit;
    ULONG_PTR Affinity;
    DWORD PriorityClass;
    DWORD SchedulingClass;
} JOBOBJECT_BASIC_LIMIT_INFORMATION;

typedef struct _JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
    IO_COUNTERS IoInfo;
    SIZE_T ProcessMemoryLimit;
    SIZE_T JobMemoryLimit;
    SIZE_T PeakProcessMemoryUsed;
    SIZE_T PeakJobMemoryUsed;
} JOBOBJECT_EXTENDED_LIMIT_INFORMATION;
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "the record is 144 bytes on Win64");

typedef struct _JOBOBJECT_BASIC_ACCOUNTING_INFORMATION {
    LARGE_INTEGER TotalUserTime;
    LARGE_INTEGER TotalKernelTime;
    LARGE_INTEGER ThisPeriodTotalUserTime;
    LARGE_INTEGER ThisPeriodTotalKernelTime;
    DWORD TotalPageFaultCount;
    DWORD TotalProcesses;
    DWORD ActiveProcesses;
    DWORD TotalTerminatedProcesses;
} JOBOBJECT_BASIC_ACCOUNTING_INFORMATION;
static_assert(sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) == 48, "the record is 48 bytes");

typedef enum _JOBOBJECTINFOCLASS {
    JobObjectBasicAccountingInformation = 1,
    JobObjectExtendedLimitInformation = 9
} JOBOBJECTINFOCLASS;

typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;

typedef struct _ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
} ACE_HEADER;

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    DWORD Mask;
    DWORD SidStart;
} ACCESS_ALLOWED_ACE;

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER;

typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1 } TOKEN_INFORMATION_CLASS;
typedef enum _SE_OBJECT_TYPE { SE_FILE_OBJECT = 1 } SE_OBJECT_TYPE;
typedef enum _SID_NAME_USE {
    SidTypeUser = 1,
    SidTypeGroup,
    SidTypeDomain,
    SidTypeAlias,
    SidTypeWellKnownGroup,
    SidTypeUnknown = 8
} SID_NAME_USE;

typedef DWORD NET_API_STATUS;
typedef struct _LOCALGROUP_USERS_INFO_0 {
    LPWSTR lgrui0_name;
} LOCALGROUP_USERS_INFO_0;
typedef struct _LOCALGROUP_MEMBERS_INFO_0 {
    PSID lgrmi0_sid;
} LOCALGROUP_MEMBERS_INFO_0;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;  // the reparse tag, for a reparse point
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;
typedef enum _FINDEX_INFO_LEVELS { FindExInfoStandard, FindExInfoBasic } FINDEX_INFO_LEVELS;
typedef enum _FINDEX_SEARCH_OPS { FindExSearchNameMatch } FINDEX_SEARCH_OPS;

typedef struct _COORD {
    SHORT X;
    SHORT Y;
} COORD;

// The fields the host reads.
typedef struct _CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
} CONSOLE_SCREEN_BUFFER_INFO;

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD);
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
BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags);
HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
DWORD WINAPI GetLastError();
DWORD WINAPI GetCurrentThreadId();
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
DWORD WINAPI GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD size);
DWORD WINAPI GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD size);
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass, LPVOID information,
                                         DWORD size);
DWORD WINAPI GetFileAttributesW(LPCWSTR fileName);
HANDLE WINAPI FindFirstFileExW(LPCWSTR fileName, FINDEX_INFO_LEVELS infoLevel, LPVOID findData,
                               FINDEX_SEARCH_OPS searchOp, LPVOID searchFilter, DWORD additionalFlags);
BOOL WINAPI FindNextFileW(HANDLE find, WIN32_FIND_DATAW* findData);
BOOL WINAPI FindClose(HANDLE find);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                            DWORD outSize, DWORD* bytesReturned, LPVOID overlapped);
HANDLE WINAPI GetCurrentProcess();
HLOCAL WINAPI LocalFree(HLOCAL memory);
UINT WINAPI GetDriveTypeW(LPCWSTR rootPath);
DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size);
DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR filePath, DWORD size, DWORD flags);
int WINAPI CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second, int secondLength, BOOL ignoreCase);
DWORD WINAPI GetCurrentProcessId();
BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
BOOL WINAPI GetConsoleMode(HANDLE console, DWORD* mode);
BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD unitsToWrite, DWORD* unitsWritten, void* reserved);
HANDLE WINAPI GetStdHandle(DWORD standardHandle);
BOOL WINAPI SetStdHandle(DWORD standardHandle, HANDLE handle);
BOOL WINAPI ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped);
BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* overlapped);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideText, int wideLength, LPSTR multiByteText,
                               int multiByteSize, LPCSTR defaultChar, BOOL* usedDefaultChar);
LPWSTR WINAPI GetCommandLineW();
BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, void* processAttributes, void* threadAttributes,
                           BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                           LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);
HANDLE WINAPI CreateThread(void* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD flags, DWORD* threadId);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
BOOL WINAPI GetExitCodeProcess(HANDLE process, DWORD* exitCode);
DWORD WINAPI ResumeThread(HANDLE thread);
HANDLE WINAPI CreateJobObjectW(void* jobAttributes, LPCWSTR name);
BOOL WINAPI SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS informationClass, LPVOID information, DWORD length);
BOOL WINAPI AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL WINAPI TerminateJobObject(HANDLE job, UINT exitCode);
BOOL WINAPI QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS informationClass, LPVOID information, DWORD length,
                                      DWORD* returnLength);
BOOL WINAPI AllocConsole();
BOOL WINAPI SetConsoleTitleW(LPCWSTR title);
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
BOOL WINAPI GenerateConsoleCtrlEvent(DWORD controlEvent, DWORD processGroupId);
BOOL WINAPI FreeConsole();
BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info);
BOOL WINAPI ReadConsoleOutputCharacterW(HANDLE console, LPWSTR characters, DWORD length, COORD from, DWORD* read);
void WINAPI Sleep(DWORD milliseconds);
ULONGLONG WINAPI GetTickCount64();
void WINAPI OutputDebugStringW(LPCWSTR text);
DWORD WINAPI WTSGetActiveConsoleSessionId();
void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock);
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock);
BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD milliseconds, ULONG flags);
void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE condition);

// user32 and wtsapi32: the host only takes their types; it calls them through
// GetProcAddress, and they fail as misused unless their DLL was loaded.
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
HWINSTA WINAPI GetProcessWindowStation();
BOOL WINAPI GetUserObjectInformationW(HANDLE object, int index, void* information, DWORD length, DWORD* needed);
BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam);
BOOL WINAPI WTSSendMessageW(HANDLE server, DWORD sessionId, LPWSTR title, DWORD titleLength, LPWSTR message,
                            DWORD messageLength, DWORD style, DWORD timeout, DWORD* response, BOOL wait);

// netapi32: like user32, called only through GetProcAddress.
NET_API_STATUS WINAPI NetUserGetLocalGroups(LPCWSTR serverName, LPCWSTR userName, DWORD level, DWORD flags,
                                            LPBYTE* buffer, DWORD preferredLength, DWORD* entriesRead,
                                            DWORD* totalEntries);
NET_API_STATUS WINAPI NetLocalGroupGetMembers(LPCWSTR serverName, LPCWSTR groupName, DWORD level, LPBYTE* buffer,
                                              DWORD preferredLength, DWORD* entriesRead, DWORD* totalEntries,
                                              DWORD_PTR* resumeHandle);
NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer);

// advapi32: security
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                                DWORD length, DWORD* returnLength);
BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, DWORD* nameLength, LPWSTR domainName,
                              DWORD* domainLength, SID_NAME_USE* use);
DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION securityInfo, PSID* owner,
                             PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* securityDescriptor);

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
BOOL WINAPI QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, DWORD* needed);
BOOL WINAPI ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                                 LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies,
                                 LPCWSTR serviceStartName, LPCWSTR password, LPCWSTR displayName);
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL WINAPI DeleteService(SC_HANDLE service);
BOOL WINAPI CloseServiceHandle(SC_HANDLE handle);
BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// The host's entry, as the MinGW and MSVC start-up code call it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand);
