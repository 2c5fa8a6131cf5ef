// Named checks that count and report to standard error; standard output is
// left to the bridge's trace.
#ifndef VRXCHDET_TESTS_CHECKS_H
#define VRXCHDET_TESTS_CHECKS_H

#include <string>

void checkTrue(const std::string &what, bool condition);
// Compares byte for byte and shows both texts, control characters escaped.
void checkEqual(const std::string &what, const std::string &actual, const std::string &expected);
void checkEqual(const std::string &what, long actual, long expected);
void failCheck(const std::string &what);

// Prints "N passed, N failed" and returns the exit status of the program.
int finishChecks();

// For a fault the program cannot continue after: reports it, prints the
// totals and ends the process with a failure.
[[noreturn]] void abortChecks(const std::string &what);

#endif
