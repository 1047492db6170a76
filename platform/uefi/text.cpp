#include "platform/uefi/text.h"

namespace {

// A console piece: long enough to pass a dump's lines in few calls, short enough for the stack.
constexpr size_t kPieceLength = 512;

struct Piece {
    char16_t text[kPieceLength + 1];
    size_t used;
    ConsoleSink sink;
};

void Send(Piece* piece) {
    if (piece->used > 0) {
        piece->text[piece->used] = 0;
        piece->sink.write(piece->sink.context, piece->text, piece->used);
        piece->used = 0;
    }
}

void Put(Piece* piece, char16_t c) {
    if (piece->used == kPieceLength) {
        Send(piece);
    }
    piece->text[piece->used++] = c;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads count hex digits at text into value. False on anything else.
bool ReadHex(const char* text, int count, uint64_t* value) {
    *value = 0;
    for (int i = 0; i < count; ++i) {
        int digit = HexValue(text[i]);
        if (digit < 0) {
            return false;
        }
        *value = *value * 16 + static_cast<uint64_t>(digit);
    }
    return true;
}

}  // namespace

void WriteConsoleBytes(const char* bytes, size_t size, ConsoleSink sink) {
    Piece piece;
    piece.used = 0;
    piece.sink = sink;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\0') {
            Send(&piece);
            const char16_t nul[2] = {0, 0};
            sink.write(sink.context, nul, 1);
            continue;
        }
        // CR and LF must not be split across two pieces.
        if (c == '\n' && piece.used + 2 > kPieceLength) {
            Send(&piece);
        }
        if (c == '\n') {
            Put(&piece, u'\r');
        }
        Put(&piece, static_cast<char16_t>(c));
    }
    Send(&piece);
}

size_t NarrowText(const char16_t* text, char* out, size_t outSize) {
    size_t length = 0;
    for (; text[length] != 0; ++length) {
        if (length + 1 < outSize) {
            char16_t c = text[length];
            out[length] = c <= 0xFF ? static_cast<char>(c) : '?';
        }
    }
    if (outSize > 0) {
        out[length < outSize ? length : outSize - 1] = '\0';
    }
    return length;
}

bool WidenText(const char* text, char16_t* out, size_t outSize) {
    size_t i = 0;
    for (; text[i] != '\0'; ++i) {
        if (i + 1 >= outSize) {
            return false;
        }
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    }
    if (outSize == 0) {
        return false;
    }
    out[i] = 0;
    return true;
}

bool ParseGuidText(const char* text, uint8_t guid[16]) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, measured first so that no check reads past its end.
    size_t length = 0;
    while (length < 40 && text[length] != '\0') {
        ++length;
    }
    if (length != 38 || text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
        text[24] != '-' || text[37] != '}') {
        return false;
    }
    uint64_t data1;
    uint64_t data2;
    uint64_t data3;
    if (!ReadHex(text + 1, 8, &data1) || !ReadHex(text + 10, 4, &data2) ||
        !ReadHex(text + 15, 4, &data3)) {
        return false;
    }
    // Data1 to Data3 are little-endian numbers; Data4's eight bytes follow in text order.
    for (int i = 0; i < 4; ++i) {
        guid[i] = static_cast<uint8_t>(data1 >> (8 * i));
    }
    guid[4] = static_cast<uint8_t>(data2);
    guid[5] = static_cast<uint8_t>(data2 >> 8);
    guid[6] = static_cast<uint8_t>(data3);
    guid[7] = static_cast<uint8_t>(data3 >> 8);
    const int byteOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        uint64_t byte;
        if (!ReadHex(text + byteOffsets[i], 2, &byte)) {
            return false;
        }
        guid[8 + i] = static_cast<uint8_t>(byte);
    }
    return true;
}
