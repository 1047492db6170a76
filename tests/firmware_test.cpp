// Privilege, get, set, data files and dumps, against the test platform.
#include <gtest/gtest.h>

#ifdef __linux__
#include <unistd.h>
#endif

#include <cstdio>
#include <string>
#include <vector>

#include "firmware/dump.h"
#include "tests/run_capture.h"
#include "tests/stdout_capture.h"
#include "tests/test_platform.h"

namespace {

using testplatform::Operation;

const std::string kGlobal = "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}";
const std::string kVendor = "{12345678-9ABC-DEF0-1234-56789ABCDEF0}";
const std::string kSetOk = "\nVariable Set successfully...!!!";
const std::string kGeneralPrivilegeError =
    "\nError : Not able to set the Privilege for this process.Error Code : 0x";

std::string DumpOf(const std::vector<uint8_t>& bytes) {
    CaptureOutput();
    DumpBytes(bytes.data(), static_cast<int32_t>(bytes.size()));
    return CapturedOutput();
}

std::vector<uint8_t> Sequence(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(0x30 + i);
    }
    return bytes;
}

TEST(DumpBytes, Layouts) {
    EXPECT_EQ(DumpOf({}), AsWritten("\n In Hex Bytes:\n\n In Character Bytes:\n"));
    EXPECT_EQ(DumpOf({0x41, 0x42, 0x43}),
              AsWritten("\n In Hex Bytes:\n 41  42  43 \n\n In Character Bytes:\nA B C \n"));
    EXPECT_EQ(DumpOf({0x7F}), AsWritten("\n In Hex Bytes:\n 7F \n\n In Character Bytes:\n\x7f \n"));
    EXPECT_EQ(
        DumpOf(Sequence(16)),
        AsWritten(
            "\n In Hex Bytes:\n 30  31  32  33  34  35  36  37  38  39  3A  3B  3C  3D  3E  3F "
            "\n\n In Character Bytes:\n0 1 2 3 4 5 6 7 8 9 : ; < = > ? \n"));
    EXPECT_EQ(
        DumpOf(Sequence(17)),
        AsWritten(
            "\n In Hex Bytes:\n 30  31  32  33  34  35  36  37  38  39  3A  3B  3C  3D  3E  3F "
            "\n 40 \n\n In Character Bytes:\n0 1 2 3 4 5 6 7 8 9 : ; < = > ? \n@ \n"));
}

TEST(DumpBytes, ControlCharactersAndNulPassUnfiltered) {
    std::vector<uint8_t> bytes = {0x00, 0x0A, 0x0D, 0x1B, 0xFF};
    std::string expected = "\n In Hex Bytes:\n 00  0A  0D  1B  FF \n\n In Character Bytes:\n";
    expected += std::string("\0 \n \r \x1b \xff \n", 11);
    EXPECT_EQ(DumpOf(bytes), AsWritten(expected));
}

TEST(DumpBytes, LargeDumpMatchesReference) {
    std::vector<uint8_t> bytes(4096);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    EXPECT_EQ(DumpOf(bytes), AsWritten(ReferenceDump(bytes)));
    EXPECT_EQ(DumpOf({}), AsWritten(ReferenceDump({})));
}

TEST(EchoFileBytes, MatchesReferenceAcrossBlockBoundaries) {
    // Long enough to fill the output block several times, with a short last line.
    for (size_t size : {size_t(0), size_t(1), size_t(16), size_t(1365), size_t(5003)}) {
        std::vector<uint8_t> bytes(size);
        std::string expected;
        char cell[8];
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 13 + 5);
            snprintf(cell, sizeof cell, "%s %02x", i % 16 == 0 ? "\n" : "", bytes[i]);
            expected += cell;
        }
        fflush(stdout);
        testing::internal::CaptureStdout();
        EchoFileBytes(bytes.data(), static_cast<int32_t>(size));
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << size;
    }
}

TEST(Get, SuccessShowsLengthAndDump) {
    testplatform::Reset();
    testplatform::PutVariable("One", kGlobal, {0x5A});
    RunResult result = RunTool({"/g", "One"}, true);
    EXPECT_EQ(result.output,
              AsWritten("\nVariable Name : One\nLength : 1(0x1) bytes\n In Hex Bytes:\n 5A \n\n"
                        " In Character Bytes:\nZ \n"));
    EXPECT_EQ(result.exitCode, 0);
    std::vector<testplatform::Call> gets = testplatform::CallsOf(Operation::Get);
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].size, 4096u);
    EXPECT_FALSE(gets[0].dataNull);

    std::vector<uint8_t> full(4096, 0xA5);
    testplatform::PutVariable("Full", kVendor, full);
    result = RunTool({"/g", "Full", kVendor}, true);
    EXPECT_EQ(result.output, AsWritten(NameEcho("Full") + GuidEcho(kVendor) +
                                       "\nLength : 4096(0x1000) bytes" + ReferenceDump(full)));
}

