// Firmware variables as efivarfs files, in a directory given by the caller.
#ifndef KESTOMANDREL_PLATFORM_POSIX_EFIVARFS_H
#define KESTOMANDREL_PLATFORM_POSIX_EFIVARFS_H

#include <cstddef>

#include "platform/posix/windows_api.h"

// The file name of a variable, "<name>-<guid>" with the GUID in lower case and without braces.
// Returns false when the name or the GUID text is not acceptable.
bool EfivarfsFileName(LPCSTR name, LPCSTR guid, char* out, size_t outSize);

// The Windows error code for an errno from efivarfs.
DWORD EfivarfsError(int error);

// GetFirmwareEnvironmentVariableA and SetFirmwareEnvironmentVariableA over the directory.
DWORD EfivarfsGetVariable(const char* directory, LPCSTR name, LPCSTR guid, PVOID buffer,
                          DWORD capacity);
BOOL EfivarfsSetVariable(const char* directory, LPCSTR name, LPCSTR guid, const void* data,
                         DWORD size);

#endif
