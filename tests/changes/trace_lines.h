#ifndef VRXCHDET_TESTS_TRACE_LINES_H
#define VRXCHDET_TESTS_TRACE_LINES_H

#include <string>
#include <vector>

// The lines of a captured trace that are not one of the forms the bridge
// writes; a trace that does not end in a line break counts its last line too.
std::vector<std::string> malformedTraceLines(const std::string &trace);

#endif
