// The Windows services for a UEFI application: firmware variables through the runtime services,
// which the Shell calls at boot time; a privilege that needs nothing enabled; Sleep as a stall that
// watches for the Shell's Ctrl-C.
#include "platform/windows_stand_in.h"

#include <cstring>

#include "platform/uefi/efi.h"
#include "platform/uefi/efi_status.h"
#include "platform/uefi/text.h"

namespace {

DWORD lastError = ERROR_SUCCESS;
PHANDLER_ROUTINE controlHandler = nullptr;

// Non-volatile, boot-service and runtime access: what Windows and Linux give a variable they write.
constexpr uint32_t kAttributes = 0x7;
// A name of the request (255 characters) and its terminator.
constexpr size_t kNameLength = 256;
// Stalls between two looks at Ctrl-C.
constexpr DWORD kBreakCheckMilliseconds = 10;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The firmware's name and GUID for the program's texts, or false with the last error set.
bool FirmwareName(LPCSTR name, LPCSTR guid, char16_t* wide, EFI_GUID* binary) {
    if (name == nullptr || guid == nullptr || !WidenText(name, wide, kNameLength)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    uint8_t bytes[16];
    if (!ParseGuidText(guid, bytes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    memcpy(binary, bytes, sizeof bytes);
    return true;
}

bool BreakRequested() {
    return gEfi.shell != nullptr && gEfi.shell->ExecutionBreak != nullptr &&
           gEfi.system->BootServices->CheckEvent(gEfi.shell->ExecutionBreak) == 0;
}

}  // namespace

DWORD GetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pBuffer, DWORD nSize) {
    char16_t name[kNameLength];
    EFI_GUID guid;
    if (!FirmwareName(lpName, lpGuid, name, &guid)) {
        return 0;
    }
    if (pBuffer == nullptr && nSize > 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // The attributes are not asked for: a variable without runtime access is read as the Shell
    // sees it, at boot time.
    UINTN size = nSize;
    EFI_STATUS status =
        gEfi.system->RuntimeServices->GetVariable(name, &guid, nullptr, &size, pBuffer);
    if (status != kEfiSuccess) {
        return Fail(WindowsErrorForEfiStatus(status));
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL SetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pValue, DWORD nSize) {
    char16_t name[kNameLength];
    EFI_GUID guid;
    if (!FirmwareName(lpName, lpGuid, name, &guid)) {
        return FALSE;
    }
    if (pValue == nullptr && nSize > 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Size 0 deletes the variable. Attributes 0 delete it whatever attributes it has, as Linux's
    // efivarfs does; 7 would be refused for a variable created with others.
    uint32_t attributes = nSize == 0 ? 0 : kAttributes;
    EFI_STATUS status =
        gEfi.system->RuntimeServices->SetVariable(name, &guid, attributes, nSize, pValue);
    if (status != kEfiSuccess) {
        return Fail(WindowsErrorForEfiStatus(status));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL, PTOKEN_PRIVILEGES NewState, DWORD,
                           PTOKEN_PRIVILEGES, PDWORD) {
    if (TokenHandle == nullptr || NewState == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Before an OS, whatever runs may call the variable services: there is nothing to enable.
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    controlHandler = Add ? HandlerRoutine : nullptr;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (hProcess != GetCurrentProcess()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    gEfi.system->BootServices->Exit(gEfi.image, uExitCode, 0, nullptr);
    return FALSE;  // Exit does not return for a started image
}

// The Shell signals Ctrl-C through an event and stops nothing by itself: the pause, which the loop
// takes after each whole iteration, is where the program looks at it and ends the way a console
// control event ends it on Windows.
void Sleep(DWORD dwMilliseconds) {
    DWORD left = dwMilliseconds;
    for (;;) {
        if (controlHandler != nullptr && BreakRequested()) {
            controlHandler(CTRL_C_EVENT);
        }
        if (left == 0) {
            return;
        }
        DWORD step = left < kBreakCheckMilliseconds ? left : kBreakCheckMilliseconds;
        gEfi.system->BootServices->Stall(static_cast<UINTN>(step) * 1000);
        left -= step;
    }
}
