// The write-read loop that exercises the firmware's variable store.
#ifndef KESTOMANDREL_FIRMWARE_TEST_LOOP_H
#define KESTOMANDREL_FIRMWARE_TEST_LOOP_H

#include "firmware/request.h"

// Writes a 4-byte counter into the named variable under the global-variable GUID, reads it back and
// dumps it, pauses 50 ms, and goes on with the next counter until a firmware call fails.
void RunTestLoop(const VariableRequest& request);

#endif
