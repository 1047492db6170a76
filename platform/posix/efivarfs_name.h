// The file name efivarfs gives a variable. Plain C++ with no system header, so that anything
// keeping variables in efivarfs layout (the Linux stand-in, the Windows test store) names and
// refuses them by the same rules.
#ifndef KESTOMANDREL_PLATFORM_POSIX_EFIVARFS_NAME_H
#define KESTOMANDREL_PLATFORM_POSIX_EFIVARFS_NAME_H

#include <cstddef>

// The file name of a variable, "<name>-<guid>" with the GUID in lower case and without braces.
// Returns false when the name or the GUID text is not acceptable: the GUID must be braced, and
// the name non-empty, without "/", and short enough for a 255-byte file name.
bool EfivarfsFileName(const char* name, const char* guid, char* out, size_t outSize);

#endif
