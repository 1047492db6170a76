// The UEFI application's text conversions: the program's 8-bit text to the firmware's CHAR16 and
// back. Plain C++ with no firmware header, so that the host's tests check them.
#ifndef KESTOMANDREL_PLATFORM_UEFI_TEXT_H
#define KESTOMANDREL_PLATFORM_UEFI_TEXT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Where console text goes, one piece at a time. Each piece is terminated (text[length] is 0), as
// the console's OutputString reads it; a NUL byte of the output comes as a piece of its own, one
// CHAR16 0 long, since no terminated string can carry it.
struct ConsoleSink {
    void (*write)(void* context, const char16_t* text, size_t length);
    void* context;
};

// Writes the program's bytes to the console: each byte as the CHAR16 of the same value (Latin-1, as
// the OS builds' 8-bit text reads in a Western code page), and each line break as CR LF, which a
// UEFI console needs to start a new line.
void WriteConsoleBytes(const char* bytes, size_t size, ConsoleSink sink);

// A command-line argument in the program's 8-bit text: CHAR16s above 0xFF become '?', as Windows'
// ANSI functions turn characters their code page lacks. Returns the length, which out holds whole
// when it is below outSize.
size_t NarrowText(const char16_t* text, char* out, size_t outSize);

// A variable name for the firmware: each byte widened. out has room for outSize CHAR16s, the
// terminator included; returns false when the name does not fit.
bool WidenText(const char* text, char16_t* out, size_t outSize);

// The firmware's form of a braced GUID text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits in
// either case), in EFI_GUID's byte order. False for any other text, which the firmware calls
// refuse with ERROR_INVALID_PARAMETER, as the Linux build does.
bool ParseGuidText(const char* text, uint8_t guid[16]);

// vsnprintf's formatting for the conversions the program uses: %d %i %u %x %X %c %s %p %%, with
// flags - 0 +, a width, a precision, and the length modifiers hh h l ll z j t.
int FormatText(char* out, size_t outSize, const char* format, va_list arguments);

#endif
