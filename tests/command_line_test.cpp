// The command line: usage screen, argument errors, echoes, and what reaches the platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "tests/run_capture.h"
#include "tests/stdout_capture.h"
#include "tests/test_platform.h"

namespace {

const std::string kGlobal = "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}";
const std::string kVendor = "{12345678-9ABC-DEF0-1234-56789ABCDEF0}";
const std::string kCountError = "\nError : Invalid number of command line arguments";
const std::string kUsageError = "\nError : Invalid Usage";
const std::string kBytesError = "\nError : Invalid Number of Bytes given as input";
const std::string kTooLong = "\nError : Argument exceeds 255 characters";

// An argument error: the output is exactly what is expected, the exit code 0, and the platform
// is never called.
void ExpectRejected(const std::vector<std::string>& arguments, const std::string& output) {
    RunResult result = RunTool(arguments);
    EXPECT_EQ(result.output, AsWritten(output)) << "arguments starting " << arguments[0];
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(testplatform::Calls().empty());
}

TEST(Usage, NoArgumentsPrintsUsageAndExitsWithOne) {
    RunResult result = RunTool({});
    EXPECT_EQ(result.output, AsWritten(Usage()));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(testplatform::Calls().empty());
}

TEST(Usage, DescriptionsStartAtColumn26) {
    std::string usage = Usage();
    size_t start = usage.find("/g  ");
    ASSERT_NE(start, std::string::npos);
    int optionLines = 0;
    for (size_t at = start; at < usage.size(); at = usage.find('\n', at) + 1) {
        std::string line = usage.substr(at, usage.find('\n', at) - at);
        ASSERT_GT(line.size(), 25u);
        EXPECT_TRUE(line[23] == ' ' && line[24] == ' ' && line[25] != ' ') << line;
        ++optionLines;
    }
    EXPECT_EQ(optionLines, 9);
}

TEST(ArgumentErrors, CountAndUsageErrors) {
    ExpectRejected({"/g"}, kCountError + Usage());
    ExpectRejected({"/s"}, kCountError + Usage());
    ExpectRejected({"TestVariable"}, kCountError + Usage());
    ExpectRejected({"/t", "One", "Two"}, kCountError + Usage());
    ExpectRejected({"/g", "Name", kGlobal, "extra"}, kCountError + Usage());
    ExpectRejected({"/x", "Name"}, kUsageError + Usage());
    ExpectRejected({"/G", "Name"}, kUsageError + Usage());
    ExpectRejected({"/T", "Name"}, kUsageError + Usage());
    ExpectRejected({"g", "Name", kGlobal}, kUsageError + Usage());
}

TEST(ArgumentErrors, SetWithoutDataArgumentEchoesNothing) {
    ExpectRejected({"/s", "Name"}, kCountError + Usage());
    ExpectRejected({"/s", "Name", kVendor}, kCountError + Usage());
}

TEST(ArgumentErrors, FileSwitchWithoutFileName) {
    ExpectRejected({"/s", "Name", kVendor, "/f"},
                   NameEcho("Name") + GuidEcho(kVendor) + kCountError + Usage());
}

TEST(ArgumentErrors, ByteCountMustMatchTheData) {
    ExpectRejected(
        {"/s", "Name", kVendor, "3", "41", "42"},
        NameEcho("Name") + GuidEcho(kVendor) + "\nNumber of Bytes : 3" + kBytesError + Usage());
    ExpectRejected(
        {"/s", "Name", kVendor, "1", "41", "42"},
        NameEcho("Name") + GuidEcho(kVendor) + "\nNumber of Bytes : 1" + kBytesError + Usage());
    // Without a GUID the count stands in the GUID's place and the first byte is read as the count.
    ExpectRejected(
        {"/s", "Name", "2", "41", "42"},
        NameEcho("Name") + GuidEcho("2") + "\nNumber of Bytes : 41" + kBytesError + Usage());
}

TEST(ArgumentErrors, OverlongArgumentsAreRejectedNotCut) {
    std::string longest(255, 'N');
    std::string tooLong(256, 'N');
    ExpectRejected({"/g", tooLong}, kTooLong + Usage());
    ExpectRejected({"/g", "Name", tooLong}, NameEcho("Name") + kTooLong + Usage());
    ExpectRejected({"/s", "Name", tooLong, "1", "41"}, NameEcho("Name") + kTooLong + Usage());
    ExpectRejected({"/s", "Name", kVendor, "/f", tooLong},
                   NameEcho("Name") + GuidEcho(kVendor) + kTooLong + Usage());
    // Were the name cut instead, the loop would start: a failing first write keeps it finite.
    testplatform::Reset();
    testplatform::FailCall(testplatform::Operation::Set, 1, ERROR_INVALID_PARAMETER);
    RunResult loop = RunTool({"/t", tooLong}, true);
    EXPECT_EQ(loop.output, AsWritten(kTooLong + Usage()));
    EXPECT_EQ(loop.exitCode, 0);
    EXPECT_TRUE(testplatform::Calls().empty());

    // 255 characters still fit, and reach the platform whole.
    testplatform::Reset();
    RunResult result = RunTool({"/g", longest});
    std::string echo = AsWritten(NameEcho(longest));
    EXPECT_EQ(result.output.substr(0, echo.size()), echo);
    ASSERT_EQ(testplatform::CallsOf(testplatform::Operation::Get).size(), 1u);
    EXPECT_EQ(testplatform::CallsOf(testplatform::Operation::Get)[0].name, longest);
}

TEST(Echoes, GetWithAndWithoutGuid) {
    testplatform::Reset();
    testplatform::PutVariable("Boot", kGlobal, {0x41});
    testplatform::PutVariable("Boot", kVendor, {0x42});

    RunResult plain = RunTool({"/g", "Boot"}, true);
    EXPECT_EQ(plain.output, AsWritten(NameEcho("Boot") + LengthLine(1) + ReferenceDump({0x41})));
    EXPECT_EQ(testplatform::CallsOf(testplatform::Operation::Get).back().guid, kGlobal);

    RunResult vendor = RunTool({"/g", "Boot", kVendor}, true);
    EXPECT_EQ(vendor.output, AsWritten(NameEcho("Boot") + GuidEcho(kVendor) + LengthLine(1) +
                                       ReferenceDump({0x42})));
    EXPECT_EQ(testplatform::CallsOf(testplatform::Operation::Get).back().guid, kVendor);
}

TEST(Echoes, InlineDataIsNotEchoed) {
    RunResult result = RunTool({"/s", "Name", kVendor, "2", "41", "42"});
    EXPECT_EQ(result.output,
              AsWritten(NameEcho("Name") + GuidEcho(kVendor) + "\nNumber of Bytes : 2" +
                        "\nVariable Set successfully...!!!"));
    EXPECT_EQ(testplatform::Variable("Name", kVendor), (std::vector<uint8_t>{0x41, 0x42}));
}

TEST(Echoes, CountEchoIsLowerCaseHexWithoutPrefix) {
    std::vector<std::string> arguments = {"/s", "Name", kVendor, "0x1F"};
    for (int i = 0; i < 0x1F; ++i) {
        arguments.push_back("ff");
    }
    RunResult result = RunTool(arguments);
    EXPECT_NE(result.output.find(AsWritten("\nNumber of Bytes : 1f\n")), std::string::npos);
    EXPECT_EQ(testplatform::Variable("Name", kVendor), std::vector<uint8_t>(0x1F, 0xFF));
}

TEST(Echoes, UpperCaseFileSwitchIsACount) {
    // /F parses as the count 0x0F; with no fifteen bytes after it the count check refuses it.
    ExpectRejected(
        {"/s", "Name", kVendor, "/F", "file.bin"},
        NameEcho("Name") + GuidEcho(kVendor) + "\nNumber of Bytes : f" + kBytesError + Usage());
}

TEST(ParseHexByte, Samples) {
    struct Sample {
        const char* text;
        unsigned value;
    } samples[] = {
        {"102", 0x02}, {"0x10", 0x10}, {"1G", 0x01},  {"fF", 0xFF},  {"zz", 0x00},
        {"", 0x00},    {"0", 0x00},    {"9", 0x09},   {"a", 0x0A},   {"F", 0x0F},
        {"AbC", 0xBC}, {"-7", 0x07},   {"1 2", 0x12}, {"gg1", 0x01}, {"00ff", 0xFF},
    };
    for (const Sample& sample : samples) {
        EXPECT_EQ(ParseHexByte(sample.text), sample.value) << '"' << sample.text << '"';
    }
}

TEST(TestMode, NameAndDefault) {
    // The loop itself is exercised elsewhere; here only what parsing hands it.
    testplatform::Reset();
    testplatform::FailCall(testplatform::Operation::Set, 1, ERROR_INVALID_PARAMETER);
    RunTool({"/t"}, true);
    ASSERT_EQ(testplatform::CallsOf(testplatform::Operation::Set).size(), 1u);
    EXPECT_EQ(testplatform::CallsOf(testplatform::Operation::Set)[0].name, "TestVariable");

    testplatform::Reset();
    testplatform::FailCall(testplatform::Operation::Set, 1, ERROR_INVALID_PARAMETER);
    RunTool({"/t", "Other"}, true);
    ASSERT_EQ(testplatform::CallsOf(testplatform::Operation::Set).size(), 1u);
    EXPECT_EQ(testplatform::CallsOf(testplatform::Operation::Set)[0].name, "Other");
}

}  // namespace
