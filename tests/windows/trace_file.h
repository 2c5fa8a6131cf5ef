// The bridge's trace is its standard output. The script that runs this
// program sends standard output to a file and passes the file's name, so that
// the trace of each call can be read back from the file.
#ifndef VRXCHDET_TESTS_TRACE_FILE_H
#define VRXCHDET_TESTS_TRACE_FILE_H

#include <string>

// Standard output is switched to binary mode, so that the file holds the bytes
// the bridge wrote, with no carriage return added before each line feed. The
// bridge and this program share the C runtime DLL and with it standard output.
void useTraceFile(const char *path);

void startTrace();
// What was written to standard output since startTrace.
std::string takeTrace();

#endif
