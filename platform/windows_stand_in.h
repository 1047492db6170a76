// The Windows services the program uses, as every other platform provides them: the same names,
// types and error codes. Linux backs them with efivarfs and the process's credentials
// (platform/posix), a UEFI application with the firmware's own services (platform/uefi).
#ifndef KESTOMANDREL_PLATFORM_WINDOWS_STAND_IN_H
#define KESTOMANDREL_PLATFORM_WINDOWS_STAND_IN_H

#include <cstdint>

#define WINAPI
#define TRUE 1
#define FALSE 0

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* PVOID;
typedef const char* LPCSTR;
typedef DWORD* PDWORD;
typedef unsigned int UINT;
typedef BOOL (*PHANDLER_ROUTINE)(DWORD dwCtrlType);

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
typedef LUID* PLUID;

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
typedef TOKEN_PRIVILEGES* PTOKEN_PRIVILEGES;

static_assert(sizeof(TOKEN_PRIVILEGES) == 16,
              "a one-entry privilege set is 16 bytes, as on Windows");

#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_WRITE_PROTECT 19
#define ERROR_GEN_FAILURE 31
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ENVVAR_NOT_FOUND 203
#define ERROR_NOT_ALL_ASSIGNED 1300
#define ERROR_NO_SUCH_PRIVILEGE 1313
#define ERROR_PRIVILEGE_NOT_HELD 1314
#define ERROR_NO_SYSTEM_RESOURCES 1450

#define STATUS_CONTROL_C_EXIT 0xC000013Au
#define CTRL_C_EVENT 0

#define SE_PRIVILEGE_ENABLED 0x00000002
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define READ_CONTROL 0x00020000
#define STANDARD_RIGHTS_READ READ_CONTROL
#define TOKEN_READ (STANDARD_RIGHTS_READ | TOKEN_QUERY)

DWORD GetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pBuffer, DWORD nSize);
BOOL SetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pValue, DWORD nSize);
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
void Sleep(DWORD dwMilliseconds);
// Linux has no console control events: Ctrl-C is SIGINT, whose default action already ends the
// process without writing what stdio still holds, so the handler is accepted and never called. In
// the UEFI Shell, the Shell's Ctrl-C calls it with CTRL_C_EVENT at the next pause.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
// For the calling process (GetCurrentProcess()): ends it at once, nothing flushed. Linux gives the
// code's low byte as the process's status; the UEFI Shell the whole code as %lasterror%.
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);

#endif
