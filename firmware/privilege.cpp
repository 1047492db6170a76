#include "firmware/privilege.h"

#include <cstdio>

#include "firmware/output.h"

bool EnableFirmwarePrivilege(HANDLE token) {
    LUID luid;
    if (!LookupPrivilegeValueA(nullptr, "SeSystemEnvironmentPrivilege", &luid)) {
        PrintText("\nLookupPrivilegeValue error: %u", static_cast<unsigned>(GetLastError()));
        return false;
    }

    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(TOKEN_PRIVILEGES), nullptr,
                               nullptr)) {
        PrintText("\nAdjustTokenPrivileges error: %u", static_cast<unsigned>(GetLastError()));
        return false;
    }

    // AdjustTokenPrivileges succeeds even when the token lacks the privilege; only the last error
    // tells.
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        fputs("\nThe token does not have the specified privilege.", stdout);
        return false;
    }
    return true;
}

bool RunPrivilegeStage() {
    // The handle is kept until the process ends.
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_READ, &token)) {
        PrintText("\nError: Couldn't open the process token.Error Code : 0x%x",
                  static_cast<unsigned>(GetLastError()));
        return false;
    }
    if (!EnableFirmwarePrivilege(token)) {
        PrintText("\nError : Not able to set the Privilege for this process.Error Code : 0x%x",
                  static_cast<unsigned>(GetLastError()));
        return false;
    }
    return true;
}
