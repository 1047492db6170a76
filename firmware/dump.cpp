#include "firmware/dump.h"

#include <cstddef>
#include <cstdio>

namespace {

// A dump is built in this block and handed to stdio in large pieces: one printf per byte would cost
// thousands of calls for a 4096-byte variable, and the text is the same.
struct TextBlock {
    char text[4096];
    size_t used;
};

void Flush(TextBlock* block) {
    fwrite(block->text, 1, block->used, stdout);
    block->used = 0;
}

// Every append is at most a few characters; keep room for the longest.
void MakeRoom(TextBlock* block) {
    if (block->used > sizeof block->text - 8) {
        Flush(block);
    }
}

void Append(TextBlock* block, const char* text) {
    for (; *text != '\0'; ++text) {
        MakeRoom(block);
        block->text[block->used++] = *text;
    }
}

const char kUpperHex[] = "0123456789ABCDEF";
const char kLowerHex[] = "0123456789abcdef";

}  // namespace

void DumpBytes(const uint8_t* data, int32_t length) {
    TextBlock block;
    block.used = 0;

    Append(&block, "\n In Hex Bytes:");
    for (int32_t i = 0; i < length; ++i) {
        MakeRoom(&block);
        char* out = block.text + block.used;
        if (i % 16 == 0) {
            *out++ = '\n';
        }
        *out++ = ' ';
        *out++ = kUpperHex[data[i] >> 4];
        *out++ = kUpperHex[data[i] & 0x0F];
        *out++ = ' ';
        block.used = static_cast<size_t>(out - block.text);
    }

    Append(&block, "\n\n In Character Bytes:");
    for (int32_t i = 0; i < length; ++i) {
        MakeRoom(&block);
        char* out = block.text + block.used;
        if (i % 16 == 0) {
            *out++ = '\n';
        }
        // The byte itself, unfiltered: control characters and NUL included.
        *out++ = static_cast<char>(data[i]);
        *out++ = ' ';
        block.used = static_cast<size_t>(out - block.text);
    }

    Append(&block, "\n");
    Flush(&block);
}

void EchoFileBytes(const uint8_t* data, int32_t length) {
    TextBlock block;
    block.used = 0;
    for (int32_t i = 0; i < length; ++i) {
        MakeRoom(&block);
        char* out = block.text + block.used;
        if (i % 16 == 0) {
            *out++ = '\n';
        }
        *out++ = ' ';
        *out++ = kLowerHex[data[i] >> 4];
        *out++ = kLowerHex[data[i] & 0x0F];
        block.used = static_cast<size_t>(out - block.text);
    }
    Flush(&block);
}