TEST(Get, FailuresPrintTheErrorCode) {
    RunResult missing = RunTool({"/g", "Missing"});
    EXPECT_EQ(missing.output,
              AsWritten(NameEcho("Missing") +
                        "\nGetFirmwareEnvironment Function calls failed.Error Code : "
                        "0xcb"));
    EXPECT_EQ(missing.exitCode, 0);

    testplatform::Reset();
    testplatform::PutVariable("Big", kGlobal, std::vector<uint8_t>(4097, 1));
    RunResult big = RunTool({"/g", "Big"}, true);
    EXPECT_EQ(big.output,
              AsWritten(NameEcho("Big") +
                        "\nGetFirmwareEnvironment Function calls failed.Error Code : 0x7a"));

    testplatform::Reset();
    testplatform::FailCall(Operation::Get, 1, 0x5AA);
    RunResult injected = RunTool({"/g", "Any"}, true);
    EXPECT_EQ(
        injected.output,
        AsWritten(NameEcho("Any") + "\nGetFirmwareEnvironment Function calls failed.Error Code : "
                                    "0x5aa"));
}

TEST(Get, OverstatedLengthNeverDumpsPastTheBuffer) {
    testplatform::Reset();
    testplatform::PutVariable("Odd", kGlobal, {0x41});
    testplatform::OverstateGetLength(5000);
    RunResult result = RunTool({"/g", "Odd"}, true);
    // The whole 4096-byte buffer is dumped (the platform zeroes what it did not fill), no more.
    std::vector<uint8_t> buffer(4096, 0);
    buffer[0] = 0x41;
    EXPECT_EQ(result.output,
              AsWritten(NameEcho("Odd") + "\nLength : 5000(0x1388) bytes" + ReferenceDump(buffer)));
}

TEST(Set, InlineBytesAndDelete) {
    RunResult result = RunTool({"/s", "Var", kVendor, "3", "de", "0xAD", "bEeF"});
    EXPECT_EQ(result.output,
              AsWritten(NameEcho("Var") + GuidEcho(kVendor) + "\nNumber of Bytes : 3" + kSetOk));
    std::vector<testplatform::Call> sets = testplatform::CallsOf(Operation::Set);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].name, "Var");
    EXPECT_EQ(sets[0].guid, kVendor);
    EXPECT_EQ(sets[0].size, 3u);
    EXPECT_EQ(sets[0].data, (std::vector<uint8_t>{0xDE, 0xAD, 0xEF}));

    // A count of 0 passes no data and size 0: the platform deletes the variable.
    RunResult erase = RunTool({"/s", "Var", kVendor, "0"}, true);
    EXPECT_EQ(erase.output,
              AsWritten(NameEcho("Var") + GuidEcho(kVendor) + "\nNumber of Bytes : 0" + kSetOk));
    sets = testplatform::CallsOf(Operation::Set);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_TRUE(sets[1].dataNull);
    EXPECT_EQ(sets[1].size, 0u);
    EXPECT_FALSE(testplatform::HasVariable("Var", kVendor));

    RunResult again = RunTool({"/s", "Var", kVendor, "0"}, true);
    EXPECT_EQ(again.output,
              AsWritten(NameEcho("Var") + GuidEcho(kVendor) + "\nNumber of Bytes : 0" +
                        "\nSetFirmwareEnvironment Function call failed. Error Code : 0xcb"));
    EXPECT_EQ(again.exitCode, 0);
}

TEST(Set, FromFile) {
    std::vector<uint8_t> bytes = Sequence(17);
    std::string path = WriteTempFile("seventeen", bytes);
    RunResult result = RunTool({"/s", "Var", kVendor, "/f", path, "ignored", "too"});
    EXPECT_EQ(result.output,
              AsWritten(NameEcho("Var") + GuidEcho(kVendor) +
                        "\n 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f\n 40" + kSetOk));
    EXPECT_EQ(testplatform::Variable("Var", kVendor), bytes);

    // An empty file is written as a valid pointer with size 0, and nothing is echoed.
    std::string empty = WriteTempFile("empty", {});
    result = RunTool({"/s", "Var", kVendor, "/f", empty}, true);
    EXPECT_EQ(result.output, AsWritten(NameEcho("Var") + GuidEcho(kVendor) + kSetOk));
    std::vector<testplatform::Call> sets = testplatform::CallsOf(Operation::Set);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_FALSE(sets[1].dataNull);
    EXPECT_EQ(sets[1].size, 0u);
    remove(path.c_str());
    remove(empty.c_str());
}

