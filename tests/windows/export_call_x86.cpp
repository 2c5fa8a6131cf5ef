// 32-bit Windows: a JVM looks up the stdcall-decorated name and expects the
// callee to remove its arguments from the stack.
#include "export_call.h"

#include "checks.h"
#include "stack_checked_call.h"

namespace {

uint32_t addCdecl(uint32_t a, uint32_t b) { return a + b; }
uint32_t __stdcall addStdcall(uint32_t a, uint32_t b) { return a + b; }

// The stack check itself must tell the two conventions apart.
void checkStackCheck()
{
    const uint32_t arguments[] = {2, 3};
    CheckedCall cdeclCall = callWithStackCheck(reinterpret_cast<const void *>(&addCdecl), arguments, 2);
    CheckedCall stdcallCall = callWithStackCheck(reinterpret_cast<const void *>(&addStdcall), arguments, 2);
    checkEqual("stack check: a cdecl callee leaves its 8 bytes of arguments", cdeclCall.stackDifference, -8);
    checkEqual("stack check: a stdcall callee removes them", stdcallCall.stackDifference, 0);
    checkEqual("stack check: the callee's result", (long)(cdeclCall.result + stdcallCall.result), 10);
}

} // namespace

std::string exportName(const std::string &function, int argumentCount)
{
    return "_" + function + "@" + std::to_string(4 * argumentCount);
}

uintptr_t callExport(const std::string &what, const void *function, std::initializer_list<uintptr_t> arguments)
{
    static bool stackCheckChecked = false;
    if (!stackCheckChecked) {
        checkStackCheck();
        stackCheckChecked = true;
    }
    CheckedCall call = callWithStackCheck(function, arguments.begin(), (int)arguments.size());
    checkEqual(what + ": stack pointer moved by the call (stdcall leaves it in place)", call.stackDifference, 0);
    return call.result;
}
