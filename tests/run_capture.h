// Runs the program in process against the test platform and captures what it prints.
#ifndef KESTOMANDREL_TESTS_RUN_CAPTURE_H
#define KESTOMANDREL_TESTS_RUN_CAPTURE_H

#include <string>
#include <vector>

struct RunResult {
    int exitCode;
    std::string output;
};

// Runs "kestomandrel <arguments...>" with a fresh test platform unless keepPlatform is set.
RunResult RunTool(const std::vector<std::string>& arguments, bool keepPlatform = false);

// Pieces of expected output.
std::string Usage();
std::string NameEcho(const std::string& name);
std::string GuidEcho(const std::string& guid);
std::string LengthLine(unsigned length);
// The two-view dump, built with printf formats as an independent reference.
std::string ReferenceDump(const std::vector<unsigned char>& bytes);

// A temporary file holding the bytes; removed by the caller.
std::string WriteTempFile(const std::string& tag, const std::vector<unsigned char>& bytes);

#endif
