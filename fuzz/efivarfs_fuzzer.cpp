// The Linux stand-in's name and GUID handling against a temporary efivars directory.
//
// Layout on disk: <root>/sandbox/efivars is the variable directory; the sandbox also holds a file
// named like a variable, so that a read that escapes the directory would find something. Every
// input runs against an emptied efivars directory and is checked against a model of what the
// directory must hold: nothing outside it is ever created, read, changed or removed, and only files
// named from a valid name and GUID appear inside.
//
// Input layout: records of four fields, each field ended by a NUL byte: the operation ('g' get,
// 's' set, anything else by its value; a second byte is the get's capacity), the name, the GUID
// text, and the data.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/efivarfs.h"

namespace {

constexpr size_t kMaxRecords = 16;
const char kDecoyName[] = "Decoy-12345678-9abc-def0-1234-56789abcdef0";
const char kDecoyContent[] = "\x07\0\0\0outside";

std::string root;
std::string sandbox;
std::string efivars;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

std::vector<std::string> Entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* directory = opendir(path.c_str());
    Check(directory != nullptr, "directory listed");
    while (dirent* entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
    }
    closedir(directory);
    return names;
}

std::string Contents(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    Check(file != nullptr, "file opened");
    char chunk[512];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    fclose(file);
    return bytes;
}

const std::string& DecoyContent() {
    static const std::string content(kDecoyContent, sizeof kDecoyContent - 1);
    return content;
}

void RemoveTree() {
    if (!root.empty()) {
        for (const std::string& name : Entries(efivars)) {
            unlink((efivars + "/" + name).c_str());
        }
        rmdir(efivars.c_str());
        unlink((sandbox + "/" + kDecoyName).c_str());
        rmdir(sandbox.c_str());
        rmdir(root.c_str());
    }
}

// The file a name and GUID stand for, or "" when the pair must be refused: the GUID is
// {8-4-4-4-12} hex digits, the name is not empty, holds no '/', and fits a file name with
// "-<guid>" appended.
std::string ModelFileName(const std::string& name, const std::string& guid) {
    static const char kShape[] = "{hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh}";
    if (guid.size() != sizeof kShape - 1) {
        return "";
    }
    std::string lower;
    for (size_t i = 0; i < guid.size(); ++i) {
        char c = guid[i];
        if (kShape[i] == 'h') {
            if (!isxdigit(static_cast<unsigned char>(c))) {
                return "";
            }
            lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        } else if (c != kShape[i]) {
            return "";
        } else if (c == '-') {
            lower += c;
        }
    }
    if (name.empty() || name.find('/') != std::string::npos || name.size() + 1 + 36 > NAME_MAX) {
        return "";
    }
    return name + "-" + lower;
}

// The sandbox holds the decoy and the efivars directory, unchanged, and nothing else; the
// efivars directory holds exactly the model's files with the model's bytes.
void CheckDisk(const std::map<std::string, std::string>& model) {
    std::vector<std::string> rootEntries = Entries(root);
    Check(rootEntries.size() == 1 && rootEntries[0] == "sandbox", "nothing beside the sandbox");
    std::vector<std::string> sandboxEntries = Entries(sandbox);
    Check(sandboxEntries.size() == 2, "nothing new in the sandbox");
    for (const std::string& name : sandboxEntries) {
        Check(name == "efivars" || name == kDecoyName, "only the decoy and efivars in the sandbox");
    }
    Check(Contents(sandbox + "/" + kDecoyName) == DecoyContent(), "decoy unchanged");
    std::vector<std::string> files = Entries(efivars);
    Check(files.size() == model.size(), "efivars holds the model's files only");
    for (const std::string& name : files) {
        auto found = model.find(name);
        Check(found != model.end(), "efivars file named from a valid name and GUID");
        Check(Contents(efivars + "/" + name) == std::string("\x07\0\0\0", 4) + found->second,
              "variable file holds attributes 7 and the data");
    }
}

