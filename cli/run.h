// The run sequence: parse, privilege, command.
#ifndef KESTOMANDREL_CLI_RUN_H
#define KESTOMANDREL_CLI_RUN_H

// Runs one command line and returns the process's exit code. Standard output is flushed at the end
// of every stage, so each stage's text leaves the process in one go.
int RunProgram(int argc, char** argv);

#endif
