#include "stack_checked_call.h"

// uint32_t stackCheckedCall(const void *function, const uint32_t *arguments,
//                           int count, int32_t *stackDifference), cdecl.
// EDI holds the stack pointer across the call: every Windows calling
// convention keeps EDI for its caller.
__asm__(".text\n"
        ".globl _stackCheckedCall\n"
        "_stackCheckedCall:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl 8(%ebp), %eax\n"
        "    movl 12(%ebp), %esi\n"
        "    movl 16(%ebp), %ecx\n"
        "    movl %esp, %edi\n"
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    decl %ecx\n"
        "    pushl (%esi,%ecx,4)\n"
        "    jmp 1b\n"
        "2:  call *%eax\n"
        "    movl %esp, %ecx\n"
        "    subl %edi, %ecx\n"
        "    movl %edi, %esp\n"
        "    movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");

extern "C" uint32_t __cdecl stackCheckedCall(const void *function, const uint32_t *arguments, int count,
                                             int32_t *stackDifference);

CheckedCall callWithStackCheck(const void *function, const uint32_t *arguments, int count)
{
    CheckedCall call;
    call.result = stackCheckedCall(function, arguments, count, &call.stackDifference);
    return call;
}
