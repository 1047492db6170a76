// The Windows services on Linux: firmware variables through efivarfs, the privilege through the
// process's credentials.
#include "platform/windows_stand_in.h"

#include <errno.h>
#include <linux/capability.h>
#include <strings.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "platform/posix/efivarfs.h"

#ifndef KESTOMANDREL_EFIVARS_DIR
#define KESTOMANDREL_EFIVARS_DIR "/sys/firmware/efi/efivars"
#endif

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// The LUID Windows gives SeSystemEnvironmentPrivilege.
constexpr DWORD kSystemEnvironmentLuid = 22;

// Changing firmware variables takes root, or CAP_SYS_ADMIN in the effective set.
bool MayChangeFirmwareVariables() {
    if (geteuid() == 0) {
        return true;
    }
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

}  // namespace

DWORD GetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pBuffer, DWORD nSize) {
    return EfivarfsGetVariable(KESTOMANDREL_EFIVARS_DIR, lpName, lpGuid, pBuffer, nSize);
}

BOOL SetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pValue, DWORD nSize) {
    return EfivarfsSetVariable(KESTOMANDREL_EFIVARS_DIR, lpName, lpGuid, pValue, nSize);
}

HANDLE GetCurrentProcess() {
    // Windows' pseudo-handle for the calling process.
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE, DWORD, PHANDLE TokenHandle) {
    static int processToken;
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *TokenHandle = &processToken;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR, LPCSTR lpName, PLUID lpLuid) {
    if (lpName == nullptr || lpLuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Privilege names are not case-sensitive on Windows.
    if (strcasecmp(lpName, "SeSystemEnvironmentPrivilege") != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = kSystemEnvironmentLuid;
    lpLuid->HighPart = 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL, PTOKEN_PRIVILEGES NewState, DWORD,
                           PTOKEN_PRIVILEGES, PDWORD) {
    if (TokenHandle == nullptr || NewState == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // As on Windows, the call succeeds either way and the last error says whether the privilege
    // was there to enable.
    SetLastError(MayChangeFirmwareVariables() ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE, BOOL) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (hProcess != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    _exit(static_cast<int>(uExitCode & 0xFF));
}

void Sleep(DWORD dwMilliseconds) {
    timespec pause = {static_cast<time_t>(dwMilliseconds / 1000),
                      static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}
