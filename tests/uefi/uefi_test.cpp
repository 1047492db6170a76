// The tool on real UEFI firmware: OVMF's variable driver in a QEMU virtual machine, reached through
// the kernel's efivarfs. One boot runs every command line below; the tests then compare what each
// printed, byte for byte, with the expected text.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/run_capture.h"

namespace {

const std::string kVm = KESTOMANDREL_UEFI_VM;
const std::string kGlobal = "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}";
const std::string kVendor = "{4B4D5646-0001-4E6F-8000-4B45535443AE}";
const std::string kVars = "/sys/firmware/efi/efivars/";
const std::string kGlobalFile = "8be4df61-93ca-11d2-aa0d-00e098032b8c";
const std::string kVendorFile = "4b4d5646-0001-4e6f-8000-4b45535443ae";
constexpr int kLoopSeconds = 4;

const std::string kSetOk = "\nVariable Set successfully...!!!";
const std::string kGetFailed = "\nGetFirmwareEnvironment Function calls failed.Error Code : 0x";
const std::string kSetFailed = "\nSetFirmwareEnvironment Function call failed. Error Code : 0x";
const std::string kNoPrivilege =
    "\nThe token does not have the specified privilege."
    "\nError : Not able to set the Privilege for this process.Error Code : 0x514";

// Bytes that a serial console would mangle: NUL, line ends, escape, DEL and high bytes.
const std::vector<unsigned char> kFileValue = {0x00, 0x0A, 0x0D, 0x1B, 0x7F, 0x80, 0xFF, 'K', 'm'};

std::vector<unsigned char> BigValue() {
    std::vector<unsigned char> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    return bytes;
}

struct Command {
    std::string name;
    std::string line;  // for the VM's shell, run in the directory holding the data files
};

// In the order the VM runs them: each line may depend on the ones before.
std::vector<Command> Commands() {
    const std::string tool = "kestomandrel ";
    const std::string vendorVar = "KmVendorVar '" + kVendor + "'";
    return {
        {"bootorder", tool + "/g BootOrder"},
        {"bootorder-file", "cat " + kVars + "BootOrder-" + kGlobalFile},

        {"vendor-set", tool + "/s " + vendorVar + " 3 de ad 0xbe"},
        {"vendor-get", tool + "/g " + vendorVar},
        {"vendor-set-file", tool + "/s " + vendorVar + " /f value.bin"},
        {"vendor-get-file", tool + "/g " + vendorVar},
        {"vendor-stays-immutable", "printf '\\007\\000\\000\\000x' > " + kVars + "KmVendorVar-" +
                                       kVendorFile + " 2>/dev/null"},
        {"vendor-delete", tool + "/s " + vendorVar + " 0"},
        {"vendor-get-deleted", tool + "/g " + vendorVar},
        {"vendor-delete-again", tool + "/s " + vendorVar + " 0"},

        {"big-set", tool + "/s KmBigVar '" + kVendor + "' /f big.bin"},
        {"big-get", tool + "/g KmBigVar '" + kVendor + "'"},

        {"loop-testvariable", tool + "/t"},
        {"testvariable-delete", tool + "/s TestVariable '" + kGlobal + "' 0"},

        {"loop-driverorder",
         "timeout -s INT " + std::to_string(kLoopSeconds) + " " + tool + "/t DriverOrder"},
        {"driverorder-get", tool + "/g DriverOrder"},

        {"user-get", "as-user " + tool + "/g BootOrder"},
        {"user-set", "as-user " + tool + "/s KmUserVar '" + kVendor + "' 1 41"},
        {"user-set-not-written", tool + "/g KmUserVar '" + kVendor + "'"},
    };
}

struct Result {
    int status;
    std::string output;
};

std::string ReadFile(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file != nullptr) {
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.append(chunk, got);
        }
        fclose(file);
    }
    return bytes;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

