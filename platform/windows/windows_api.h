// On Windows the services are the system's own.
#ifndef KESTOMANDREL_PLATFORM_WINDOWS_WINDOWS_API_H
#define KESTOMANDREL_PLATFORM_WINDOWS_WINDOWS_API_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#ifdef KESTOMANDREL_TEST_PLATFORM
// The unit tests link an in-memory platform in place of the system's. <windows.h> declares these
// functions as imports from KERNEL32 and ADVAPI32, which cannot be defined a second time, so in a
// test build the program's calls are renamed to the test platform's functions.
#define GetFirmwareEnvironmentVariableA TestGetFirmwareEnvironmentVariableA
#define SetFirmwareEnvironmentVariableA TestSetFirmwareEnvironmentVariableA
#define GetCurrentProcess TestGetCurrentProcess
#define OpenProcessToken TestOpenProcessToken
#define LookupPrivilegeValueA TestLookupPrivilegeValueA
#define AdjustTokenPrivileges TestAdjustTokenPrivileges
#define GetLastError TestGetLastError
#define SetLastError TestSetLastError
#define Sleep TestSleep

DWORD TestGetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pBuffer, DWORD nSize);
BOOL TestSetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pValue, DWORD nSize);
HANDLE TestGetCurrentProcess(void);
BOOL TestOpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL TestLookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
BOOL TestAdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                               PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                               PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
DWORD TestGetLastError(void);
void TestSetLastError(DWORD dwErrCode);
void TestSleep(DWORD dwMilliseconds);
#endif

#endif
