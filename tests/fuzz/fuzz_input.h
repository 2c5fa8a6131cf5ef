// Reading a fuzzer's input field by field, and failing a run loudly.
#ifndef VRXCHDET_FUZZ_INPUT_H
#define VRXCHDET_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Fields past the end of the input read as zero bytes.
struct FuzzInput {
    const uint8_t *data;
    size_t size;

    void take(void *out, size_t count)
    {
        size_t available = count < size ? count : size;
        memcpy(out, data, available);
        memset((char *)out + available, 0, count - available);
        data += available;
        size -= available;
    }

    template <typename T> T take()
    {
        T value;
        take(&value, sizeof value);
        return value;
    }
};

[[noreturn]] inline void fuzzCheckFailed(const char *condition, const char *file, int line)
{
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    abort();
}

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : fuzzCheckFailed(#condition, __FILE__, __LINE__))

#endif
