// Variable contents as console text.
#ifndef KESTOMANDREL_FIRMWARE_DUMP_H
#define KESTOMANDREL_FIRMWARE_DUMP_H

#include <cstdint>

// The two-view dump: 16 bytes a line as upper-case hex, then as the raw characters themselves.
// A length of 0 or less prints the two headings and the final line break only.
void DumpBytes(const uint8_t* data, int32_t length);

// The data file's echo: 16 bytes a line as lower-case hex, no heading, no final line break.
void EchoFileBytes(const uint8_t* data, int32_t length);

#endif