// Boots the VM once, on first use, and keeps every command's result by name.
struct Boot {
    bool ran = false;
    std::string failure;
    std::map<std::string, Result> results;
};

Boot RunBoot() {
    Boot boot;
    std::string pattern = testing::TempDir() + "kestomandrel-uefi-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        boot.failure = "cannot make a temporary directory";
        return boot;
    }
    const std::string dir = buffer.data();
    const std::vector<Command> commands = Commands();
    std::string batch;
    for (const Command& command : commands) {
        batch += command.line + "\n";
    }
    std::vector<unsigned char> big = BigValue();
    if (!WriteFile(dir + "/batch", batch) ||
        !WriteFile(dir + "/value.bin", std::string(kFileValue.begin(), kFileValue.end())) ||
        !WriteFile(dir + "/big.bin", std::string(big.begin(), big.end()))) {
        boot.failure = "cannot write the batch and data files in " + dir;
        return boot;
    }

    std::string run = "'" + kVm + "' --file '" + dir + "/value.bin' --file '" + dir +
                      "/big.bin' --batch '" + dir + "/batch' --out '" + dir + "/out' 2>'" + dir +
                      "/vm.err'";
    int status = system(run.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        boot.failure = "the VM run failed: " + ReadFile(dir + "/vm.err");
        return boot;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        std::string base = dir + "/out/" + std::to_string(i + 1);
        std::string statusText = ReadFile(base + ".status");
        if (statusText.empty()) {
            boot.failure = "no result for " + commands[i].name;
            return boot;
        }
        boot.results[commands[i].name] = {atoi(statusText.c_str()), ReadFile(base + ".out")};
    }
    // Only a run that came back whole removes its directory: a failed one is left to look at.
    boot.ran = true;
    if (system(("rm -rf '" + dir + "'").c_str()) != 0) {
        printf("Could not remove %s\n", dir.c_str());
    }
    return boot;
}

const Result& Ran(const std::string& name) {
    static const Boot boot = RunBoot();
    static const Result none = {-1, ""};
    if (!boot.ran) {
        ADD_FAILURE() << boot.failure;
        return none;
    }
    auto found = boot.results.find(name);
    return found == boot.results.end() ? none : found->second;
}

std::string FileEcho(const std::vector<unsigned char>& bytes) {
    std::string text;
    char piece[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(piece, sizeof piece, "%s %02x", i % 16 == 0 ? "\n" : "", bytes[i]);
        text += piece;
    }
    return text;
}

std::string Shown(const std::string& name, const std::vector<unsigned char>& bytes) {
    return NameEcho(name) + LengthLine(static_cast<unsigned>(bytes.size())) + ReferenceDump(bytes);
}

