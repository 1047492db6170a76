#include "firmware/output.h"

#include <cstdarg>
#include <cstdio>

void PrintText(const char* format, ...) {
    // Room for the longest message: a 255-character name and a sentence.
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length >= 0 && static_cast<size_t>(length) < sizeof text) {
        fwrite(text, 1, static_cast<size_t>(length), stdout);
        return;
    }
    // Longer than any message of the program: formatted straight into stdio instead.
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
}
