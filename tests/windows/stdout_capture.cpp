#include "tests/stdout_capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cstdio>

// GoogleTest's own capture reads its file back in text mode, which turns "\r\n" into "\n" and stops
// at the first 0x1A byte: it would hide exactly what the runtime does to the output. This capture
// reads the bytes back in binary mode.
namespace {

int savedStdout = -1;

// One file per process: CTest runs test processes side by side.
std::string CapturePath() {
    return testing::TempDir() + "kestomandrel-stdout-" + std::to_string(_getpid()) + ".txt";
}

}  // namespace

void CaptureOutput() {
    fflush(stdout);
    // Text mode, as the standard output a program inherits from a console or a redirection.
    int file = _open(CapturePath().c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT,
                     _S_IREAD | _S_IWRITE);
    ASSERT_GE(file, 0) << CapturePath();
    savedStdout = _dup(_fileno(stdout));
    ASSERT_GE(savedStdout, 0);
    ASSERT_EQ(_dup2(file, _fileno(stdout)), 0);
    _close(file);
}

std::string CapturedOutput() {
    fflush(stdout);
    std::string bytes;
    if (savedStdout < 0) {
        ADD_FAILURE() << "no capture in progress";
        return bytes;
    }
    _dup2(savedStdout, _fileno(stdout));
    _close(savedStdout);
    savedStdout = -1;

    FILE* file = fopen(CapturePath().c_str(), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot read " << CapturePath();
        return bytes;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    fclose(file);
    remove(CapturePath().c_str());
    return bytes;
}

std::string AsWritten(const std::string& text) {
    std::string written;
    written.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        if (c == '\n') {
            written += '\r';
        }
        written += c;
    }
    return written;
}
