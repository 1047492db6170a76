#include "cli/run.h"

#include <cstdio>
#include <cstdlib>

#include "cli/command_line.h"
#include "firmware/request.h"
#include "firmware/privilege.h"
#include "firmware/test_loop.h"
#include "firmware/variables.h"

namespace {

constexpr int kExitNoArguments = 1;
constexpr int kExitDone = 0;
constexpr int kExitNoPrivilege = -1;

void RunCommand(VariableRequest* request) {
    switch (request->mode) {
        case RequestMode::Get:
            RunGet(*request);
            break;
        case RequestMode::Set:
            RunSet(request);
            break;
        case RequestMode::Test:
            RunTestLoop(*request);
            break;
    }
}

}  // namespace

int RunProgram(int argc, char** argv) {
    if (argc <= 1) {
        PrintUsage();
        fflush(stdout);
        return kExitNoArguments;
    }

    VariableRequest request;
    InitRequest(&request);
    bool parsed = ParseCommandLine(argc, argv, &request);
    fflush(stdout);
    if (!parsed) {
        return kExitDone;
    }

    bool privileged = RunPrivilegeStage();
    fflush(stdout);
    if (!privileged) {
        free(request.fileData);
        return kExitNoPrivilege;
    }

    RunCommand(&request);
    fflush(stdout);
    return kExitDone;
}
