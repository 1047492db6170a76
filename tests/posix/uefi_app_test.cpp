// The UEFI application's own pieces that need no firmware: what it reports for the firmware's
// answers (checked against the Linux build's reading of the same answers), its console writer,
// its argument and GUID texts, and its printf, against the C library's.
#include <gtest/gtest.h>

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/efivarfs.h"
#include "platform/uefi/efi_status.h"
#include "platform/uefi/text.h"

namespace {

TEST(UefiApp, FirmwareAnswersGiveTheLinuxBuildsCodes) {
    // Linux's efi_status_to_err: the errno each status reaches the Linux build as.
    const struct {
        uint64_t status;
        int error;
    } answers[] = {
        {kEfiNotFound, ENOENT},       {kEfiInvalidParameter, EINVAL},
        {kEfiOutOfResources, ENOSPC}, {kEfiDeviceError, EIO},
        {kEfiWriteProtected, EROFS},  {kEfiSecurityViolation, EACCES},
        {kEfiAborted, EINTR},         {kEfiUnsupported, EINVAL},
        {kEfiAccessDenied, EINVAL},   {kEfiErrorBit | 0x7F, EINVAL},
    };
    for (const auto& answer : answers) {
        EXPECT_EQ(WindowsErrorForEfiStatus(answer.status), EfivarfsError(answer.error))
            << std::hex << answer.status;
    }
    // A variable larger than the buffer: the code both other builds give.
    EXPECT_EQ(WindowsErrorForEfiStatus(kEfiBufferTooSmall), 122u);
}

TEST(UefiApp, ExitCodesAsTheShellShowsThem) {
    EXPECT_EQ(EfiStatusForExitCode(0), 0u);
    EXPECT_EQ(EfiStatusForExitCode(1), 1u);
    EXPECT_EQ(EfiStatusForExitCode(-1), 0xFFFFFFFFFFFFFFFFu);
}

// Everything the writer hands the console, pieces joined, each NUL piece shown as "<0>".
struct Written {
    std::u16string text;
    size_t pieces = 0;
    bool terminated = true;
};

void Collect(void* context, const char16_t* text, size_t length) {
    Written* written = static_cast<Written*>(context);
    ++written->pieces;
    written->terminated = written->terminated && text[length] == 0;
    if (length == 1 && text[0] == 0) {
        written->text += u"<0>";
    } else {
        written->text.append(text, length);
    }
}

Written Write(const std::string& bytes) {
    Written written;
    WriteConsoleBytes(bytes.data(), bytes.size(), ConsoleSink{Collect, &written});
    return written;
}

TEST(UefiApp, ConsoleWriterWidensAndEndsLinesWithCrLf) {
    const struct {
        std::string bytes;
        std::u16string shown;
    } cases[] = {
        {"\nLength : 4(0x4) bytes", u"\r\nLength : 4(0x4) bytes"},
        {std::string("A\0B", 3), u"A<0>B"},
        {"\xff\x80\x1b \r", u"\u00ff\u0080\u001b \r"},
        {"", u""},
    };
    for (const auto& c : cases) {
        Written written = Write(c.bytes);
        EXPECT_EQ(written.text, c.shown);
        EXPECT_TRUE(written.terminated);
    }
    // A long text goes in pieces, none of which splits a CR LF.
    std::string lines;
    for (int i = 0; i < 400; ++i) {
        lines += " 4F\n";
    }
    Written written = Write(lines);
    EXPECT_GT(written.pieces, 1u);
    std::u16string expected;
    for (int i = 0; i < 400; ++i) {
        expected += u" 4F\r\n";
    }
    EXPECT_EQ(written.text, expected);
}

TEST(UefiApp, ArgumentsAndNames) {
    char out[8];
    EXPECT_EQ(NarrowText(u"Boot\u00e9\u20ac", out, sizeof out), 6u);
    EXPECT_EQ(std::string(out), "Boot\xe9?");
    // Too long for OUT: cut and terminated, the whole length returned.
    EXPECT_EQ(NarrowText(u"0123456789", out, sizeof out), 10u);
    EXPECT_EQ(std::string(out), "0123456");

    char16_t wide[4];
    EXPECT_TRUE(WidenText("\xe9z", wide, 4));
    EXPECT_EQ(std::u16string(wide), u"\u00e9z");
    EXPECT_FALSE(WidenText("abcd", wide, 4));
}

TEST(UefiApp, GuidTexts) {
    uint8_t guid[16];
    ASSERT_TRUE(ParseGuidText("{8BE4DF61-93CA-11D2-AA0D-00E098032B8c}", guid));
    const uint8_t global[16] = {0x61, 0xDF, 0xE4, 0x8B, 0xCA, 0x93, 0xD2, 0x11,
                                0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C};
    EXPECT_EQ(std::vector<uint8_t>(guid, guid + 16), std::vector<uint8_t>(global, global + 16));
    // The Linux build refuses the same texts.
    for (const char* text :
         {"8BE4DF61-93CA-11D2-AA0D-00E098032B8C", "{8BE4DF61-93CA-11D2-AA0D}",
          "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}x", "{8BE4DF61-93CA-11D2-AA0D-00E098032B8G}",
          "{8BE4DF61+93CA-11D2-AA0D-00E098032B8C}", ""}) {
        char name[300];
        EXPECT_FALSE(ParseGuidText(text, guid)) << text;
        EXPECT_FALSE(EfivarfsFileName("Name", text, name, sizeof name)) << text;
    }
}

std::string Formatted(int (*format)(char*, size_t, const char*, va_list), size_t size,
                      const char* text, ...) {
    std::vector<char> out(size + 1, '#');
    va_list arguments;
    va_start(arguments, text);
    int length = format(out.data(), size, text, arguments);
    va_end(arguments);
    return std::to_string(length) + ":" +
           std::string(out.data(), size > 0 ? strlen(out.data()) : 0);
}

int SystemFormat(char* out, size_t size, const char* text, va_list arguments) {
    return vsnprintf(out, size, text, arguments);
}

// Every case as the C library formats it; long is 32 bits in the UEFI build, as on Windows, so
// the cases pass what each conversion takes on either.
#define SAME_AS_C_LIBRARY(size, ...)                      \
    EXPECT_EQ(Formatted(FormatText, size, __VA_ARGS__),   \
              Formatted(SystemFormat, size, __VA_ARGS__)) \
        << #__VA_ARGS__

TEST(UefiApp, FormatsAsTheCLibrary) {
    SAME_AS_C_LIBRARY(64, "\nLength : %ld(0x%lx) bytes", 4096L, 4096UL);
    SAME_AS_C_LIBRARY(64, "\nError Code : 0x%x", 0xC000013Au);
    SAME_AS_C_LIBRARY(64, "count : %d. %u %i", -2147483647 - 1, 4294967295u, 7);
    SAME_AS_C_LIBRARY(64, "\nVariable Name : %s", "SysPrepOrder");
    SAME_AS_C_LIBRARY(64, "[%5d|%-5d|%05d|%+d|% d|%.3d|%.0d]", 42, 42, -42, 42, 42, 7, 0);
    SAME_AS_C_LIBRARY(64, "[%8.3s|%-4s|%c|%%|%#x|%#X|%X]", "abcdef", "ab", 'z', 255u, 0u, 0xabu);
    SAME_AS_C_LIBRARY(64, "[%llu %lld %zu %hhx %hx %*d %.*s]", 18446744073709551615ull,
                      -9223372036854775807ll - 1, static_cast<size_t>(12), 0x1ff, 0x1ffff, 4, 3, 2,
                      "xyz");
    // Cut short: the length it needed, the text cut and terminated.
    SAME_AS_C_LIBRARY(8, "\nGUID Value : %s", "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}");
    SAME_AS_C_LIBRARY(0, "%s", "nothing written");
}

}  // namespace