std::vector<unsigned char> Counter(unsigned value) {
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

TEST(Uefi, BootOrderOfTheFirmware) {
    // efivarfs shows the firmware's own bytes after 4 bytes of attributes.
    const std::string file = Ran("bootorder-file").output;
    ASSERT_GT(file.size(), 4u);
    std::vector<unsigned char> value(file.begin() + 4, file.end());
    EXPECT_EQ(value.size() % 2, 0u) << "a list of 16-bit boot option numbers";
    EXPECT_EQ(Ran("bootorder").output, Shown("BootOrder", value));
    EXPECT_EQ(Ran("bootorder").status, 0);
}

TEST(Uefi, VendorVariableLifecycle) {
    const std::string echoes = NameEcho("KmVendorVar") + GuidEcho(kVendor);
    EXPECT_EQ(Ran("vendor-set").output, echoes + "\nNumber of Bytes : 3" + kSetOk);
    EXPECT_EQ(Ran("vendor-get").output, echoes + LengthLine(3) + ReferenceDump({0xDE, 0xAD, 0xBE}));

    // efivarfs made the new variable immutable: the overwrite has to lift the flag, and puts it
    // back afterwards, so a plain shell write is still refused.
    EXPECT_EQ(Ran("vendor-set-file").output, echoes + FileEcho(kFileValue) + kSetOk);
    EXPECT_EQ(
        Ran("vendor-get-file").output,
        echoes + LengthLine(static_cast<unsigned>(kFileValue.size())) + ReferenceDump(kFileValue));
    EXPECT_NE(Ran("vendor-stays-immutable").status, 0);

    EXPECT_EQ(Ran("vendor-delete").output, echoes + "\nNumber of Bytes : 0" + kSetOk);
    EXPECT_EQ(Ran("vendor-get-deleted").output, echoes + kGetFailed + "cb");
    EXPECT_EQ(Ran("vendor-delete-again").output,
              echoes + "\nNumber of Bytes : 0" + kSetFailed + "cb");
    for (const char* name : {"vendor-set", "vendor-get", "vendor-set-file", "vendor-get-file",
                             "vendor-delete", "vendor-get-deleted", "vendor-delete-again"}) {
        EXPECT_EQ(Ran(name).status, 0) << name;
    }
}

TEST(Uefi, VariableLargerThanTheGetBuffer) {
    const std::string echoes = NameEcho("KmBigVar") + GuidEcho(kVendor);
    EXPECT_EQ(Ran("big-set").output, echoes + FileEcho(BigValue()) + kSetOk);
    EXPECT_EQ(Ran("big-get").output, echoes + kGetFailed + "7a");
}

TEST(Uefi, FirmwareRefusesTestVariableUnderTheGlobalGuid) {
    EXPECT_EQ(Ran("loop-testvariable").output,
              "\nSetFirmwareEnvironment Function calls set failed at count : 0. Error Code : 0x57");
    EXPECT_EQ(Ran("loop-testvariable").status, 0);
    // The refused write leaves nothing behind: there is no variable to delete.
    EXPECT_EQ(Ran("testvariable-delete").output, NameEcho("TestVariable") + GuidEcho(kGlobal) +
                                                     "\nNumber of Bytes : 0" + kSetFailed + "cb");
}

TEST(Uefi, LoopOnDriverOrderStoppedFromOutside) {
    const Result& loop = Ran("loop-driverorder");
    EXPECT_EQ(loop.status, 130) << "stopped by SIGINT, not ended by itself";

    // Rebuild the expected text iteration by iteration and compare it whole.
    std::string expected;
    unsigned iterations = 0;
    while (expected.size() < loop.output.size()) {
        expected += "\nDriverOrder Set successfully...!!!" + LengthLine(4) +
                    ReferenceDump(Counter(iterations));
        ++iterations;
    }
    EXPECT_EQ(loop.output, expected);
    EXPECT_GE(iterations, 2u);
    printf("The loop on OVMF: %u iterations in %d s, %.1f a second\n", iterations, kLoopSeconds,
           static_cast<double>(iterations) / kLoopSeconds);

    // The variable keeps the last counter printed, or the next one when the stop came between
    // that iteration's write and its output.
    const std::string& stored = Ran("driverorder-get").output;
    EXPECT_TRUE(stored == Shown("DriverOrder", Counter(iterations - 1)) ||
                stored == Shown("DriverOrder", Counter(iterations)))
        << stored << "\nafter " << iterations << " iterations";
}

TEST(Uefi, UnprivilegedUserIsRefused) {
    EXPECT_EQ(Ran("user-get").output, NameEcho("BootOrder") + kNoPrivilege);
    EXPECT_EQ(Ran("user-get").status, 255);
    EXPECT_EQ(Ran("user-set").output,
              NameEcho("KmUserVar") + GuidEcho(kVendor) + "\nNumber of Bytes : 1" + kNoPrivilege);
    EXPECT_EQ(Ran("user-set").status, 255);
    EXPECT_EQ(Ran("user-set-not-written").output,
              NameEcho("KmUserVar") + GuidEcho(kVendor) + kGetFailed + "cb");
}

}  // namespace
