#include "trace_file.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "checks.h"

namespace {

std::string tracePath;
long traceStart = 0;

long traceFileSize()
{
    FILE *file = fopen(tracePath.c_str(), "rb");
    if (file == nullptr) {
        abortChecks("cannot open the trace file " + tracePath);
    }
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    fclose(file);
    return size;
}

} // namespace

void useTraceFile(const char *path)
{
    tracePath = path;
    fflush(stdout);
    setvbuf(stdout, nullptr, _IONBF, 0);
    _setmode(_fileno(stdout), _O_BINARY);

    const std::string probe = "standard output reaches the trace file\n";
    startTrace();
    fputs(probe.c_str(), stdout);
    if (takeTrace() != probe) {
        abortChecks("standard output does not reach the trace file " + tracePath);
    }
}

void startTrace()
{
    fflush(stdout);
    traceStart = traceFileSize();
}

std::string takeTrace()
{
    fflush(stdout);
    FILE *file = fopen(tracePath.c_str(), "rb");
    if (file == nullptr) {
        abortChecks("cannot open the trace file " + tracePath);
    }
    fseek(file, traceStart, SEEK_SET);
    std::string trace;
    char chunk[512];
    size_t read;
    while ((read = fread(chunk, 1, sizeof chunk, file)) > 0) {
        trace.append(chunk, read);
    }
    fclose(file);
    return trace;
}
