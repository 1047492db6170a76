// The Linux stand-in against a temporary directory laid out like efivarfs.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/efivarfs.h"

namespace {

const char kGuid[] = "{12345678-9ABC-DEF0-1234-56789ABCDEF0}";
const char kGuidFile[] = "12345678-9abc-def0-1234-56789abcdef0";

class EfivarfsDirectory : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "kestomandrel-efivars-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(mkdtemp(buffer.data()), nullptr);
        root = buffer.data();
        dir = root + "/efivars";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    }
    void TearDown() override {
        // A variable a test left immutable cannot be removed until its flag is cleared.
        for (const std::string& name : Entries(dir)) {
            int fd = open((dir + "/" + name).c_str(), O_RDONLY);
            int flags = 0;
            if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0) {
                close(fd);
            }
        }
        std::string command = "rm -rf '" + root + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    std::string FileOf(const std::string& name) const {
        return dir + "/" + name + "-" + kGuidFile;
    }
    std::vector<uint8_t> Contents(const std::string& path) const {
        std::vector<uint8_t> bytes;
        FILE* file = fopen(path.c_str(), "rb");
        if (file != nullptr) {
            int c;
            while ((c = fgetc(file)) != EOF) {
                bytes.push_back(static_cast<uint8_t>(c));
            }
            fclose(file);
        }
        return bytes;
    }
    std::set<std::string> Entries(const std::string& path) const {
        std::set<std::string> names;
        DIR* d = opendir(path.c_str());
        if (d != nullptr) {
            while (dirent* entry = readdir(d)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    names.insert(name);
                }
            }
            closedir(d);
        }
        return names;
    }
    // Sets or reads the immutable flag that efivarfs puts on most variables. Setting it takes root
    // and a file system with inode flags; the caller skips when it cannot.
    bool MakeImmutable(const std::string& name) const {
        int fd = open(FileOf(name).c_str(), O_RDONLY);
        int flags = 0;
        bool made = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (fd >= 0) {
            close(fd);
        }
        return made;
    }
    bool IsImmutable(const std::string& name) const {
        int fd = open(FileOf(name).c_str(), O_RDONLY);
        int flags = 0;
        bool got = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return got && (flags & FS_IMMUTABLE_FL) != 0;
    }
    BOOL Set(const char* name, std::vector<uint8_t> data, const char* guid = kGuid) {
        return EfivarfsSetVariable(dir.c_str(), name, guid, data.empty() ? nullptr : data.data(),
                                   static_cast<DWORD>(data.size()));
    }

    std::string root;
    std::string dir;
};

TEST(EfivarfsFileName, GuidForms) {
    char name[300];
    ASSERT_TRUE(
        EfivarfsFileName("Boot", "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}", name, sizeof name));
    EXPECT_STREQ(name, "Boot-8be4df61-93ca-11d2-aa0d-00e098032b8c");
    ASSERT_TRUE(
        EfivarfsFileName("Boot", "{8be4df61-93Ca-11d2-aa0d-00e098032b8c}", name, sizeof name));
    EXPECT_STREQ(name, "Boot-8be4df61-93ca-11d2-aa0d-00e098032b8c");

    const char* refused[] = {
        "8BE4DF61-93CA-11D2-AA0D-00E098032B8C",     // no braces
        "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C",    // no closing brace
        "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}x",  // trailing text
        "{8BE4DF6193CA-11D2-AA0D-00E098032B8C-}",   // dash misplaced
        "{8BE4DF61-93CA-11D2-AA0D-00E098032B8G}",   // not hexadecimal
        "{8BE4DF61-93CA-11D2-AA0D-00E0980/2B8C}",   // a separator
        "",
        "{}",
    };
    for (const char* guid : refused) {
        EXPECT_FALSE(EfivarfsFileName("Boot", guid, name, sizeof name)) << guid;
    }
}

TEST(EfivarfsFileName, NamesStayInsideTheDirectory) {
    char name[300];
    EXPECT_FALSE(EfivarfsFileName("", kGuid, name, sizeof name));
    EXPECT_FALSE(EfivarfsFileName("../Boot", kGuid, name, sizeof name));
    EXPECT_FALSE(EfivarfsFileName("a/b", kGuid, name, sizeof name));
    EXPECT_FALSE(EfivarfsFileName("/", kGuid, name, sizeof name));
    // A file name holds 255 bytes: the name, a dash and 36 GUID characters.
    EXPECT_TRUE(EfivarfsFileName(std::string(218, 'n').c_str(), kGuid, name, sizeof name));
    EXPECT_FALSE(EfivarfsFileName(std::string(219, 'n').c_str(), kGuid, name, sizeof name));
    // Dots alone are harmless once the GUID is appended.
    ASSERT_TRUE(EfivarfsFileName("..", kGuid, name, sizeof name));
    EXPECT_EQ(std::string(name), std::string("..-") + kGuidFile);
}

