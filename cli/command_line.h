// Turning the argument vector into a request.
#ifndef KESTOMANDREL_CLI_COMMAND_LINE_H
#define KESTOMANDREL_CLI_COMMAND_LINE_H

#include <cstdint>

#include "firmware/request.h"

// One argument text to one byte: hexadecimal digits of either case shift in, anything else is
// skipped, and only the last two digits count.
uint8_t ParseHexByte(const char* text);

void PrintUsage();

// A request as the run starts: no name yet, the global-variable GUID.
void InitRequest(VariableRequest* request);

// Fills the request from argv (argc counts the program's name) and echoes what it takes. Returns
// false when the run is to end here with exit code 0, after printing why.
bool ParseCommandLine(int argc, char** argv, VariableRequest* request);

#endif
