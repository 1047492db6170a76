// The parsed command line: one request per run. The command line fills it and the firmware
// commands read it, so it sits beside them, below the command-line code.
#ifndef KESTOMANDREL_FIRMWARE_REQUEST_H
#define KESTOMANDREL_FIRMWARE_REQUEST_H

#include <cstddef>
#include <cstdint>

// Every text of the request holds at most 255 characters and its terminator.
constexpr size_t kTextSize = 256;
constexpr size_t kMaxTextLength = kTextSize - 1;
constexpr size_t kMaxInlineBytes = 255;

// The UEFI global-variable vendor GUID (EFI_GLOBAL_VARIABLE).
constexpr char kGlobalVariableGuid[] = "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}";

enum class RequestMode { Get, Set, Test };
enum class SetSource { Inline, File };

struct VariableRequest {
    RequestMode mode = RequestMode::Get;
    char name[kTextSize] = {};
    char guid[kTextSize] = {};
    SetSource source = SetSource::Inline;
    uint32_t count = 0;
    uint8_t data[kMaxInlineBytes] = {};
    char fileName[kTextSize] = {};
    uint8_t* fileData = nullptr;  // owned from LoadDataFile until RunSet frees it
    int32_t fileSize = 0;
};

#endif
