/*
 * abi_call.h - calls a DLL export through a bare pointer and reports what the
 * call did to the machine state, the way a foreign caller would see it.
 *
 * 32-bit: the arguments are pushed right to left in 4-byte slots and the
 * callee must remove exactly those bytes (stdcall); ebx, esi, edi and ebp must
 * survive; a float64 result comes back on the x87 stack (one register pushed)
 * and every other result leaves that stack empty.
 *
 * 64-bit: the first four arguments go in rcx, rdx, r8, r9 with 32 bytes of
 * home space reserved by the caller, who also removes them; rbx, rbp, rsi,
 * rdi and r12 to r15 must survive; a float64 result comes back in xmm0.
 */
#ifndef ABI_CALL_H
#define ABI_CALL_H

#include <stddef.h>
#include <stdint.h>

typedef uintptr_t AbiArg;

/* What one call left behind. */
typedef struct AbiOutcome {
    uint64_t Raw;       /* eax (edx:eax on 32-bit) or rax */
    double Real;        /* st(0) or xmm0, when a float64 result was expected */
    int64_t StackLeft;  /* bytes the call left on the stack; negative when it removed too many */
    int32_t Preserved;  /* 1 when every callee-saved register survived and DF was clear */
    int32_t FpuDepth;   /* 32-bit: x87 registers in use after the call (1 for a float64 result) */
} AbiOutcome;

/*
 * Calls fn with nargs arguments (at most 4) from args. floatResult says
 * whether the function returns a float64, so that it is taken off the x87
 * stack (32-bit) or out of xmm0 (64-bit).
 */
void AbiCall(const void *fn, const AbiArg *args, int32_t nargs, int32_t floatResult,
             AbiOutcome *out);

/*
 * Calls functions that break the convention on purpose (too many bytes
 * removed, a callee-saved register clobbered) and one that returns pi, and
 * returns how many of these the thunk failed to see. 0 means its checks work.
 */
int AbiSelfTest(void);

#endif /* ABI_CALL_H */
