#include "firmware/test_loop.h"

#include <cstdio>

#include "firmware/output.h"
#include "firmware/variables.h"
#include "platform/platform.h"

namespace {
constexpr unsigned kReadBackSize = 256;
constexpr DWORD kPauseMilliseconds = 50;
}  // namespace

void RunTestLoop(const VariableRequest& request) {
    uint8_t written[4];
    uint8_t readBack[kReadBackSize];
    // The request's GUID is not used: the loop always works under the global-variable GUID.
    for (uint32_t counter = 0;; ++counter) {
        written[0] = static_cast<uint8_t>(counter);
        written[1] = static_cast<uint8_t>(counter >> 8);
        written[2] = static_cast<uint8_t>(counter >> 16);
        written[3] = static_cast<uint8_t>(counter >> 24);

        if (!SetFirmwareEnvironmentVariableA(request.name, kGlobalVariableGuid, written,
                                             sizeof written)) {
            PrintText(
                "\nSetFirmwareEnvironment Function calls set failed at count : %d. Error Code : "
                "0x%x",
                static_cast<int>(static_cast<int32_t>(counter)),
                static_cast<unsigned>(GetLastError()));
            return;
        }
        PrintText("\n%s Set successfully...!!!", request.name);

        DWORD length = GetFirmwareEnvironmentVariableA(request.name, kGlobalVariableGuid, readBack,
                                                       kReadBackSize);
        if (length == 0) {
            PrintText(
                "\nGetFirmwareEnvironment Function calls failed @ count : %d.Error Code : 0x%x",
                static_cast<int>(static_cast<int32_t>(counter)),
                static_cast<unsigned>(GetLastError()));
            return;
        }
        PrintVariable(readBack, kReadBackSize, length);

        // The loop only ends when a call fails or the process is stopped from outside: each
        // iteration goes out before the pause, so a stopped run's log ends on a whole iteration.
        fflush(stdout);
        Sleep(kPauseMilliseconds);
    }
}
