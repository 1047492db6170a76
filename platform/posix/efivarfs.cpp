#include "platform/posix/efivarfs.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
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
// Rounds of a write that another process keeps creating and removing under its feet.
constexpr int kWriteRounds = 4;

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
//
// While the flag is cleared the variable is unprotected: a process that ended then would leave it
// so for good, open to any stray rm. Every signal that can be held back (all but SIGKILL and
// SIGSTOP) therefore waits until the flag is back, and then takes effect as usual. The window is
// opened only under the lock of the variable's file (OpenLocked), so that a parallel writer cannot
// put the flag back between this one's clearing it and writing.
struct FlagWindow {
    int fd;
    bool cleared;
    int flags;
    sigset_t signals;  // the signal mask from before the window
};

// Holds signals back and clears the flag. Returns 0 or an errno; on an error the window is closed
// again.
int OpenWindow(int fd, FlagWindow* window) {
    window->fd = fd;
    window->cleared = false;
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &window->signals);

    int flags = 0;
    int error = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        if (errno != ENOTTY && errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS) {
            error = errno;
        }
    } else if ((flags & FS_IMMUTABLE_FL) != 0) {
        int cleared = flags & ~FS_IMMUTABLE_FL;
        if (ioctl(fd, FS_IOC_SETFLAGS, &cleared) == 0) {
            window->cleared = true;
            window->flags = flags;
        } else {
            error = errno;
        }
    }
    if (error != 0) {
        pthread_sigmask(SIG_SETMASK, &window->signals, nullptr);
    }
    return error;
}

// Puts the flag back, unless the file is gone, and lets any held signal take effect.
void CloseWindow(FlagWindow* window, bool removed) {
    if (window->cleared && !removed) {
        ioctl(window->fd, FS_IOC_SETFLAGS, &window->flags);
    }
    pthread_sigmask(SIG_SETMASK, &window->signals, nullptr);
}

// Takes the exclusive advisory lock of an open variable file. A file system without locks is used
// unlocked, as before.
int LockFile(int fd) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno == EOPNOTSUPP || errno == ENOLCK || errno == EINVAL) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Opens the variable's file and locks it. Another process may remove the variable, or remove and
// create it anew, while this one waits for the lock: the lock is then on a file that is no longer
// the variable's, and the open starts over. Returns 0 or an errno (ENOENT: no such variable).
int OpenLocked(const char* path, int* fd) {
    for (;;) {
        *fd = open(path, O_RDONLY | O_CLOEXEC);
        if (*fd < 0) {
            return errno;
        }
        int error = LockFile(*fd);
        struct stat opened;
        struct stat current;
        if (error == 0 && fstat(*fd, &opened) == 0 && stat(path, &current) == 0 &&
            opened.st_dev == current.st_dev && opened.st_ino == current.st_ino) {
            return 0;
        }
        close(*fd);
        if (error != 0) {
            return error;
        }
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

// Writes an existing variable whose file is open and locked as lockedFd.
int OverwriteVariable(const char* path, int lockedFd, const uint8_t* bytes, size_t size) {
    FlagWindow window;
    int error = OpenWindow(lockedFd, &window);
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
    CloseWindow(&window, false);
    return error;
}

// Removes the variable whose file is open and locked as lockedFd.
int RemoveVariable(const char* path, int lockedFd) {
    FlagWindow window;
    int error = OpenWindow(lockedFd, &window);
    if (error != 0) {
        return error;
    }
    if (unlink(path) != 0) {
        error = errno;
    }
    CloseWindow(&window, error == 0);
    return error;
}

int CreateVariable(const char* path, const uint8_t* bytes, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    int error = LockFile(fd);
    if (error == 0) {
        error = WriteAll(fd, bytes, size);
    }
    if (error != 0) {
        // Leave no empty file behind for a variable that was never written. efivarfs makes the
        // file immutable at its creation, before the firmware has accepted anything, so the flag
        // has to go first. Some firmware refuses that delete too (authenticated variables): the
        // file then stays, with its flag back.
        RemoveVariable(path, fd);
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

    // Another process may create or remove the variable between the steps: an overwrite that finds
    // the file gone becomes a creation, a creation that finds it there an overwrite.
    int error = 0;
    for (int round = 0; round < kWriteRounds; ++round) {
        int fd;
        error = OpenLocked(path, &fd);
        if (error == 0) {
            error = OverwriteVariable(path, fd, bytes, total);
            close(fd);
        } else if (error == ENOENT) {
            error = CreateVariable(path, bytes, total);
        }
        if (error != ENOENT && error != EEXIST) {
            break;
        }
    }
    free(bytes);
    if (error != 0) {
        return Fail(EfivarfsError(error));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteVariable(const char* path) {
    int fd;
    int error = OpenLocked(path, &fd);
    if (error == 0) {
        error = RemoveVariable(path, fd);
        close(fd);
    }
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
