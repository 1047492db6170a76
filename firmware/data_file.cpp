#include "firmware/data_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "firmware/dump.h"

namespace {

// The file's size, or -1 when it cannot be measured. A failed seek must not pass for an empty
// file (a pipe, a device, a /proc file): a set of 0 bytes deletes the variable. A size beyond a
// signed 32-bit count is unmeasurable too, rather than wrapping into a small one.
int32_t MeasureFile(FILE* file) {
    if (fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    long end = ftell(file);
    if (end < 0 || end > static_cast<long>(INT32_MAX)) {
        return -1;
    }
    if (fseek(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return static_cast<int32_t>(end);
}

}  // namespace

bool LoadDataFile(VariableRequest* request) {
    request->source = SetSource::File;
    FILE* file = fopen(request->fileName, "rb");
    if (file == nullptr) {
        fputs("\nError in opening the file", stdout);
        return false;
    }

    int32_t size = MeasureFile(file);
    // An empty file still gets a real block: the set is then made with a valid pointer and size 0.
    uint8_t* block = nullptr;
    if (size >= 0) {
        block = static_cast<uint8_t*>(malloc(size > 0 ? static_cast<size_t>(size) : 1));
    }
    if (block == nullptr) {
        fclose(file);
        fputs("\nError in allocating memory for input data", stdout);
        return false;
    }

    size_t got = size > 0 ? fread(block, 1, static_cast<size_t>(size), file) : 0;
    // The file must yield exactly its measured size. Less (it shrank, or its size is only nominal,
    // as in sysfs) would write uninitialised heap; more (a /proc file measures as empty) would
    // write a truncated value, or, at size 0, delete the variable.
    bool exact = got == static_cast<size_t>(size) && fgetc(file) == EOF;
    fclose(file);
    if (!exact) {
        free(block);
        fputs("\nError in reading the file", stdout);
        return false;
    }

    request->fileData = block;
    request->fileSize = size;
    EchoFileBytes(block, size);
    return true;
}
