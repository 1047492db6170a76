#include <cstdio>

#include "cli/run.h"
#include "platform/platform.h"

namespace {

// Ctrl-C, Ctrl-Break and closing the console end the run at once with STATUS_CONTROL_C_EXIT, as
// Windows' own handler does, but without its way out through the C runtime, which would write
// what the current stage or loop iteration has buffered so far: the output ends on the last whole
// one, and the status says the run was stopped.
BOOL WINAPI EndAtOnce(DWORD) {
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    // Fully buffered output, flushed at the end of each stage: a whole dump leaves in a few writes.
    // On a Windows console the runtimes would otherwise write each printf, or even each character,
    // separately.
    static char outputBuffer[64 * 1024];
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    SetConsoleCtrlHandler(EndAtOnce, TRUE);
    return RunProgram(argc, argv);
}
