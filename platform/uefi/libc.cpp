// The C library functions the program uses, for a UEFI application: standard output goes to the
// Shell's standard output (the console, or the file the Shell redirected it to), files are read
// through the Shell, and heap blocks come from the firmware's pool.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/uefi/efi.h"
#include "platform/uefi/text.h"

struct FILE {
    // Standard output: its buffer, as setvbuf gave it.
    char* buffer;
    size_t size;
    size_t used;
    // A file opened for reading.
    SHELL_FILE_HANDLE handle;
    bool directory;
};

namespace {

FILE standardOutput = {nullptr, 0, 0, nullptr, false};

void WritePiece(void*, const char16_t* text, size_t length) {
    if (gEfi.parameters != nullptr && gEfi.shell != nullptr) {
        // The Shell's console handle prints the terminated string; a file it redirected to takes
        // exactly BufferSize bytes, so that a NUL reaches a Unicode file too.
        UINTN size = length * sizeof(char16_t);
        gEfi.shell->WriteFile(gEfi.parameters->StdOut, &size, const_cast<char16_t*>(text));
    } else if (length > 0 && text[0] != 0) {
        gEfi.system->ConOut->OutputString(gEfi.system->ConOut, text);
    }
}

void WriteOut(const char* data, size_t size) {
    WriteConsoleBytes(data, size, ConsoleSink{WritePiece, nullptr});
}

}  // namespace

extern "C" {

FILE* const stdout = &standardOutput;

void* memcpy(void* destination, const void* source, size_t size) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < size; ++i) {
        to[i] = from[i];
    }
    return destination;
}

void* memmove(void* destination, const void* source, size_t size) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    if (to < from) {
        for (size_t i = 0; i < size; ++i) {
            to[i] = from[i];
        }
    } else {
        for (size_t i = size; i > 0; --i) {
            to[i - 1] = from[i - 1];
        }
    }
    return destination;
}

void* memset(void* destination, int value, size_t size) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < size; ++i) {
        to[i] = static_cast<unsigned char>(value);
    }
    return destination;
}

int memcmp(const void* left, const void* right, size_t size) {
    const unsigned char* a = static_cast<const unsigned char*>(left);
    const unsigned char* b = static_cast<const unsigned char*>(right);
    for (size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

size_t strlen(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

int strcmp(const char* left, const char* right) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(left);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(right);
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a < *b ? -1 : (*a > *b ? 1 : 0);
}

void* malloc(size_t size) {
    void* block = nullptr;
    if (gEfi.system->BootServices->AllocatePool(EfiLoaderData, size, &block) != 0) {
        return nullptr;
    }
    return block;
}

void free(void* block) {
    if (block != nullptr) {
        gEfi.system->BootServices->FreePool(block);
    }
}

int setvbuf(FILE* stream, char* buffer, int mode, size_t size) {
    if (stream != stdout || stream->used > 0) {
        return -1;
    }
    stream->buffer = mode == _IONBF ? nullptr : buffer;
    stream->size = mode == _IONBF ? 0 : size;
    return 0;
}

int fflush(FILE* stream) {
    if (stream == stdout && stream->used > 0) {
        WriteOut(stream->buffer, stream->used);
        stream->used = 0;
    }
    return 0;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    if (stream != stdout || size == 0) {
        return 0;
    }
    const char* bytes = static_cast<const char*>(data);
    size_t total = size * count;
    if (stream->used + total > stream->size) {
        fflush(stream);
    }
    if (total > stream->size) {
        WriteOut(bytes, total);
    } else {
        memcpy(stream->buffer + stream->used, bytes, total);
        stream->used += total;
    }
    return count;
}

int fputs(const char* text, FILE* stream) {
    size_t length = strlen(text);
    return fwrite(text, 1, length, stream) == length ? 0 : EOF;
}

int vsnprintf(char* text, size_t size, const char* format, va_list arguments) {
    return FormatText(text, size, format, arguments);
}

int snprintf(char* text, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = FormatText(text, size, format, arguments);
    va_end(arguments);
    return length;
}

int vprintf(const char* format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    int length = FormatText(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        return length;
    }
    char* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) {
        return -1;
    }
    FormatText(text, static_cast<size_t>(length) + 1, format, arguments);
    fwrite(text, 1, static_cast<size_t>(length), stdout);
    free(text);
    return length;
}

int printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = vprintf(format, arguments);
    va_end(arguments);
    return length;
}

FILE* fopen(const char* name, const char* mode) {
    if (gEfi.shell == nullptr || mode[0] != 'r') {
        return nullptr;
    }
    size_t length = strlen(name);
    char16_t* wide = static_cast<char16_t*>(malloc((length + 1) * sizeof(char16_t)));
    if (wide == nullptr) {
        return nullptr;
    }
    WidenText(name, wide, length + 1);
    SHELL_FILE_HANDLE handle = nullptr;
    // Read access only: a file on a read-only volume opens as anywhere else.
    EFI_STATUS status = gEfi.shell->OpenFileByName(wide, &handle, EFI_FILE_MODE_READ);
    free(wide);
    if (status != 0 || handle == nullptr) {
        return nullptr;
    }
    FILE* file = static_cast<FILE*>(malloc(sizeof(FILE)));
    if (file == nullptr) {
        gEfi.shell->CloseFile(handle);
        return nullptr;
    }
    *file = FILE{nullptr, 0, 0, handle, false};
    // A directory opens too, and reads as its entries: it must read as no data instead.
    EFI_FILE_INFO* info = gEfi.shell->GetFileInfo(handle);
    if (info == nullptr || (info->Attribute & EFI_FILE_DIRECTORY) != 0) {
        file->directory = true;
    }
    if (info != nullptr) {
        free(info);
    }
    return file;
}

int fclose(FILE* stream) {
    if (stream == nullptr || stream == stdout) {
        return EOF;
    }
    gEfi.shell->CloseFile(stream->handle);
    free(stream);
    return 0;
}

int fseek(FILE* stream, long offset, int origin) {
    uint64_t base = 0;
    if (origin == SEEK_CUR && gEfi.shell->GetFilePosition(stream->handle, &base) != 0) {
        return -1;
    }
    if (origin == SEEK_END && gEfi.shell->GetFileSize(stream->handle, &base) != 0) {
        return -1;
    }
    if (offset < 0 && static_cast<uint64_t>(-static_cast<int64_t>(offset)) > base) {
        return -1;
    }
    uint64_t position = base + static_cast<uint64_t>(static_cast<int64_t>(offset));
    return gEfi.shell->SetFilePosition(stream->handle, position) == 0 ? 0 : -1;
}

long ftell(FILE* stream) {
    uint64_t position = 0;
    // long is 32 bits here, as on Windows: a larger position cannot be told.
    if (gEfi.shell->GetFilePosition(stream->handle, &position) != 0 || position > INT32_MAX) {
        return -1;
    }
    return static_cast<long>(position);
}

size_t fread(void* data, size_t size, size_t count, FILE* stream) {
    if (stream->directory || size == 0) {
        return 0;
    }
    UINTN total = size * count;
    if (gEfi.shell->ReadFile(stream->handle, &total, data) != 0) {
        return 0;
    }
    return static_cast<size_t>(total) / size;
}

int fgetc(FILE* stream) {
    unsigned char c;
    return fread(&c, 1, 1, stream) == 1 ? c : EOF;
}

}  // extern "C"
