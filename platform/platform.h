// The operating system's firmware-variable and token services, under their Windows names and types.
// The rest of the program includes only this header; which operating system is underneath is known
// here and nowhere else.
#ifndef KESTOMANDREL_PLATFORM_PLATFORM_H
#define KESTOMANDREL_PLATFORM_PLATFORM_H

// A UEFI application is built for a Windows target (PE/COFF, the Microsoft calling convention), so
// its build says so explicitly: it has the firmware's services, not Windows'.
#if defined(_WIN32) && !defined(KESTOMANDREL_UEFI)
#include "platform/windows/windows_api.h"
#else
#include "platform/windows_stand_in.h"
#endif

// Lets the compiler check a printf-style function's arguments against its format, as it checks
// printf's own. The format and the first argument are given by position.
#if defined(__MINGW_PRINTF_FORMAT)
#define KESTOMANDREL_PRINTF_FORMAT(formatIndex, firstIndex) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstIndex)))
#elif defined(__GNUC__) || defined(__clang__)
#define KESTOMANDREL_PRINTF_FORMAT(formatIndex, firstIndex) \
    __attribute__((format(printf, formatIndex, firstIndex)))
#else
#define KESTOMANDREL_PRINTF_FORMAT(formatIndex, firstIndex)
#endif

#endif
