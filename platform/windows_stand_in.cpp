// The part of the Windows services that is the same wherever they are stood in for: the calling
// process and its token, which only carry the privilege stage's calls to AdjustTokenPrivileges,
// where each platform decides.
#include "platform/windows_stand_in.h"

#include <cstdint>

namespace {

// The LUID Windows gives SeSystemEnvironmentPrivilege.
constexpr DWORD kSystemEnvironmentLuid = 22;

// Privilege names are not case-sensitive on Windows.
bool SameName(const char* name, const char* expected) {
    for (; *name != '\0' && *expected != '\0'; ++name, ++expected) {
        char a = (*name >= 'A' && *name <= 'Z') ? static_cast<char>(*name - 'A' + 'a') : *name;
        char b = (*expected >= 'A' && *expected <= 'Z') ? static_cast<char>(*expected - 'A' + 'a')
                                                        : *expected;
        if (a != b) {
            return false;
        }
    }
    return *name == *expected;
}

}  // namespace

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
    if (!SameName(lpName, "SeSystemEnvironmentPrivilege")) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = kSystemEnvironmentLuid;
    lpLuid->HighPart = 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
