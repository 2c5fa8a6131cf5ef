#include "checks.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

int passed = 0;
int failed = 0;

std::string escaped(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char code[8];
            snprintf(code, sizeof code, "\\x%02X", c);
            out += code;
        } else {
            out += (char)c;
        }
    }
    return out;
}

} // namespace

void checkTrue(const std::string &what, bool condition)
{
    if (condition) {
        ++passed;
    } else {
        failCheck(what);
    }
}

void checkEqual(const std::string &what, const std::string &actual, const std::string &expected)
{
    if (actual == expected) {
        ++passed;
        return;
    }
    failCheck(what);
    fprintf(stderr, "    actual:   \"%s\"\n    expected: \"%s\"\n", escaped(actual).c_str(), escaped(expected).c_str());
}

void checkEqual(const std::string &what, long actual, long expected)
{
    if (actual == expected) {
        ++passed;
        return;
    }
    failCheck(what);
    fprintf(stderr, "    actual: %ld, expected: %ld\n", actual, expected);
}

void failCheck(const std::string &what)
{
    ++failed;
    fprintf(stderr, "FAILED: %s\n", what.c_str());
}

int finishChecks()
{
    fprintf(stderr, "%d passed, %d failed\n", passed, failed);
    fflush(stderr);
    return failed == 0 && passed > 0 ? 0 : 1;
}

void abortChecks(const std::string &what)
{
    failCheck(what);
    finishChecks();
    fflush(nullptr);
    _Exit(1);
}
