#include "platform/uefi/efi_status.h"

DWORD WindowsErrorForEfiStatus(uint64_t status) {
    // Linux turns the status into an errno (efi_status_to_err) and the Linux build that errno into
    // a Windows code: the two steps are folded into one here.
    switch (status) {
        case kEfiSuccess:
            return ERROR_SUCCESS;
        case kEfiNotFound:
            return ERROR_ENVVAR_NOT_FOUND;
        case kEfiOutOfResources:
            return ERROR_NO_SYSTEM_RESOURCES;
        case kEfiDeviceError:
        case kEfiAborted:  // EINTR, which the Linux build reports as a general failure
            return ERROR_GEN_FAILURE;
        case kEfiWriteProtected:
            return ERROR_WRITE_PROTECT;
        case kEfiSecurityViolation:
            return ERROR_ACCESS_DENIED;
        case kEfiBufferTooSmall:
            return ERROR_INSUFFICIENT_BUFFER;
        default:
            // EFI_INVALID_PARAMETER, and every status Linux has no errno of its own for
            // (EFI_UNSUPPORTED, EFI_ACCESS_DENIED, ...): EINVAL.
            return ERROR_INVALID_PARAMETER;
    }
}

uint64_t EfiStatusForExitCode(int code) {
    return static_cast<uint64_t>(static_cast<int64_t>(code));
}
