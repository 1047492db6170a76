#include "cli/command_line.h"

#include <cstdio>
#include <cstring>

#include "firmware/data_file.h"
#include "firmware/output.h"

namespace {

// In the option lines every description starts at column 26.
const char kUsage[] =
    "\nUsage:\n"
    "This applicaiton uses Windows APIs to read or Write EFI Run Time Variables.\n"
    "Read and write are both optional. All numerical data are in hexadecimal base, Ox prefix is "
    "not required.\n"
    "\n"
    "Kestomandrel [/g <variablename>] [/s <variablename> {<No.of Bytes> < Input Data >} | "
    "{/f <filename>}\n"
    "\n"
    "/g                       To get the EFI Runtime variable details.\n"
    "   <variablename>        Run time EFI variable name.\n"
    "   <GUID Value>          GUID value in this format "
    "\"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\".\n"
    "/s                       To set the EFI Runtime variable details.\n"
    "   <variablename>        Run time EFI variable name.\n"
    "   <GUID Value>          GUID value in this format "
    "\"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\".\n"
    "   /f <filename>         Switch to specify the binary file as input data.\n"
    "   <No. Of Bytes>        Number of bytes of data in hex.\n"
    "   <Input Data>          Input Data in hex separated by space after each byte.\n";

const char kDefaultTestVariable[] = "TestVariable";

// Each error is its message followed by the usage screen; the run then ends with exit code 0.
bool FailWithUsage(const char* message) {
    fputs(message, stdout);
    PrintUsage();
    return false;
}

bool FailArgumentCount() {
    return FailWithUsage("\nError : Invalid number of command line arguments");
}

// Copies an argument into one of the request's 256-byte texts. A longer argument is refused
// rather than cut: a shortened name would read or write a different variable.
bool CopyArgument(char* destination, const char* argument) {
    size_t length = strlen(argument);
    if (length > kMaxTextLength) {
        return FailWithUsage("\nError : Argument exceeds 255 characters");
    }
    memcpy(destination, argument, length + 1);
    return true;
}

bool ParseSetData(int argc, char** argv, int next, VariableRequest* request) {
    if (strcmp(argv[next], "/f") == 0) {
        if (next + 1 >= argc) {
            return FailArgumentCount();
        }
        if (!CopyArgument(request->fileName, argv[next + 1])) {
            return false;
        }
        // Anything after the file name is ignored.
        return LoadDataFile(request);
    }

    request->source = SetSource::Inline;
    request->count = ParseHexByte(argv[next]);
    PrintText("\nNumber of Bytes : %x", static_cast<unsigned>(request->count));
    if (static_cast<uint32_t>(argc) != request->count + 5) {
        return FailWithUsage("\nError : Invalid Number of Bytes given as input");
    }
    for (uint32_t i = 0; i < request->count; ++i) {
        request->data[i] = ParseHexByte(argv[next + 1 + i]);
    }
    return true;
}

}  // namespace

void InitRequest(VariableRequest* request) {
    *request = VariableRequest();
    memcpy(request->guid, kGlobalVariableGuid, sizeof kGlobalVariableGuid);
}

uint8_t ParseHexByte(const char* text) {
    uint8_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c >= '0' && *c <= '9') {
            value = static_cast<uint8_t>(value * 16 + (*c - '0'));
        } else if (*c >= 'A' && *c <= 'F') {
            value = static_cast<uint8_t>(value * 16 + (*c - 'A' + 10));
        } else if (*c >= 'a' && *c <= 'f') {
            value = static_cast<uint8_t>(value * 16 + (*c - 'a' + 10));
        }
    }
    return value;
}

void PrintUsage() {
    fputs(kUsage, stdout);
}

bool ParseCommandLine(int argc, char** argv, VariableRequest* request) {
    // Switches are case-sensitive: /G is not /g.
    if (argc >= 3 && strcmp(argv[1], "/t") != 0) {
        if (strcmp(argv[1], "/g") == 0) {
            if (argc > 4) {
                return FailArgumentCount();
            }
            request->mode = RequestMode::Get;
        } else if (strcmp(argv[1], "/s") == 0) {
            // A set needs at least a name, a GUID and a count or /f.
            if (argc < 5) {
                return FailArgumentCount();
            }
            request->mode = RequestMode::Set;
        } else {
            return FailWithUsage("\nError : Invalid Usage");
        }
    } else {
        if (strcmp(argv[1], "/t") != 0 || argc > 3) {
            return FailArgumentCount();
        }
        request->mode = RequestMode::Test;
        return CopyArgument(request->name, argc == 3 ? argv[2] : kDefaultTestVariable);
    }

    if (!CopyArgument(request->name, argv[2])) {
        return false;
    }
    PrintText("\nVariable Name : %s", request->name);

    int next = 3;
    if (argc >= 4) {
        memset(request->guid, 0, sizeof request->guid);
        if (!CopyArgument(request->guid, argv[3])) {
            return false;
        }
        PrintText("\nGUID Value : %s", request->guid);
        next = 4;
    }

    if (request->mode == RequestMode::Get) {
        return true;
    }
    return ParseSetData(argc, argv, next, request);
}