TEST(EfivarfsError, Mapping) {
    EXPECT_EQ(EfivarfsError(ENOENT), 203u);
    EXPECT_EQ(EfivarfsError(EINVAL), 87u);
    EXPECT_EQ(EfivarfsError(ENAMETOOLONG), 87u);
    EXPECT_EQ(EfivarfsError(ENOSPC), 1450u);
    EXPECT_EQ(EfivarfsError(EIO), 31u);
    EXPECT_EQ(EfivarfsError(EROFS), 19u);
    EXPECT_EQ(EfivarfsError(EACCES), 5u);
    EXPECT_EQ(EfivarfsError(EPERM), 5u);
    EXPECT_EQ(EfivarfsError(EBUSY), 31u);
}

TEST_F(EfivarfsDirectory, RoundTripOverwriteAndDelete) {
    ASSERT_TRUE(Set("Var", {0x41, 0x42, 0x43}));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(Contents(FileOf("Var")), (std::vector<uint8_t>{7, 0, 0, 0, 0x41, 0x42, 0x43}));

    uint8_t buffer[8] = {};
    EXPECT_EQ(EfivarfsGetVariable(dir.c_str(), "Var", kGuid, buffer, sizeof buffer), 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), (std::vector<uint8_t>{0x41, 0x42, 0x43}));

    // A shorter value replaces the whole content.
    ASSERT_TRUE(Set("Var", {0x5A}));
    EXPECT_EQ(Contents(FileOf("Var")), (std::vector<uint8_t>{7, 0, 0, 0, 0x5A}));

    // Size 0 deletes; a second delete finds nothing.
    ASSERT_TRUE(Set("Var", {}));
    EXPECT_TRUE(Entries(dir).empty());
    EXPECT_FALSE(Set("Var", {}));
    EXPECT_EQ(GetLastError(), 203u);
    EXPECT_EQ(EfivarfsGetVariable(dir.c_str(), "Var", kGuid, buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), 203u);
}

