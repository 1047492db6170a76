// The whole run, from the argument vector to the firmware calls, against the in-memory platform.
//
// Input layout: the first byte chooses the platform's behaviour (see Behaviour). The rest, up to
// the first NUL byte, is the command line: arguments separated by '\n' (a real argument cannot hold
// a NUL, so that byte is free to mark the end). What follows the NUL is the data file's content: a
// set from a file reads it from a temporary file that stands in for the name after "/f".
//
// Beyond "no crash, no leak", every run is checked against an independent reading of the command
// line: no firmware call before the privilege stage or after an argument error, and the bytes a
// set hands the platform are exactly the ones the command line or the file gave, in order.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/run.h"
#include "tests/test_platform.h"

namespace {

using testplatform::Call;
using testplatform::Operation;

const char kGlobalGuid[] = "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}";
constexpr size_t kMaxArguments = 300;
constexpr DWORD kInjectedError = 0x1F;

std::string dataFilePath;
int dataFileFd = -1;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

// The first input byte: which operation fails, at which call, and how a get misbehaves.
struct Behaviour {
    int failing;  // 0 none, 1 token, 2 lookup, 3 adjust, 4 get, 5 set, 6 token lacks privilege
    int callNumber;
    bool overstateLength;
};

Behaviour ReadBehaviour(uint8_t byte) {
    Behaviour behaviour;
    behaviour.failing = byte % 7;
    behaviour.callNumber = 1 + ((byte >> 3) & 3);
    behaviour.overstateLength = (byte & 0x80) != 0;
    return behaviour;
}

void ApplyBehaviour(const Behaviour& behaviour) {
    static const Operation kOperations[] = {Operation::OpenToken, Operation::LookupPrivilege,
                                            Operation::AdjustPrivileges, Operation::Get,
                                            Operation::Set};
    if (behaviour.failing >= 1 && behaviour.failing <= 5) {
        testplatform::FailCall(kOperations[behaviour.failing - 1], behaviour.callNumber,
                               kInjectedError);
    }
    if (behaviour.failing == 6) {
        testplatform::TokenLacksPrivilege();
    }
    if (behaviour.failing != 5) {
        // The loop only ends on a failed call: make sure one comes.
        testplatform::FailCall(Operation::Set, 3, kInjectedError);
    }
    if (behaviour.overstateLength) {
        testplatform::OverstateGetLength(5000);
    }
}

bool PrivilegeFails(const Behaviour& behaviour) {
    return behaviour.failing == 6 ||
           (behaviour.failing >= 1 && behaviour.failing <= 3 && behaviour.callNumber == 1);
}

// What the command line asks for, read independently of the program's parser.
struct Expected {
    bool argumentError = false;
    bool noArguments = false;
    char mode = 'g';  // 'g', 's' or 't'
    std::string name;
    std::string guid = kGlobalGuid;
    bool fromFile = false;
    std::vector<uint8_t> data;
};

// Only the hex digits count, and of those only the last two.
uint8_t HexValue(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (strchr("0123456789abcdefABCDEF", c) != nullptr && c != '\0') {
            digits += c;
        }
    }
    if (digits.size() > 2) {
        digits = digits.substr(digits.size() - 2);
    }
    return static_cast<uint8_t>(digits.empty() ? 0 : strtoul(digits.c_str(), nullptr, 16));
}

Expected Interpret(const std::vector<std::string>& args, const std::vector<uint8_t>& file) {
    Expected expected;
    size_t argc = args.size();
    if (argc == 1) {
        expected.noArguments = true;
        return expected;
    }
    // Every argument the run takes must fit in 255 characters; refusing one ends the run.
    auto fits = [](const std::string& text) { return text.size() <= 255; };
    const std::string& command = args[1];
    if (command == "/t" || argc < 3) {
        if (command != "/t" || argc > 3) {
            expected.argumentError = true;
            return expected;
        }
        expected.mode = 't';
        expected.name = argc == 3 ? args[2] : "TestVariable";
        expected.argumentError = !fits(expected.name);
        return expected;
    }
    if (command == "/g") {
        expected.argumentError = argc > 4;
    } else if (command == "/s") {
        expected.mode = 's';
        expected.argumentError = argc < 5;
    } else {
        expected.argumentError = true;
    }
    if (expected.argumentError) {
        return expected;
    }
    expected.name = args[2];
    if (argc >= 4) {
        expected.guid = args[3];
    }
    if (!fits(expected.name) || !fits(expected.guid)) {
        expected.argumentError = true;
        return expected;
    }
    if (expected.mode == 'g') {
        return expected;
    }
    if (args[4] == "/f") {
        expected.fromFile = true;
        expected.argumentError = argc < 6 || !fits(args[5]);
        expected.data = file;
        return expected;
    }
    size_t count = HexValue(args[4]);
    if (argc != count + 5) {
        expected.argumentError = true;
        return expected;
    }
    for (size_t i = 0; i < count; ++i) {
        expected.data.push_back(HexValue(args[5 + i]));
    }
    return expected;
}

void WriteDataFile(const uint8_t* bytes, size_t size) {
    Check(ftruncate(dataFileFd, 0) == 0, "data file truncated");
    if (size > 0) {
        Check(pwrite(dataFileFd, bytes, size, 0) == static_cast<ssize_t>(size),
              "data file written");
    }
}

