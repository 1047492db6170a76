#include "tests/stdout_capture.h"

#include <gtest/gtest.h>

#include <cstdio>

// GoogleTest's capture reads back exactly what was written: POSIX has no text mode.
void CaptureOutput() {
    fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string CapturedOutput() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string AsWritten(const std::string& text) {
    return text;
}
