// 64-bit Windows: one calling convention, in which the caller removes the
// arguments, and no name decoration; the compiler makes the call.
#include "export_call.h"

#include "checks.h"

std::string exportName(const std::string &function, int) { return function; }

uintptr_t callExport(const std::string &what, const void *function, std::initializer_list<uintptr_t> arguments)
{
    const uintptr_t *a = arguments.begin();
    switch (arguments.size()) {
    case 2:
        return reinterpret_cast<uintptr_t (*)(uintptr_t, uintptr_t)>(function)(a[0], a[1]);
    case 4:
        return reinterpret_cast<uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t)>(function)(a[0], a[1], a[2],
                                                                                                   a[3]);
    case 5:
        return reinterpret_cast<uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t)>(function)(
            a[0], a[1], a[2], a[3], a[4]);
    }
    abortChecks(what + ": no call with " + std::to_string(arguments.size()) + " arguments");
}
