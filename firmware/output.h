// Formatted console text.
#ifndef KESTOMANDREL_FIRMWARE_OUTPUT_H
#define KESTOMANDREL_FIRMWARE_OUTPUT_H

#include "platform/platform.h"

// printf, with the message handed to stdio whole. MinGW-w64's printf hands stdio one character at
// a time, and Wine's C runtime writes out its buffer at each line break handed to it that way: a
// stage's text would leave in pieces, and a run stopped between two pieces would end on half a
// stage. Whole messages stay in the buffer until the stage's own flush.
void PrintText(const char* format, ...) KESTOMANDREL_PRINTF_FORMAT(1, 2);

#endif
