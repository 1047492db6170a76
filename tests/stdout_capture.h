// Capturing what the program writes to standard output, byte for byte as it leaves the C runtime.
#ifndef KESTOMANDREL_TESTS_STDOUT_CAPTURE_H
#define KESTOMANDREL_TESTS_STDOUT_CAPTURE_H

#include <string>

// Everything written to stdout from here on goes to the capture.
void CaptureOutput();

// Ends the capture and returns its bytes exactly as the runtime wrote them.
std::string CapturedOutput();

// The program's text as it reaches a console, a file or a pipe: on Windows the runtime writes each
// "\n" of standard output (text mode) as "\r\n"; elsewhere the text is unchanged.
std::string AsWritten(const std::string& text);

#endif