std::string NextField(const uint8_t** at, const uint8_t* end) {
    const uint8_t* start = *at;
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(start, '\0', end - start));
    const uint8_t* stop = nul != nullptr ? nul : end;
    *at = nul != nullptr ? nul + 1 : end;
    return std::string(reinterpret_cast<const char*>(start), stop - start);
}

void RunGet(const std::string& name, const std::string& guid, DWORD capacity,
            const std::map<std::string, std::string>& model) {
    // A heap block of exactly the capacity: a write past it is caught.
    uint8_t* buffer = static_cast<uint8_t*>(malloc(capacity > 0 ? capacity : 1));
    Check(buffer != nullptr, "buffer");
    SetLastError(0);
    DWORD length =
        EfivarfsGetVariable(efivars.c_str(), name.c_str(), guid.c_str(), buffer, capacity);
    DWORD error = GetLastError();
    std::string file = ModelFileName(name, guid);
    auto found = file.empty() ? model.end() : model.find(file);
    if (file.empty()) {
        Check(length == 0 && error == ERROR_INVALID_PARAMETER, "get of a refused name");
    } else if (found == model.end()) {
        Check(length == 0 && error == ERROR_ENVVAR_NOT_FOUND, "get of a missing variable");
    } else if (found->second.size() > capacity) {
        Check(length == 0 && error == ERROR_INSUFFICIENT_BUFFER, "get larger than the buffer");
    } else {
        Check(length == found->second.size() && error == ERROR_SUCCESS, "get length");
        Check(memcmp(buffer, found->second.data(), length) == 0, "get bytes are the variable's");
    }
    free(buffer);
}

void RunSet(const std::string& name, const std::string& guid, const std::string& data,
            std::map<std::string, std::string>* model) {
    SetLastError(0);
    BOOL done =
        EfivarfsSetVariable(efivars.c_str(), name.c_str(), guid.c_str(),
                            data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()));
    DWORD error = GetLastError();
    std::string file = ModelFileName(name, guid);
    if (file.empty()) {
        Check(!done && error == ERROR_INVALID_PARAMETER, "set of a refused name");
    } else if (data.empty()) {
        // No data deletes.
        bool existed = model->erase(file) != 0;
        Check(existed ? done != 0 : (!done && error == ERROR_ENVVAR_NOT_FOUND), "delete");
    } else {
        Check(done != 0, "set of a valid name");
        (*model)[file] = data;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/kestomandrel-fuzz-efivars-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    Check(mkdtemp(path.data()) != nullptr, "root created");
    root = path.data();
    sandbox = root + "/sandbox";
    efivars = sandbox + "/efivars";
    Check(mkdir(sandbox.c_str(), 0755) == 0 && mkdir(efivars.c_str(), 0755) == 0, "dirs created");
    FILE* decoy = fopen((sandbox + "/" + kDecoyName).c_str(), "wb");
    Check(decoy != nullptr, "decoy created");
    fwrite(DecoyContent().data(), 1, DecoyContent().size(), decoy);
    fclose(decoy);
    atexit(RemoveTree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    for (const std::string& name : Entries(efivars)) {
        unlink((efivars + "/" + name).c_str());
    }
    std::map<std::string, std::string> model;

    const uint8_t* at = input;
    const uint8_t* end = input + size;
    for (size_t record = 0; record < kMaxRecords && at < end; ++record) {
        std::string operation = NextField(&at, end);
        std::string name = NextField(&at, end);
        std::string guid = NextField(&at, end);
        std::string data = NextField(&at, end);
        char kind = operation.empty() ? 'g' : operation[0];
        if (kind != 'g' && kind != 's') {
            kind = (static_cast<uint8_t>(kind) % 2) != 0 ? 's' : 'g';
        }
        if (kind == 'g') {
            DWORD capacity = operation.size() > 1 ? static_cast<uint8_t>(operation[1]) : 4096;
            RunGet(name, guid, capacity, model);
        } else {
            RunSet(name, guid, data, &model);
        }
        CheckDisk(model);
    }
    return 0;
}