void RemoveDataFile() {
    if (!dataFilePath.empty()) {
        unlink(dataFilePath.c_str());
    }
}

// The privilege stage's three calls come first, in order; nothing reaches the firmware unless
// they all succeeded.
void CheckPrivilegeFirst(const std::vector<Call>& calls, bool privilegeFails) {
    static const Operation kStage[] = {Operation::OpenToken, Operation::LookupPrivilege,
                                       Operation::AdjustPrivileges};
    for (size_t i = 0; i < calls.size(); ++i) {
        if (i < 3) {
            Check(calls[i].operation == kStage[i], "privilege calls in order");
        } else {
            Check(!privilegeFails, "no firmware call after a failed privilege stage");
            Check(calls[i].operation == Operation::Get || calls[i].operation == Operation::Set ||
                      calls[i].operation == Operation::Sleep,
                  "only firmware calls after the privilege stage");
        }
    }
    if (!privilegeFails) {
        Check(calls.size() > 3, "a privileged run reaches the firmware");
    }
}

void CheckCommand(const Expected& expected, const std::vector<Call>& calls) {
    std::vector<Call> sets;
    std::vector<Call> gets;
    for (const Call& call : calls) {
        if (call.operation == Operation::Set) {
            sets.push_back(call);
        } else if (call.operation == Operation::Get) {
            gets.push_back(call);
        }
    }
    if (expected.mode == 'g') {
        Check(sets.empty() && gets.size() == 1, "a get makes one get call");
        Check(gets[0].name == expected.name && gets[0].guid == expected.guid, "get names");
        Check(gets[0].size == 4096 && !gets[0].dataNull, "get buffer");
    } else if (expected.mode == 's') {
        Check(gets.empty() && sets.size() == 1, "a set makes one set call");
        const Call& set = sets[0];
        Check(set.name == expected.name && set.guid == expected.guid, "set names");
        Check(set.size == expected.data.size(), "set size is the data's size");
        Check(set.data == expected.data, "set bytes are the command line's or the file's");
        // Only an inline count of 0 passes no data; an empty file still passes a real block.
        Check(set.dataNull == (!expected.fromFile && expected.data.empty()), "set data pointer");
    } else {
        Check(!sets.empty() && sets.size() <= 4, "the loop ends on the injected failure");
        for (size_t i = 0; i < sets.size(); ++i) {
            std::vector<uint8_t> counter = {static_cast<uint8_t>(i), 0, 0, 0};
            Check(sets[i].name == expected.name && sets[i].guid == kGlobalGuid, "loop set names");
            Check(sets[i].size == 4 && sets[i].data == counter, "loop writes the counter");
        }
        for (const Call& get : gets) {
            Check(get.name == expected.name && get.guid == kGlobalGuid && get.size == 256,
                  "loop read-back");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The program's output is not looked at here (the unit tests compare it byte for byte), and
    // would flood the fuzzer's log.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/kestomandrel-fuzz-data-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    dataFileFd = mkstemp(path.data());
    Check(dataFileFd >= 0, "data file created");
    dataFilePath = path.data();
    atexit(RemoveDataFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) {
        return 0;
    }
    Behaviour behaviour = ReadBehaviour(input[0]);
    const uint8_t* text = input + 1;
    const uint8_t* end = input + size;
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(text, '\0', end - text));
    const uint8_t* textEnd = nul != nullptr ? nul : end;
    std::vector<uint8_t> file(nul != nullptr ? nul + 1 : end, end);

    std::vector<std::string> args = {"kestomandrel"};
    if (textEnd > text) {
        const uint8_t* start = text;
        for (const uint8_t* p = text;; ++p) {
            if (p == textEnd || *p == '\n') {
                args.emplace_back(reinterpret_cast<const char*>(start), p - start);
                if (p == textEnd || args.size() > kMaxArguments) {
                    break;
                }
                start = p + 1;
            }
        }
    }
    // The name after "/f" stands for the data file: it becomes the temporary file, unless it is
    // too long to be taken at all.
    if (args.size() >= 6 && args[1] == "/s" && args[4] == "/f" && args[5].size() <= 255) {
        args[5] = dataFilePath;
        WriteDataFile(file.data(), file.size());
    }

    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    testplatform::Reset();
    ApplyBehaviour(behaviour);
    if (args.size() >= 3) {
        // Something to read: the variable the command line names, under its GUID or the global one.
        std::string guid = args.size() >= 4 && args[1] == "/g" ? args[3] : kGlobalGuid;
        testplatform::PutVariable(args[2], guid, file);
    }

    Expected expected = Interpret(args, file);
    int exitCode = RunProgram(static_cast<int>(args.size()), argv.data());
    const std::vector<Call>& calls = testplatform::Calls();

    if (expected.noArguments) {
        Check(exitCode == 1 && calls.empty(), "no arguments: usage, exit code 1, no call");
    } else if (expected.argumentError) {
        Check(exitCode == 0 && calls.empty(), "argument error: exit code 0, no call");
    } else {
        bool privilegeFails = PrivilegeFails(behaviour);
        Check(exitCode == (privilegeFails ? -1 : 0), "exit code");
        CheckPrivilegeFirst(calls, privilegeFails);
        if (!privilegeFails) {
            CheckCommand(expected, calls);
        }
    }
    return 0;
}
