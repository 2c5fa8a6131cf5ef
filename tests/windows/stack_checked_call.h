// Calls a function with 32-bit arguments the way a 32-bit JVM calls a JNI
// function: pushed right to left, each four bytes. The call runs in a few
// lines of assembly that keep the stack pointer of before the arguments were
// pushed, so that the difference after the call shows how many bytes the
// callee removed, whatever the compiler would have assumed.
#ifndef VRXCHDET_TESTS_STACK_CHECKED_CALL_H
#define VRXCHDET_TESTS_STACK_CHECKED_CALL_H

#include <stdint.h>

struct CheckedCall {
    uint32_t result; // EAX
    // Stack pointer after the call minus before the arguments: 0 when the
    // callee removed exactly its arguments (stdcall); minus four times the
    // argument count when it removed none (cdecl).
    int32_t stackDifference;
};

CheckedCall callWithStackCheck(const void *function, const uint32_t *arguments, int count);

#endif
