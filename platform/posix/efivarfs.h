// Firmware variables as efivarfs files, in a directory given by the caller.
#ifndef KESTOMANDREL_PLATFORM_POSIX_EFIVARFS_H
#define KESTOMANDREL_PLATFORM_POSIX_EFIVARFS_H

#include <cstddef>

#include "platform/posix/efivarfs_name.h"
#include "platform/windows_stand_in.h"

// The Windows error code for an errno from efivarfs.
DWORD EfivarfsError(int error);

// GetFirmwareEnvironmentVariableA and SetFirmwareEnvironmentVariableA over the directory.
DWORD EfivarfsGetVariable(const char* directory, LPCSTR name, LPCSTR guid, PVOID buffer,
                          DWORD capacity);
BOOL EfivarfsSetVariable(const char* directory, LPCSTR name, LPCSTR guid, const void* data,
                         DWORD size);

#endif
