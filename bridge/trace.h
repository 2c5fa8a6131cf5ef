#ifndef VRXCHDET_TRACE_H
#define VRXCHDET_TRACE_H

#include <stddef.h>

// Trace lines go to standard output, each written by one call so that lines of
// several threads never mix within a line.
void traceText(const char *line);
void traceBytes(const char *line, size_t length);

#define CONNECTOR_SYMBOL(method) "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_" method

#define TRACE_ENTRY_LINE(method) CONNECTOR_SYMBOL(method) "()\n"
#define TRACE_END_LINE(method) "End of " CONNECTOR_SYMBOL(method) "()\n"

#endif
