#include "platform/posix/efivarfs_name.h"

#include <cstring>

namespace {

constexpr size_t kGuidTextLength = 38;  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
// Linux's NAME_MAX, the longest name efivarfs can hold.
constexpr size_t kMaxFileNameLength = 255;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsGuidText(const char* guid) {
    if (strlen(guid) != kGuidTextLength || guid[0] != '{' || guid[kGuidTextLength - 1] != '}') {
        return false;
    }
    for (size_t i = 1; i < kGuidTextLength - 1; ++i) {
        bool dash = (i == 9 || i == 14 || i == 19 || i == 24);
        if (dash ? guid[i] != '-' : !IsHexDigit(guid[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool EfivarfsFileName(const char* name, const char* guid, char* out, size_t outSize) {
    if (name == nullptr || guid == nullptr || !IsGuidText(guid)) {
        return false;
    }
    // The name must stay one file inside the directory: no separator, and short enough for a file
    // name once "-<guid>" is appended.
    size_t nameLength = strlen(name);
    size_t fileNameLength = nameLength + 1 + (kGuidTextLength - 2);
    if (nameLength == 0 || strchr(name, '/') != nullptr || fileNameLength > kMaxFileNameLength ||
        fileNameLength >= outSize) {
        return false;
    }
    memcpy(out, name, nameLength);
    out[nameLength] = '-';
    char* lower = out + nameLength + 1;
    for (size_t i = 1; i < kGuidTextLength - 1; ++i) {
        char c = guid[i];
        *lower++ = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    *lower = '\0';
    return true;
}
