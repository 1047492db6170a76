#include <cstdio>

#include "cli/run.h"

int main(int argc, char** argv) {
    // Fully buffered output, flushed at the end of each stage: a whole dump leaves in a few writes.
    // On a Windows console the runtimes would otherwise write each printf, or even each character,
    // separately.
    static char outputBuffer[64 * 1024];
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    return RunProgram(argc, argv);
}
