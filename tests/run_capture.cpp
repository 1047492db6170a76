#include "tests/run_capture.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "cli/run.h"
#include "tests/stdout_capture.h"
#include "tests/test_platform.h"

RunResult RunTool(const std::vector<std::string>& arguments, bool keepPlatform) {
    if (!keepPlatform) {
        testplatform::Reset();
    }
    std::vector<std::string> texts = {"kestomandrel"};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) {
        argv.push_back(&text[0]);
    }
    argv.push_back(nullptr);

    CaptureOutput();
    int exitCode = RunProgram(static_cast<int>(texts.size()), argv.data());
    return {exitCode, CapturedOutput()};
}

std::string Usage() {
    // Every option description starts at column 26.
    return "\nUsage:\n"
           "This applicaiton uses Windows APIs to read or Write EFI Run Time Variables.\n"
           "Read and write are both optional. All numerical data are in hexadecimal base, Ox "
           "prefix is not required.\n"
           "\n"
           "Kestomandrel [/g <variablename>] [/s <variablename> {<No.of Bytes> < Input Data >} | "
           "{/f <filename>}\n"
           "\n"
           "/g                       To get the EFI Runtime variable details.\n"
           "   <variablename>        Run time EFI variable name.\n"
           "   <GUID Value>          GUID value in this format "
           "\"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\".\n"
           "/s                       To set the EFI Runtime variable details.\n"
           "   <variablename>        Run time EFI variable name.\n"
           "   <GUID Value>          GUID value in this format "
           "\"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\".\n"
           "   /f <filename>         Switch to specify the binary file as input data.\n"
           "   <No. Of Bytes>        Number of bytes of data in hex.\n"
           "   <Input Data>          Input Data in hex separated by space after each byte.\n";
}

std::string NameEcho(const std::string& name) {
    return "\nVariable Name : " + name;
}

std::string GuidEcho(const std::string& guid) {
    return "\nGUID Value : " + guid;
}

std::string LengthLine(unsigned length) {
    char text[64];
    snprintf(text, sizeof text, "\nLength : %u(0x%x) bytes", length, length);
    return text;
}

std::string ReferenceDump(const std::vector<unsigned char>& bytes) {
    std::string text = "\n In Hex Bytes:";
    char piece[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            text += "\n";
        }
        snprintf(piece, sizeof piece, " %02X ", bytes[i]);
        text += piece;
    }
    text += "\n\n In Character Bytes:";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            text += "\n";
        }
        text += static_cast<char>(bytes[i]);
        text += ' ';
    }
    return text + "\n";
}

std::string WriteTempFile(const std::string& tag, const std::vector<unsigned char>& bytes) {
    std::string path = testing::TempDir() + "kestomandrel-" + tag + ".bin";
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file != nullptr) {
        if (!bytes.empty()) {
            fwrite(bytes.data(), 1, bytes.size(), file);
        }
        fclose(file);
    }
    return path;
}
