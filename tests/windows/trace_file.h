// The bridge's trace is its standard output. The script that runs this
// program sends standard output to a file and passes the file's name, so that
// the trace of each call can be read back from the file.
#ifndef VRXCHDET_TESTS_TRACE_FILE_H
#define VRXCHDET_TESTS_TRACE_FILE_H

#include <string>

// The bridge and this program share the C runtime DLL and with it standard
// output, which is made unbuffered, so that each write is in the file at
// once, and binary, so that the file holds the bytes the bridge wrote, with no
// carriage return added before each line feed. Ends the program when a line
// written to standard output does not show in the file.
void useTraceFile(const char *path);

void startTrace();
// What was written to standard output since startTrace.
std::string takeTrace();

#endif
