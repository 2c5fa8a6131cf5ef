#include "bridge/trace.h"

#include <stdio.h>

void traceText(const char *line) { fputs(line, stdout); }

void traceBytes(const char *line, size_t length) { fwrite(line, 1, length, stdout); }
