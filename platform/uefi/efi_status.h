// What the UEFI application reports for the firmware's answers. Plain C++ with no firmware header,
// so that the host's tests check the same tables.
#ifndef KESTOMANDREL_PLATFORM_UEFI_EFI_STATUS_H
#define KESTOMANDREL_PLATFORM_UEFI_EFI_STATUS_H

#include <cstdint>

#include "platform/windows_stand_in.h"

// EFI_STATUS on the 64-bit firmwares the application is built for: errors have the top bit set.
constexpr uint64_t kEfiErrorBit = 1ull << 63;
constexpr uint64_t kEfiSuccess = 0;
constexpr uint64_t kEfiInvalidParameter = kEfiErrorBit | 2;
constexpr uint64_t kEfiUnsupported = kEfiErrorBit | 3;
constexpr uint64_t kEfiBufferTooSmall = kEfiErrorBit | 5;
constexpr uint64_t kEfiDeviceError = kEfiErrorBit | 7;
constexpr uint64_t kEfiWriteProtected = kEfiErrorBit | 8;
constexpr uint64_t kEfiOutOfResources = kEfiErrorBit | 9;
constexpr uint64_t kEfiNotFound = kEfiErrorBit | 14;
constexpr uint64_t kEfiAccessDenied = kEfiErrorBit | 15;
constexpr uint64_t kEfiAborted = kEfiErrorBit | 21;
constexpr uint64_t kEfiSecurityViolation = kEfiErrorBit | 26;

// The Windows error code for a failed GetVariable or SetVariable: the one the Linux build prints
// for the same answer, which reaches it as an errno from efivarfs. A buffer too small is the code
// that both other builds give a variable larger than their buffer.
DWORD WindowsErrorForEfiStatus(uint64_t status);

// The status the application returns for the program's exit code, which the Shell shows as
// %lasterror%: the code itself, sign-extended as a UEFI INTN (0x0, 0x1, and 0xFFFFFFFFFFFFFFFF for
// -1). A run stopped with Ctrl-C ends with TerminateProcess's unsigned STATUS_CONTROL_C_EXIT as it
// stands, 0xC000013A, as on Windows.
uint64_t EfiStatusForExitCode(int code);

#endif