TEST(DataFile, BytesThatATextModeReadWouldChangeArriveExactly) {
    // CR LF, a lone LF, a NUL and 0x1A (end of file to a text-mode read on Windows): read in binary
    // mode, the file's size and bytes are its own.
    std::vector<uint8_t> bytes = {0x0D, 0x0A, 0x41, 0x1A, 0x0A, 0x00, 0x42, 0x0D};
    std::string path = WriteTempFile("textbytes", bytes);
    RunResult result = RunTool({"/s", "Var", kVendor, "/f", path});
    EXPECT_EQ(result.output, AsWritten(NameEcho("Var") + GuidEcho(kVendor) +
                                       "\n 0d 0a 41 1a 0a 00 42 0d" + kSetOk));
    EXPECT_EQ(testplatform::Variable("Var", kVendor), bytes);
    remove(path.c_str());
}

TEST(Set, FailureAfterFileStillReportsAndFrees) {
    std::string path = WriteTempFile("failing", {1, 2});
    testplatform::Reset();
    testplatform::FailCall(Operation::Set, 1, 0x57);
    RunResult result = RunTool({"/s", "Var", kVendor, "/f", path}, true);
    EXPECT_EQ(result.output,
              AsWritten(NameEcho("Var") + GuidEcho(kVendor) + "\n 01 02" +
                        "\nSetFirmwareEnvironment Function call failed. Error Code : 0x57"));
    EXPECT_EQ(result.exitCode, 0);
    remove(path.c_str());
}

TEST(DataFile, UnusableFilesEndTheRunBeforeThePlatform) {
    const std::string echoes = NameEcho("Var") + GuidEcho(kVendor);
    RunResult missing = RunTool({"/s", "Var", kVendor, "/f", "/nonexistent/kestomandrel.bin"});
    EXPECT_EQ(missing.output, AsWritten(echoes + "\nError in opening the file"));
    EXPECT_EQ(missing.exitCode, 0);
    EXPECT_TRUE(testplatform::Calls().empty());

#ifdef __linux__
    // A /proc file measures as empty but is not: written as measured, the set of 0 bytes would
    // delete the variable.
    RunResult unmeasured = RunTool({"/s", "Var", kVendor, "/f", "/proc/self/status"});
    EXPECT_EQ(unmeasured.output, AsWritten(echoes + "\nError in reading the file"));
    EXPECT_TRUE(testplatform::Calls().empty());

    // sysfs reports a nominal size larger than what a read yields: never write the unread rest.
    FILE* nominal = fopen("/sys/devices/system/cpu/online", "rb");
    if (nominal != nullptr) {
        fclose(nominal);
        RunResult shortRead =
            RunTool({"/s", "Var", kVendor, "/f", "/sys/devices/system/cpu/online"});
        EXPECT_EQ(shortRead.output, AsWritten(echoes + "\nError in reading the file"));
        EXPECT_EQ(shortRead.exitCode, 0);
        EXPECT_TRUE(testplatform::Calls().empty());
    }

    // A directory opens but cannot be read.
    RunResult directory = RunTool({"/s", "Var", kVendor, "/f", "/"});
    EXPECT_EQ(directory.exitCode, 0);
    EXPECT_TRUE(directory.output == AsWritten(echoes + "\nError in reading the file") ||
                directory.output ==
                    AsWritten(echoes + "\nError in allocating memory for input data"))
        << directory.output;
    EXPECT_TRUE(testplatform::Calls().empty());
#endif
}

