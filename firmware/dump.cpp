#include "firmware/dump.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

// A dump is built in this block and handed to stdio in large pieces: one printf per byte would cost
// thousands of calls for a 4096-byte variable, and the text is the same. The block is filled a
// whole line at a time, so the room is checked once per 16 bytes rather than once per byte.
struct TextBlock {
    char text[4096];
    size_t used;
};

// The longest line: its line break and 16 hex cells of 4 characters.
constexpr size_t kLineBytes = 16;
constexpr size_t kLongestLine = 1 + kLineBytes * 4;

void Flush(TextBlock* block) {
    fwrite(block->text, 1, block->used, stdout);
    block->used = 0;
}

// Returns where the next line goes, with room for the longest line.
char* LineStart(TextBlock* block) {
    if (block->used > sizeof block->text - kLongestLine) {
        Flush(block);
    }
    return block->text + block->used;
}

void LineEnd(TextBlock* block, const char* out) {
    block->used = static_cast<size_t>(out - block->text);
}

void Append(TextBlock* block, const char* text) {
    for (; *text != '\0'; ++text) {
        if (block->used == sizeof block->text) {
            Flush(block);
        }
        block->text[block->used++] = *text;
    }
}

// The bytes of the line starting at offset: at most 16, fewer on the last line. Stepping by this
// count, the offset never passes the length, even for one close to INT32_MAX.
size_t LineLength(int32_t length, int32_t offset) {
    int32_t left = length - offset;
    return left < static_cast<int32_t>(kLineBytes) ? static_cast<size_t>(left) : kLineBytes;
}

// Each byte's cell of text, made once at compile time: " 4F " in the dump, " 4f" (and an unused
// fourth character) in the file echo. A cell is then one 4-byte copy.
struct HexCells {
    char cell[256][4];
};

constexpr HexCells MakeCells(const char* digits, char last) {
    HexCells cells{};
    for (int value = 0; value < 256; ++value) {
        cells.cell[value][0] = ' ';
        cells.cell[value][1] = digits[value >> 4];
        cells.cell[value][2] = digits[value & 0x0F];
        cells.cell[value][3] = last;
    }
    return cells;
}

constexpr HexCells kDumpCells = MakeCells("0123456789ABCDEF", ' ');
constexpr HexCells kEchoCells = MakeCells("0123456789abcdef", '\0');

}  // namespace

void DumpBytes(const uint8_t* data, int32_t length) {
    TextBlock block;
    block.used = 0;

    Append(&block, "\n In Hex Bytes:");
    for (int32_t offset = 0; offset < length;) {
        const uint8_t* line = data + offset;
        size_t count = LineLength(length, offset);
        offset += static_cast<int32_t>(count);
        char* out = LineStart(&block);
        *out++ = '\n';
        for (size_t i = 0; i < count; ++i) {
            memcpy(out, kDumpCells.cell[line[i]], 4);
            out += 4;
        }
        LineEnd(&block, out);
    }

    Append(&block, "\n\n In Character Bytes:");
    for (int32_t offset = 0; offset < length;) {
        const uint8_t* line = data + offset;
        size_t count = LineLength(length, offset);
        offset += static_cast<int32_t>(count);
        char* out = LineStart(&block);
        *out++ = '\n';
        // The byte itself, unfiltered: control characters and NUL included.
        for (size_t i = 0; i < count; ++i) {
            out[0] = static_cast<char>(line[i]);
            out[1] = ' ';
            out += 2;
        }
        LineEnd(&block, out);
    }

    Append(&block, "\n");
    Flush(&block);
}

void EchoFileBytes(const uint8_t* data, int32_t length) {
    TextBlock block;
    block.used = 0;
    for (int32_t offset = 0; offset < length;) {
        const uint8_t* line = data + offset;
        size_t count = LineLength(length, offset);
        offset += static_cast<int32_t>(count);
        char* out = LineStart(&block);
        *out++ = '\n';
        for (size_t i = 0; i < count; ++i) {
            memcpy(out, kEchoCells.cell[line[i]], 4);  // the fourth is overwritten or unused
            out += 3;
        }
        LineEnd(&block, out);
    }
    Flush(&block);
}
