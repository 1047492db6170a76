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

// Lets the compiler check a printf-style function's arguments against its format, as it checks
// printf's own. The format and the first argument are given by position.
#if defined(__MINGW_PRINTF_FORMAT)
#define KESTOMANDREL_PRINTF_FORMAT(formatIndex, firstIndex) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstIndex)))
#elif defined(__GNUC__)
#define KESTOMANDREL_PRINTF_FORMAT(formatIndex, firstIndex) \
    __attribute__((format(printf, formatIndex, firstIndex)))
#else
#define KESTOMANDREL_PRINTF_FORMAT(formatIndex, firstIndex)
#endif

#endif
