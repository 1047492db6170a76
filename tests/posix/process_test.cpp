// The built tool as a process: exit statuses, the real privilege check, and a build whose
// variables live in a directory of the tests' own.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string kTool = KESTOMANDREL_TOOL;         // default efivars directory
const std::string kDirTool = KESTOMANDREL_DIR_TOOL;  // variables in kEfivars
const std::string kEfivars = KESTOMANDREL_TEST_EFIVARS;
const std::string kGlobalFile = "8be4df61-93ca-11d2-aa0d-00e098032b8c";
const std::string kVendor = "{12345678-9ABC-DEF0-1234-56789ABCDEF0}";
const std::string kVendorFile = "12345678-9abc-def0-1234-56789abcdef0";

struct Outcome {
    int status;
    std::string output;
};

Outcome Shell(const std::string& command) {
    Outcome outcome = {-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        outcome.output.append(chunk, got);
    }
    int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

std::string FileBytes(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file != nullptr) {
        int c;
        while ((c = fgetc(file)) != EOF) {
            bytes += static_cast<char>(c);
        }
        fclose(file);
    }
    return bytes;
}

void ResetEfivars() {
    ASSERT_EQ(system(("rm -rf '" + kEfivars + "' && mkdir -p '" + kEfivars + "'").c_str()), 0);
}

TEST(Process, ExitStatuses) {
    Outcome usage = Shell(kTool);
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.output.substr(0, 8), "\nUsage:\n");

    Outcome wrong = Shell(kTool + " /x Name");
    EXPECT_EQ(wrong.status, 0);
    EXPECT_EQ(wrong.output.substr(0, 22), "\nError : Invalid Usage");
}

TEST(Process, NoFirmwareMeansInvalidFunction) {
    if (access("/sys/firmware/efi/efivars", F_OK) == 0) {
        GTEST_SKIP() << "this machine has UEFI variables";
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for the privilege";
    }
    Outcome get = Shell(kTool + " /g BootOrder");
    EXPECT_EQ(get.output,
              "\nVariable Name : BootOrder"
              "\nGetFirmwareEnvironment Function calls failed.Error Code : 0x1");
    EXPECT_EQ(get.status, 0);
}

TEST(Process, UnprivilegedUserIsRefused) {
    if (geteuid() != 0 || system("command -v setpriv >/dev/null") != 0) {
        GTEST_SKIP() << "needs root and setpriv to become another user";
    }
    ResetEfivars();
    Outcome refused = Shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + kDirTool +
                            " /s Name " + kVendor + " 1 41");
    EXPECT_EQ(refused.output,
              "\nVariable Name : Name\nGUID Value : " + kVendor +
                  "\nNumber of Bytes : 1"
                  "\nThe token does not have the specified privilege."
                  "\nError : Not able to set the Privilege for this process.Error Code : 0x514");
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(Shell("ls -A '" + kEfivars + "'").output, "");
}

TEST(Process, VariablesInADirectory) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for the privilege";
    }
    ResetEfivars();
    const std::string file = kEfivars + "/Var-" + kVendorFile;
    const std::string echoes = "\nVariable Name : Var\nGUID Value : " + kVendor;

    Outcome set = Shell(kDirTool + " /s Var " + kVendor + " 2 41 42");
    EXPECT_EQ(set.output, echoes + "\nNumber of Bytes : 2\nVariable Set successfully...!!!");
    EXPECT_EQ(FileBytes(file), std::string("\x07\0\0\0AB", 6));

    Outcome get = Shell(kDirTool + " /g Var " + kVendor);
    EXPECT_EQ(get.output, echoes +
                              "\nLength : 2(0x2) bytes\n In Hex Bytes:\n 41  42 \n\n"
                              " In Character Bytes:\nA B \n");

    const std::string data = kEfivars + "/../data.bin";
    ASSERT_EQ(system(("printf 'xyz' > '" + data + "'").c_str()), 0);
    Outcome fromFile = Shell(kDirTool + " /s Var " + kVendor + " /f " + data);
    EXPECT_EQ(fromFile.output, echoes + "\n 78 79 7a\nVariable Set successfully...!!!");
    EXPECT_EQ(FileBytes(file), std::string("\x07\0\0\0xyz", 7));

    Outcome erase = Shell(kDirTool + " /s Var " + kVendor + " 0");
    EXPECT_EQ(erase.output, echoes + "\nNumber of Bytes : 0\nVariable Set successfully...!!!");
    EXPECT_EQ(access(file.c_str(), F_OK), -1);
    Outcome missing = Shell(kDirTool + " /g Var " + kVendor);
    EXPECT_EQ(missing.output,
              echoes + "\nGetFirmwareEnvironment Function calls failed.Error Code : 0xcb");
    EXPECT_EQ(missing.status, 0);

    Outcome badGuid = Shell(kDirTool + " /s Var 8BE4DF61-93CA-11D2-AA0D-00E098032B8C 1 1");
    EXPECT_EQ(badGuid.output,
              "\nVariable Name : Var\nGUID Value : "
              "8BE4DF61-93CA-11D2-AA0D-00E098032B8C\nNumber of Bytes : 1"
              "\nSetFirmwareEnvironment Function call failed. Error Code : 0x57");
}

TEST(Process, LoopStoppedFromOutsideEndsOnAWholeIteration) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for the privilege";
    }
    ResetEfivars();
    const double seconds = 1.5;
    auto start = std::chrono::steady_clock::now();
    Outcome loop = Shell("timeout -s INT " + std::to_string(seconds) + " " + kDirTool + " /t Loop");
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(loop.status, 124);  // stopped by timeout, not ended by itself

    // Rebuild the expected text iteration by iteration and compare it whole.
    std::string expected;
    int iterations = 0;
    while (expected.size() < loop.output.size()) {
        unsigned char c[4] = {static_cast<unsigned char>(iterations),
                              static_cast<unsigned char>(iterations >> 8), 0, 0};
        char hex[64];
        snprintf(hex, sizeof hex, "\n %02X  %02X  00  00 ", c[0], c[1]);
        expected += "\nLoop Set successfully...!!!\nLength : 4(0x4) bytes\n In Hex Bytes:";
        expected += hex;
        expected += "\n\n In Character Bytes:\n";
        expected += std::string(1, static_cast<char>(c[0])) + " " +
                    std::string(1, static_cast<char>(c[1])) + " " + std::string("\0 \0 \n", 5);
        ++iterations;
    }
    EXPECT_EQ(loop.output, expected);

    // The pause paces the loop: no more than one iteration per 50 ms, and not far below that.
    int paced = static_cast<int>(elapsed / 0.050) + 1;
    EXPECT_LE(iterations, paced);
    EXPECT_GE(iterations, paced / 2);

    // The variable holds the last counter printed, or the next one when the stop came between the
    // write and the output of that iteration.
    std::string stored = FileBytes(kEfivars + "/Loop-" + kGlobalFile);
    ASSERT_EQ(stored.size(), 8u);
    unsigned value = static_cast<unsigned char>(stored[4]) | static_cast<unsigned char>(stored[5])
                                                                 << 8;
    EXPECT_TRUE(value == static_cast<unsigned>(iterations - 1) ||
                value == static_cast<unsigned>(iterations))
        << value << " after " << iterations << " iterations";
}

}  // namespace
