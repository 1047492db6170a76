#include "firmware/variables.h"

#include <cstdio>
#include <cstdlib>

#include "firmware/dump.h"
#include "firmware/output.h"
#include "platform/platform.h"

void PrintVariable(const uint8_t* buffer, unsigned capacity, unsigned length) {
    PrintText("\nLength : %ld(0x%lx) bytes", static_cast<long>(length),
              static_cast<unsigned long>(length));
    DumpBytes(buffer, static_cast<int32_t>(length < capacity ? length : capacity));
}

void RunGet(const VariableRequest& request) {
    uint8_t buffer[kGetBufferSize];
    DWORD length =
        GetFirmwareEnvironmentVariableA(request.name, request.guid, buffer, kGetBufferSize);
    if (length == 0) {
        PrintText("\nGetFirmwareEnvironment Function calls failed.Error Code : 0x%x",
                  static_cast<unsigned>(GetLastError()));
        return;
    }
    PrintVariable(buffer, kGetBufferSize, length);
}

void RunSet(VariableRequest* request) {
    BOOL written;
    if (request->source == SetSource::File) {
        written = SetFirmwareEnvironmentVariableA(request->name, request->guid, request->fileData,
                                                  static_cast<DWORD>(request->fileSize));
        free(request->fileData);
        request->fileData = nullptr;
    } else if (request->count > 0) {
        written = SetFirmwareEnvironmentVariableA(request->name, request->guid, request->data,
                                                  request->count);
    } else {
        // No data and size 0: the platform deletes the variable.
        written = SetFirmwareEnvironmentVariableA(request->name, request->guid, nullptr, 0);
    }

    if (written) {
        fputs("\nVariable Set successfully...!!!", stdout);
    } else {
        PrintText("\nSetFirmwareEnvironment Function call failed. Error Code : 0x%x",
                  static_cast<unsigned>(GetLastError()));
    }
}
