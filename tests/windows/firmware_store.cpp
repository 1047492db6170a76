// The firmware-store DLL of the exe scenarios: GetFirmwareEnvironmentVariableA and
// SetFirmwareEnvironmentVariableA over a directory in efivarfs layout, with the error codes of the
// Linux stand-in (platform/posix/efivarfs.cpp). The test copy of Kestomandrel.exe imports from this
// DLL in place of KERNEL32; every other KERNEL32 import is forwarded by the generated .def file.
//
// Wine has no firmware store of its own (its read is a stub and its write aborts the process), so
// the shipping program's set, delete and loop paths run under Wine only through this DLL.
//
//   KESTOMANDREL_TEST_EFIVARS        the store's directory, a Windows path
//   KESTOMANDREL_TEST_READ_DELAY_MS  milliseconds every read waits first, for tests that stop
//                                    the loop mid-iteration
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/posix/efivarfs_name.h"

namespace {

// Non-volatile, boot-service and runtime access, as the Linux stand-in writes them.
constexpr uint8_t kAttributes[4] = {7, 0, 0, 0};
constexpr DWORD kAttributeSize = sizeof kAttributes;

DWORD Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

// The Windows file error as the Linux stand-in reports the matching errno.
DWORD StoreError(DWORD fileError) {
    switch (fileError) {
        case ERROR_FILE_NOT_FOUND:
            return ERROR_ENVVAR_NOT_FOUND;
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ERROR_INVALID_PARAMETER;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ERROR_NO_SYSTEM_RESOURCES;
        case ERROR_WRITE_PROTECT:
            return ERROR_WRITE_PROTECT;
        case ERROR_ACCESS_DENIED:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// A name efivarfs can hold may still not be a Windows file name: a backslash would leave the
// directory and a colon would name a stream.
bool IsWindowsFileName(const char* name) {
    for (const char* c = name; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || strchr("\\:*?\"<>|", *c) != nullptr) {
            return false;
        }
    }
    return true;
}

// Room for the directory's path, "\\?\" before it and a 255-character file name after it.
constexpr DWORD kDirectoryRoom = 1024;
constexpr size_t kPathRoom = 4 + kDirectoryRoom + 1 + 256;

// Fills path with the variable's file path, or sets the last error and returns false: no
// directory is a machine without UEFI variables, a name or GUID efivarfs refuses is a bad
// parameter. The path is a wide one with the "\\?\" prefix, so that a long name is not cut at
// MAX_PATH as the ANSI file functions would cut it.
bool VariablePath(const char* name, const char* guid, wchar_t* path) {
    wchar_t directory[kDirectoryRoom];
    DWORD length = GetEnvironmentVariableW(L"KESTOMANDREL_TEST_EFIVARS", directory, kDirectoryRoom);
    DWORD attributes = length > 0 && length < kDirectoryRoom ? GetFileAttributesW(directory)
                                                             : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    char fileName[256];
    if (!EfivarfsFileName(name, guid, fileName, sizeof fileName) || !IsWindowsFileName(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    wcscpy(path, L"\\\\?\\");
    wcscat(path, directory);
    wcscat(path, L"\\");
    size_t used = wcslen(path);
    if (MultiByteToWideChar(CP_ACP, 0, fileName, -1, path + used,
                            static_cast<int>(kPathRoom - used)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

void DelayRead() {
    char text[16];
    DWORD length = GetEnvironmentVariableA("KESTOMANDREL_TEST_READ_DELAY_MS", text, sizeof text);
    if (length > 0 && length < sizeof text) {
        Sleep(static_cast<DWORD>(strtoul(text, nullptr, 10)));
    }
}

DWORD ReadVariable(const wchar_t* path, void* buffer, DWORD capacity) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(StoreError(GetLastError()));
    }
    // As efivarfs is read: the whole file at once, with a byte to spare to tell a variable larger
    // than the capacity.
    uint64_t room = uint64_t{kAttributeSize} + capacity + 1;
    uint8_t* bytes = room <= MAXDWORD ? static_cast<uint8_t*>(malloc(room)) : nullptr;
    DWORD got = 0;
    BOOL read = bytes != nullptr && ReadFile(file, bytes, static_cast<DWORD>(room), &got, nullptr);
    DWORD readError = GetLastError();
    CloseHandle(file);

    DWORD result = 0;
    if (!read) {
        SetLastError(bytes == nullptr ? ERROR_NOT_ENOUGH_MEMORY : StoreError(readError));
    } else if (got < kAttributeSize) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);  // no attributes: no variable behind the file
    } else if (got - kAttributeSize > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    } else {
        result = got - kAttributeSize;
        memcpy(buffer, bytes + kAttributeSize, result);
        SetLastError(ERROR_SUCCESS);
    }
    free(bytes);
    return result;
}

// The attributes and the data in one write, replacing the whole file, as efivarfs takes a
// variable. A file created here and not written is removed again.
BOOL WriteVariable(const wchar_t* path, const void* data, DWORD size) {
    uint64_t total = uint64_t{kAttributeSize} + size;
    uint8_t* bytes = total <= MAXDWORD ? static_cast<uint8_t*>(malloc(total)) : nullptr;
    if (bytes == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    memcpy(bytes, kAttributes, kAttributeSize);
    memcpy(bytes + kAttributeSize, data, size);

    bool existed = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = ERROR_SUCCESS;
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
    } else {
        DWORD written = 0;
        if (!WriteFile(file, bytes, static_cast<DWORD>(total), &written, nullptr)) {
            error = GetLastError();
        } else if (written != total) {
            error = ERROR_GEN_FAILURE;
        }
        CloseHandle(file);
        if (error != ERROR_SUCCESS && !existed) {
            DeleteFileW(path);
        }
    }
    free(bytes);
    if (error != ERROR_SUCCESS) {
        return Fail(StoreError(error));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

// Exported under the KERNEL32 names by the .def file: <windows.h> declares those names as imports,
// which cannot be defined here.
extern "C" DWORD WINAPI StoreGetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid,
                                                             PVOID pBuffer, DWORD nSize) {
    DelayRead();
    wchar_t path[kPathRoom];
    if (!VariablePath(lpName, lpGuid, path)) {
        return 0;
    }
    if (pBuffer == nullptr && nSize > 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return ReadVariable(path, pBuffer, nSize);
}

extern "C" BOOL WINAPI StoreSetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid,
                                                            PVOID pValue, DWORD nSize) {
    wchar_t path[kPathRoom];
    if (!VariablePath(lpName, lpGuid, path)) {
        return FALSE;
    }
    // No data is the request to delete the variable.
    if (nSize == 0) {
        if (!DeleteFileW(path)) {
            return Fail(StoreError(GetLastError()));
        }
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (pValue == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return WriteVariable(path, pValue, nSize);
}