TEST_F(EfivarfsDirectory, CapacityAndMalformedFiles) {
    ASSERT_TRUE(Set("Four", {1, 2, 3, 4}));
    uint8_t buffer[4] = {};
    EXPECT_EQ(EfivarfsGetVariable(dir.c_str(), "Four", kGuid, buffer, 4), 4u);
    EXPECT_EQ(EfivarfsGetVariable(dir.c_str(), "Four", kGuid, buffer, 3), 0u);
    EXPECT_EQ(GetLastError(), 122u);

    // A file without its 4 attribute bytes holds no variable.
    FILE* file = fopen(FileOf("Stub").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fputs("ab", file);
    fclose(file);
    EXPECT_EQ(EfivarfsGetVariable(dir.c_str(), "Stub", kGuid, buffer, 4), 0u);
    EXPECT_EQ(GetLastError(), 203u);

    EXPECT_EQ(EfivarfsGetVariable(dir.c_str(), "Four", kGuid, nullptr, 4), 0u);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_FALSE(EfivarfsSetVariable(dir.c_str(), "Four", kGuid, nullptr, 4));
    EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(EfivarfsDirectory, RefusedNamesAndGuidsTouchNothing) {
    std::set<std::string> before = Entries(root);
    uint8_t buffer[4];
    const char* names[] = {"../Escape", "", "a/b", "/etc/passwd"};
    for (const char* name : names) {
        EXPECT_FALSE(Set(name, {1}));
        EXPECT_EQ(GetLastError(), 87u) << name;
        EXPECT_FALSE(Set(name, {}));
        EXPECT_EQ(GetLastError(), 87u) << name;
        EXPECT_EQ(EfivarfsGetVariable(dir.c_str(), name, kGuid, buffer, 4), 0u);
        EXPECT_EQ(GetLastError(), 87u) << name;
    }
    EXPECT_FALSE(Set("Var", {1}, "{12345678-9ABC-DEF0-1234-56789ABCDEF0"));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(Entries(root), before);
    EXPECT_TRUE(Entries(dir).empty());
}

TEST_F(EfivarfsDirectory, MissingDirectoryIsALegacyBiosMachine) {
    std::string missing = dir + "/absent";
    uint8_t buffer[4];
    EXPECT_EQ(EfivarfsGetVariable(missing.c_str(), "Var", kGuid, buffer, 4), 0u);
    EXPECT_EQ(GetLastError(), 1u);
    uint8_t one = 1;
    EXPECT_FALSE(EfivarfsSetVariable(missing.c_str(), "Var", kGuid, &one, 1));
    EXPECT_EQ(GetLastError(), 1u);
    EXPECT_FALSE(EfivarfsSetVariable(missing.c_str(), "Var", kGuid, nullptr, 0));
    EXPECT_EQ(GetLastError(), 1u);
}

TEST_F(EfivarfsDirectory, FailedCreationLeavesNoFile) {
    // A file-size limit of zero makes the write itself fail after the file was created.
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    BOOL written = Set("Var", {1, 2});
    DWORD error = GetLastError();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, 31u);
    EXPECT_TRUE(Entries(dir).empty());
}

TEST_F(EfivarfsDirectory, ImmutableVariablesAreOverwrittenAndDeleted) {
    ASSERT_TRUE(Set("Locked", {1}));
    if (!MakeImmutable("Locked")) {
        GTEST_SKIP() << "cannot set the immutable flag here (needs root and inode flags)";
    }
    EXPECT_TRUE(Set("Locked", {2, 3}));
    EXPECT_EQ(Contents(FileOf("Locked")), (std::vector<uint8_t>{7, 0, 0, 0, 2, 3}));
    EXPECT_TRUE(IsImmutable("Locked")) << "the flag is restored after the write";

    EXPECT_TRUE(Set("Locked", {}));
    EXPECT_TRUE(Entries(dir).empty());
}

// A signal that lands while the flag is cleared must not end the process before the flag is back.
// The file-size limit makes the write itself raise SIGXFSZ, whose default action ends the process:
// a signal at the worst moment, every time.
TEST_F(EfivarfsDirectory, SignalDuringAWriteWaitsForTheFlag) {
    ASSERT_TRUE(Set("Locked", {1}));
    if (!MakeImmutable("Locked")) {
        GTEST_SKIP() << "cannot set the immutable flag here (needs root and inode flags)";
    }
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit none = {0, 0};
        setrlimit(RLIMIT_FSIZE, &none);
        Set("Locked", {2, 3});
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;
    EXPECT_TRUE(IsImmutable("Locked")) << "the process ended with the flag cleared";
    EXPECT_EQ(Contents(FileOf("Locked")), (std::vector<uint8_t>{7, 0, 0, 0, 1}));
}

// Writers of one immutable variable in parallel: each clears and restores the flag, and none may
// find it put back by another between its clearing and its write.
TEST_F(EfivarfsDirectory, ParallelWritersDoNotFailOneAnother) {
    ASSERT_TRUE(Set("Shared", {0}));
    if (!MakeImmutable("Shared")) {
        GTEST_SKIP() << "cannot set the immutable flag here (needs root and inode flags)";
    }
    constexpr int kWriters = 4;
    constexpr int kWrites = 200;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                failures +=
                    Set("Shared", {static_cast<uint8_t>(w), static_cast<uint8_t>(i)}) ? 0 : 1;
            }
            _exit(failures > 255 ? 255 : failures);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "a writer failed " << WEXITSTATUS(status) << " of " << kWrites << " writes";
    }
    EXPECT_TRUE(IsImmutable("Shared"));
    std::vector<uint8_t> last = Contents(FileOf("Shared"));
    ASSERT_EQ(last.size(), 6u);
    EXPECT_EQ(last[5], kWrites - 1) << "the last write of one of the writers";
}

TEST(PosixToken, PrivilegeLookupAndAdjust) {
    LUID luid = {};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeSystemEnvironmentPrivilege", &luid));
    EXPECT_EQ(luid.LowPart, 22u);
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid));
    EXPECT_EQ(GetLastError(), 1313u);

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), 0x20028, &token));
    TOKEN_PRIVILEGES privileges = {1, {{luid, SE_PRIVILEGE_ENABLED}}};
    ASSERT_TRUE(
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), geteuid() == 0 ? 0u : 1300u);
}

}  // namespace
