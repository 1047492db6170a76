// The get and set commands.
#ifndef KESTOMANDREL_FIRMWARE_VARIABLES_H
#define KESTOMANDREL_FIRMWARE_VARIABLES_H

#include "firmware/request.h"

// The largest variable content a get can show.
constexpr unsigned kGetBufferSize = 4096;

// Reads the variable and prints its length and dump, or the failure with the platform's code.
void RunGet(const VariableRequest& request);

// Writes the inline bytes or the file's bytes; a count of 0 deletes the variable. Frees the file's
// block right after the call.
void RunSet(VariableRequest* request);

// Prints the length line and the dump of what a get returned. The dump never reaches past the
// buffer, whatever length the platform reports.
void PrintVariable(const uint8_t* buffer, unsigned capacity, unsigned length);

#endif
