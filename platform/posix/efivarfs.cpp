#include "platform/posix/efivarfs.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Non-volatile, boot-service and runtime access: what Windows gives a variable it writes.
constexpr uint32_t kAttributes = 0x7;
constexpr size_t kAttributeSize = 4;
constexpr long kEfivarfsMagic = 0xde5e81e4;
constexpr DWORD kNotEnoughMemory = 8;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Neither a missing efivarfs nor a legacy-BIOS machine has the directory; Windows answers every
// firmware call there with ERROR_INVALID_FUNCTION.
bool HasDirectory(const char* directory) {
    struct stat status;
    return stat(directory, &status) == 0 && S_ISDIR(status.st_mode);
}

// Fills path with the variable's file path, or sets the last error and returns false.
bool VariablePath(const char* directory, LPCSTR name, LPCSTR guid, char* path, size_t size) {
    if (!HasDirectory(directory)) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    char fileName[NAME_MAX + 1];
    if (!EfivarfsFileName(name, guid, fileName, sizeof fileName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    int length = snprintf(path, size, "%s/%s", directory, fileName);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

bool IsEfivarfs(int fd) {
    struct statfs status;
    return fstatfs(fd, &status) == 0 && static_cast<long>(status.f_type) == kEfivarfsMagic;
}

// efivarfs makes most variables immutable, so they can be neither opened for writing nor removed
// until the flag is cleared. A file system without such flags (a plain directory) needs nothing.
struct ImmutableState {
    bool cleared;
    int flags;
};

int ClearImmutable(int fd, ImmutableState* state) {
    state->cleared = false;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        if (errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) {
            return 0;
        }
        return errno;
    }
    if ((flags & FS_IMMUTABLE_FL) == 0) {
        return 0;
    }
    int cleared = flags & ~FS_IMMUTABLE_FL;
    if (ioctl(fd, FS_IOC_SETFLAGS, &cleared) != 0) {
        return errno;
    }
    state->cleared = true;
    state->flags = flags;
    return 0;
}

void RestoreImmutable(int fd, const ImmutableState& state) {
    if (state.cleared) {
        int flags = state.flags;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
}

ssize_t WriteOnce(int fd, const uint8_t* bytes, size_t size) {
    ssize_t written;
    do {
        written = write(fd, bytes, size);
    } while (written < 0 && errno == EINTR);
    return written;
}

// efivarfs turns each write() into one SetVariable call, so the attributes and the data go out in
// a single write. Returns 0 or an errno.
int WriteAll(int fd, const uint8_t* bytes, size_t size) {
    ssize_t written = WriteOnce(fd, bytes, size);
    if (written < 0) {
        return errno;
    }
    return static_cast<size_t>(written) == size ? 0 : EIO;
}

int OverwriteVariable(const char* path, int readFd, const uint8_t* bytes, size_t size) {
    ImmutableState state;
    int error = ClearImmutable(readFd, &state);
    if (error != 0) {
        return error;
    }
    // No O_TRUNC: on efivarfs truncation is not a variable operation, the write replaces the whole
    // variable. A plain file is cut to the new length after the write instead.
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
    } else {
        error = WriteAll(fd, bytes, size);
        if (error == 0 && !IsEfivarfs(fd) && ftruncate(fd, static_cast<off_t>(size)) != 0) {
            error = errno;
        }
        close(fd);
    }
    RestoreImmutable(readFd, state);
    return error;
}

int CreateVariable(const char* path, const uint8_t* bytes, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    int error = WriteAll(fd, bytes, size);
    if (error != 0) {
        // Leave no empty file behind for a variable that was never written. efivarfs makes the
        // file immutable at its creation, before the firmware has accepted anything, so the flag
        // has to go first.
        ImmutableState state;
        ClearImmutable(fd, &state);
        unlink(path);
    }
    close(fd);
    return error;
}

BOOL WriteVariable(const char* path, const void* data, DWORD size) {
    size_t total = kAttributeSize + size;
    uint8_t* bytes = static_cast<uint8_t*>(malloc(total));
    if (bytes == nullptr) {
        return Fail(kNotEnoughMemory);
    }
    for (size_t i = 0; i < kAttributeSize; ++i) {
        bytes[i] = static_cast<uint8_t>(kAttributes >> (8 * i));
    }
    memcpy(bytes + kAttributeSize, data, size);

    int error;
    int readFd = open(path, O_RDONLY | O_CLOEXEC);
    if (readFd >= 0) {
        error = OverwriteVariable(path, readFd, bytes, total);
        close(readFd);
    } else if (errno == ENOENT) {
        error = CreateVariable(path, bytes, total);
    } else {
        error = errno;
    }
    free(bytes);
    if (error != 0) {
        return Fail(EfivarfsError(error));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteVariable(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Fail(EfivarfsError(errno));
    }
    ImmutableState state;
    int error = ClearImmutable(fd, &state);
    if (error == 0 && unlink(path) != 0) {
        error = errno;
        RestoreImmutable(fd, state);
    }
    close(fd);
    if (error != 0) {
        return Fail(EfivarfsError(error));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

DWORD EfivarfsError(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_ENVVAR_NOT_FOUND;
        case EINVAL:
        case ENAMETOOLONG:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
            return ERROR_NO_SYSTEM_RESOURCES;
        case EIO:
            return ERROR_GEN_FAILURE;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

DWORD EfivarfsGetVariable(const char* directory, LPCSTR name, LPCSTR guid, PVOID buffer,
                          DWORD capacity) {
    char path[PATH_MAX];
    if (!VariablePath(directory, name, guid, path, sizeof path)) {
        return 0;
    }
    if (buffer == nullptr && capacity > 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Fail(EfivarfsError(errno));
    }

    // Each read() of an efivarfs file is one GetVariable call, so the whole file is taken in one
    // read, with a byte to spare to tell a variable larger than the capacity.
    size_t room = kAttributeSize + static_cast<size_t>(capacity) + 1;
    uint8_t* bytes = static_cast<uint8_t*>(malloc(room));
    if (bytes == nullptr) {
        close(fd);
        return Fail(kNotEnoughMemory);
    }
    ssize_t got;
    do {
        got = read(fd, bytes, room);
    } while (got < 0 && errno == EINTR);
    int readError = errno;
    close(fd);

    DWORD result = 0;
    if (got < 0) {
        SetLastError(EfivarfsError(readError));
    } else if (static_cast<size_t>(got) < kAttributeSize) {
        // No attributes: no variable behind the file.
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
    } else if (static_cast<size_t>(got) - kAttributeSize > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    } else {
        result = static_cast<DWORD>(static_cast<size_t>(got) - kAttributeSize);
        memcpy(buffer, bytes + kAttributeSize, result);
        SetLastError(ERROR_SUCCESS);
    }
    free(bytes);
    return result;
}

BOOL EfivarfsSetVariable(const char* directory, LPCSTR name, LPCSTR guid, const void* data,
                         DWORD size) {
    char path[PATH_MAX];
    if (!VariablePath(directory, name, guid, path, sizeof path)) {
        return FALSE;
    }
    // No data is the request to delete the variable.
    if (size == 0) {
        return DeleteVariable(path);
    }
    if (data == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return WriteVariable(path, data, size);
}
