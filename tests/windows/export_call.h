// How a JVM of the test program's architecture finds and calls a JNI export
// of the bridge: the name it looks up, and a call with pointer-sized
// arguments that checks the calling convention where there is more than one.
#ifndef VRXCHDET_TESTS_EXPORT_CALL_H
#define VRXCHDET_TESTS_EXPORT_CALL_H

#include <stdint.h>

#include <initializer_list>
#include <string>

// The exported name of a JNI function taking argumentCount arguments.
std::string exportName(const std::string &function, int argumentCount);

// Calls an export as the JVM would and gives what it returned; a check that
// fails is reported under what.
uintptr_t callExport(const std::string &what, const void *function, std::initializer_list<uintptr_t> arguments);

#endif
