// The Windows services on Linux: firmware variables through efivarfs, the privilege through the
// process's credentials.
#include "platform/windows_stand_in.h"

#include <errno.h>
#include <linux/capability.h>
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