#ifdef __linux__
TEST(DataFile, SizesBeyondASignedCountAreRefusedNotWrapped) {
    // Sparse files: no disk space is used. Cut to 32 bits, 4 GiB would read as 0 (a delete) and
    // 4 GiB + 3 as 3 bytes.
    const off_t sizes[] = {off_t(1) << 31, off_t(1) << 32, (off_t(1) << 32) + 3};
    std::string path = WriteTempFile("sparse", {});
    for (off_t size : sizes) {
        if (truncate(path.c_str(), size) != 0) {
            remove(path.c_str());
            GTEST_SKIP() << "this file system has no sparse files of " << size << " bytes";
        }
        RunResult result = RunTool({"/s", "Var", kVendor, "/f", path});
        EXPECT_EQ(result.output, AsWritten(NameEcho("Var") + GuidEcho(kVendor) +
                                           "\nError in allocating memory for input data"))
            << size;
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(testplatform::Calls().empty());
    }
    remove(path.c_str());
}
#endif

TEST(Privilege, HeldPrivilegePrintsNothingAndAsksForTheRightThings) {
    testplatform::Reset();
    testplatform::PutVariable("V", kGlobal, {1});
    RunResult result = RunTool({"/g", "V"}, true);
    EXPECT_EQ(result.output, AsWritten(NameEcho("V") + LengthLine(1) + ReferenceDump({1})));

    const std::vector<testplatform::Call>& calls = testplatform::Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].operation, Operation::OpenToken);
    EXPECT_EQ(calls[0].size, 0x20028u);
    EXPECT_EQ(calls[1].operation, Operation::LookupPrivilege);
    EXPECT_EQ(calls[1].name, "SeSystemEnvironmentPrivilege");
    EXPECT_EQ(calls[1].guid, "(null)");  // the local system
    EXPECT_EQ(calls[2].operation, Operation::AdjustPrivileges);
    EXPECT_EQ(calls[2].size, 16u);
    EXPECT_FALSE(calls[2].dataNull);  // no disable-all, previous state or return length
    // One entry: count 1, the looked-up LUID 22, enabled.
    std::vector<uint8_t> entry(16, 0);
    entry[0] = 1;
    entry[4] = 22;
    entry[12] = 2;
    EXPECT_EQ(calls[2].data, entry);
    EXPECT_EQ(calls[3].operation, Operation::Get);
}

TEST(Privilege, EachFailureEndsWithMinusOneBeforeAnyFirmwareCall) {
    struct Case {
        Operation failing;
        DWORD error;
        std::string output;
    } cases[] = {
        {Operation::OpenToken, 5, "\nError: Couldn't open the process token.Error Code : 0x5"},
        {Operation::LookupPrivilege, 1313,
         "\nLookupPrivilegeValue error: 1313" + kGeneralPrivilegeError + "521"},
        {Operation::AdjustPrivileges, 1314,
         "\nAdjustTokenPrivileges error: 1314" + kGeneralPrivilegeError + "522"},
    };
    for (const Case& c : cases) {
        testplatform::Reset();
        testplatform::FailCall(c.failing, 1, c.error);
        RunResult result = RunTool({"/g", "V"}, true);
        EXPECT_EQ(result.output, AsWritten(NameEcho("V") + c.output));
        EXPECT_EQ(result.exitCode, -1);
        EXPECT_TRUE(testplatform::CallsOf(Operation::Get).empty());
    }

    testplatform::Reset();
    testplatform::TokenLacksPrivilege();
    RunResult lacking = RunTool({"/s", "V", kVendor, "1", "ff"}, true);
    EXPECT_EQ(lacking.output,
              AsWritten(NameEcho("V") + GuidEcho(kVendor) + "\nNumber of Bytes : 1" +
                        "\nThe token does not have the specified privilege." +
                        kGeneralPrivilegeError + "514"));
    EXPECT_EQ(lacking.exitCode, -1);
    EXPECT_TRUE(testplatform::CallsOf(Operation::Set).empty());

    // The loop too waits for the privilege.
    testplatform::Reset();
    testplatform::TokenLacksPrivilege();
    RunResult loop = RunTool({"/t"}, true);
    EXPECT_EQ(loop.output, AsWritten("\nThe token does not have the specified privilege." +
                                     kGeneralPrivilegeError + "514"));
    EXPECT_EQ(loop.exitCode, -1);
    EXPECT_TRUE(testplatform::CallsOf(Operation::Set).empty());
}

TEST(Privilege, FileBlockOfAFailedRunIsReleased) {
    // Under the sanitizer build a leaked block fails the run.
    std::string path = WriteTempFile("unprivileged", {9});
    testplatform::Reset();
    testplatform::TokenLacksPrivilege();
    RunResult result = RunTool({"/s", "V", kVendor, "/f", path}, true);
    EXPECT_EQ(result.exitCode, -1);
    remove(path.c_str());
}

}  // namespace
