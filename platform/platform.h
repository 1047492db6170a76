// The operating system's firmware-variable and token services, under their Windows names and types.
// The rest of the program includes only this header; which operating system is underneath is known
// here and nowhere else.
#ifndef KESTOMANDREL_PLATFORM_PLATFORM_H
#define KESTOMANDREL_PLATFORM_PLATFORM_H

#ifdef _WIN32
#include "platform/windows/windows_api.h"
#else
#include "platform/posix/windows_api.h"
#endif

#endif
