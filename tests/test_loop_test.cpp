// The write-read loop, driven until an injected failure ends it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/run_capture.h"
#include "tests/stdout_capture.h"
#include "tests/test_platform.h"

namespace {

using testplatform::Operation;

const std::string kGlobal = "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}";

std::string Iteration(const std::string& name, const std::vector<uint8_t>& counter) {
    return "\n" + name + " Set successfully...!!!" + LengthLine(4) + ReferenceDump(counter);
}

TEST(TestLoop, FirstIterationsAndSetFailure) {
    testplatform::Reset();
    testplatform::FailCall(Operation::Set, 3, 0x57);
    RunResult result = RunTool({"/t"}, true);
    EXPECT_EQ(
        result.output,
        AsWritten(Iteration("TestVariable", {0, 0, 0, 0}) +
                  Iteration("TestVariable", {1, 0, 0, 0}) +
                  "\nSetFirmwareEnvironment Function calls set failed at count : 2. Error Code : "
                  "0x57"));
    EXPECT_EQ(result.exitCode, 0);
    const std::string first = AsWritten(
        "\nTestVariable Set successfully...!!!\nLength : 4(0x4) bytes\n In Hex Bytes:\n 00  00  00 "
        " 00 \n\n In Character Bytes:\n" +
        std::string("\0 \0 \0 \0 \n", 9));
    EXPECT_EQ(result.output.substr(0, first.size()), first);

    // Set, get and pause in turn, and no pause after the failing call.
    std::vector<Operation> expected = {Operation::OpenToken,
                                       Operation::LookupPrivilege,
                                       Operation::AdjustPrivileges,
                                       Operation::Set,
                                       Operation::Get,
                                       Operation::Sleep,
                                       Operation::Set,
                                       Operation::Get,
                                       Operation::Sleep,
                                       Operation::Set};
    std::vector<Operation> made;
    for (const testplatform::Call& call : testplatform::Calls()) {
        made.push_back(call.operation);
    }
    EXPECT_EQ(made, expected);
    for (const testplatform::Call& pause : testplatform::CallsOf(Operation::Sleep)) {
        EXPECT_EQ(pause.size, 50u);
    }
    for (const testplatform::Call& get : testplatform::CallsOf(Operation::Get)) {
        EXPECT_EQ(get.size, 256u);
    }
    // The variable keeps the last counter written.
    EXPECT_EQ(testplatform::Variable("TestVariable", kGlobal), (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST(TestLoop, CounterIsLittleEndianAcrossManyIterations) {
    testplatform::Reset();
    testplatform::FailCall(Operation::Set, 300, 0x5AA);
    RunResult result = RunTool({"/t", "DriverOrder"}, true);
    std::vector<testplatform::Call> sets = testplatform::CallsOf(Operation::Set);
    ASSERT_EQ(sets.size(), 300u);
    EXPECT_EQ(sets[0].data, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(sets[1].data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(sets[255].data, (std::vector<uint8_t>{0xFF, 0, 0, 0}));
    EXPECT_EQ(sets[256].data, (std::vector<uint8_t>{0, 1, 0, 0}));
    EXPECT_EQ(sets[298].data, (std::vector<uint8_t>{0x2A, 1, 0, 0}));
    EXPECT_EQ(testplatform::CallsOf(Operation::Sleep).size(), 299u);
    const std::string tail = AsWritten(
        "\nSetFirmwareEnvironment Function calls set failed at count : 299. Error Code : 0x5aa");
    ASSERT_GE(result.output.size(), tail.size());
    EXPECT_EQ(result.output.substr(result.output.size() - tail.size()), tail);
    const std::string last = AsWritten(Iteration("DriverOrder", {0x2A, 1, 0, 0})) + tail;
    EXPECT_EQ(result.output.substr(result.output.size() - last.size()), last);
}

TEST(TestLoop, AlwaysUsesTheGlobalGuidAndStopsOnReadFailure) {
    testplatform::Reset();
    testplatform::FailCall(Operation::Get, 2, 0x1F);
    // Only /t reaches the loop, so the request's GUID is always the global one; the calls must
    // name it regardless.
    RunResult result = RunTool({"/t", "Named"}, true);
    EXPECT_EQ(
        result.output,
        AsWritten(Iteration("Named", {0, 0, 0, 0}) + "\nNamed Set successfully...!!!" +
                  "\nGetFirmwareEnvironment Function calls failed @ count : 1.Error Code : 0x1f"));
    for (const testplatform::Call& call : testplatform::Calls()) {
        if (call.operation == Operation::Set || call.operation == Operation::Get) {
            EXPECT_EQ(call.guid, kGlobal);
            EXPECT_EQ(call.name, "Named");
        }
    }
    EXPECT_EQ(testplatform::CallsOf(Operation::Sleep).size(), 1u);
}

TEST(TestLoop, FailureInFirstIterationPrintsOnlyTheMessage) {
    testplatform::Reset();
    testplatform::FailCall(Operation::Set, 1, 0x57);
    RunResult result = RunTool({"/t"}, true);
    EXPECT_EQ(
        result.output,
        AsWritten(
            "\nSetFirmwareEnvironment Function calls set failed at count : 0. Error Code : 0x57"));
    EXPECT_TRUE(testplatform::CallsOf(Operation::Get).empty());
    EXPECT_TRUE(testplatform::CallsOf(Operation::Sleep).empty());
}

}  // namespace
