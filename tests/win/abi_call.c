/*
 * abi_call.c - the call thunks behind AbiCall. Each one puts canaries in the
 * callee-saved registers, places the arguments as the convention wants them,
 * notes the stack pointer, calls, and then reads back everything the callee
 * was bound to leave alone. The stack pointer and frame pointer are kept in
 * memory across the call, so a callee that breaks them is reported instead of
 * taking the thunk down with it.
 */
#include "abi_call.h"

#include <stdio.h>
#include <string.h>

#if defined(__i386__)

typedef struct Raw32 {
    uint32_t Eax;        /*  0 */
    uint32_t Edx;        /*  4 */
    uint32_t StackLeft;  /*  8 */
    uint32_t Preserved;  /* 12 */
    uint32_t FpuStatus;  /* 16 */
    uint32_t Pad;        /* 20 */
    double St0;          /* 24 */
} Raw32;
_Static_assert(offsetof(Raw32, StackLeft) == 8, "thunk layout");
_Static_assert(offsetof(Raw32, FpuStatus) == 16, "thunk layout");
_Static_assert(offsetof(Raw32, St0) == 24, "thunk layout");

void AbiCallRaw32(const void *fn, const AbiArg *args, int32_t nargs, int32_t floatResult, Raw32 *out);

__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "    .globl _AbiCallRaw32\n"
    "_AbiCallRaw32:\n"
    "    pushl %ebp\n"
    "    movl  %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl  %ebp, abiSavedEbp\n"
    "    movl  16(%ebp), %ecx\n"          /* nargs */
    "    movl  12(%ebp), %esi\n"          /* args */
    /* Align so that the stack is 16-byte aligned once the arguments are on it. */
    "    leal  0(,%ecx,4), %eax\n"
    "    movl  %esp, %edx\n"
    "    subl  %eax, %edx\n"
    "    andl  $-16, %edx\n"
    "    addl  %eax, %edx\n"
    "    movl  %edx, %esp\n"
    "    movl  %esp, abiStackBefore\n"
    "1:  testl %ecx, %ecx\n"              /* push right to left */
    "    jz    2f\n"
    "    decl  %ecx\n"
    "    pushl (%esi,%ecx,4)\n"
    "    jmp   1b\n"
    "2:  movl  8(%ebp), %eax\n"
    "    movl  $0x0B0B0B0B, %ebx\n"
    "    movl  $0x51515151, %esi\n"
    "    movl  $0xD1D1D1D1, %edi\n"
    "    movl  $0xEBEBEBEB, %ebp\n"
    "    call  *%eax\n"
    "    movl  %eax, abiEax\n"
    "    movl  %edx, abiEdx\n"
    "    fnstsw abiFpuStatus\n"
    "    movl  $1, %eax\n"
    "    cmpl  $0x0B0B0B0B, %ebx\n"
    "    je    3f\n"
    "    xorl  %eax, %eax\n"
    "3:  cmpl  $0x51515151, %esi\n"
    "    je    4f\n"
    "    xorl  %eax, %eax\n"
    "4:  cmpl  $0xD1D1D1D1, %edi\n"
    "    je    5f\n"
    "    xorl  %eax, %eax\n"
    "5:  cmpl  $0xEBEBEBEB, %ebp\n"
    "    je    6f\n"
    "    xorl  %eax, %eax\n"
    /* Bytes still on the stack: 0 when the callee removed exactly its arguments. */
    "6:  movl  abiStackBefore, %ecx\n"
    "    subl  %esp, %ecx\n"
    "    movl  abiStackBefore, %esp\n"
    "    movl  abiSavedEbp, %ebp\n"
    "    pushfl\n"
    "    popl  %edx\n"
    "    testl $0x400, %edx\n"            /* the direction flag must be clear */
    "    jz    7f\n"
    "    xorl  %eax, %eax\n"
    "    cld\n"
    "7:  movl  24(%ebp), %edx\n"          /* out */
    "    movl  %ecx, 8(%edx)\n"
    "    movl  %eax, 12(%edx)\n"
    "    movl  abiEax, %eax\n"
    "    movl  %eax, 0(%edx)\n"
    "    movl  abiEdx, %eax\n"
    "    movl  %eax, 4(%edx)\n"
    "    movzwl abiFpuStatus, %eax\n"
    "    movl  %eax, 16(%edx)\n"
    "    cmpl  $0, 20(%ebp)\n"            /* floatResult */
    "    je    8f\n"
    "    fstpl 24(%edx)\n"
    "8:  leal  -12(%ebp), %esp\n"
    "    popl  %edi\n"
    "    popl  %esi\n"
    "    popl  %ebx\n"
    "    popl  %ebp\n"
    "    ret\n"
    "    .lcomm abiSavedEbp, 4\n"
    "    .lcomm abiStackBefore, 4\n"
    "    .lcomm abiEax, 4\n"
    "    .lcomm abiEdx, 4\n"
    "    .lcomm abiFpuStatus, 4\n");

/* Functions that break the convention on purpose, for AbiSelfTest. */
void AbiRemovesFour(void);
void AbiClobbersEbx(void);
void AbiReturnsPi(void);
__asm__(
    "    .text\n"
    "    .globl _AbiRemovesFour\n"
    "_AbiRemovesFour:\n"
    "    ret   $4\n"
    "    .globl _AbiClobbersEbx\n"
    "_AbiClobbersEbx:\n"
    "    xorl  %ebx, %ebx\n"
    "    ret\n"
    "    .globl _AbiReturnsPi\n"
    "_AbiReturnsPi:\n"
    "    fldpi\n"
    "    ret\n");
#define ABI_REMOVES_FOUR AbiRemovesFour
#define ABI_CLOBBERS AbiClobbersEbx
#define ABI_RETURNS_PI AbiReturnsPi
#define ABI_SLOT 4

void AbiCall(const void *fn, const AbiArg *args, int32_t nargs, int32_t floatResult, AbiOutcome *out) {
    Raw32 raw;
    uint16_t control = 0;
    memset(&raw, 0, sizeof raw);
    __asm__ volatile("fnstcw %0" : "=m"(control));
    AbiCallRaw32(fn, args, nargs, floatResult, &raw);
    out->Raw = ((uint64_t)raw.Edx << 32) | raw.Eax;
    out->Real = floatResult ? raw.St0 : 0.0;
    out->StackLeft = (int32_t)raw.StackLeft;
    out->Preserved = (int32_t)raw.Preserved;
    /* The x87 stack is empty at every call boundary, so TOP counts down from 0. */
    out->FpuDepth = (int32_t)((8u - ((raw.FpuStatus >> 11) & 7u)) & 7u);
    if (out->FpuDepth != (floatResult ? 1 : 0)) {
        /* An unbalanced x87 stack would upset every later float: start it afresh. */
        __asm__ volatile("fninit\n\tfldcw %0" : : "m"(control));
    }
}

#elif defined(__x86_64__)

typedef struct Raw64 {
    uint64_t Rax;        /*  0 */
    int64_t StackLeft;   /*  8 */
    uint32_t Preserved;  /* 16 */
    uint32_t Pad;        /* 20 */
    double Xmm0;         /* 24 */
} Raw64;
_Static_assert(offsetof(Raw64, StackLeft) == 8, "thunk layout");
_Static_assert(offsetof(Raw64, Preserved) == 16, "thunk layout");
_Static_assert(offsetof(Raw64, Xmm0) == 24, "thunk layout");

void AbiCallRaw64(const void *fn, const AbiArg *args, Raw64 *out);

#define ABI_CANARY_CHECK(reg, value, label)                                                       \
    "    movabsq $" value ", %r10\n"                                                               \
    "    cmpq  %r10, " reg "\n"                                                                    \
    "    je    " label "f\n"                                                                       \
    "    xorl  %eax, %eax\n" label ":\n"

__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "    .globl AbiCallRaw64\n"
    "AbiCallRaw64:\n"
    "    pushq %rbp\n"
    "    movq  %rsp, %rbp\n"
    "    pushq %rbx\n"
    "    pushq %rsi\n"
    "    pushq %rdi\n"
    "    pushq %r12\n"
    "    pushq %r13\n"
    "    pushq %r14\n"
    "    pushq %r15\n"
    "    movq  %r8, abiOut(%rip)\n"
    "    movq  %rbp, abiSavedRbp(%rip)\n"
    "    movq  %rcx, %r10\n"              /* fn */
    "    movq  %rdx, %r11\n"              /* args: always four slots */
    "    movq  0(%r11), %rcx\n"
    "    movq  8(%r11), %rdx\n"
    "    movq  16(%r11), %r8\n"
    "    movq  24(%r11), %r9\n"
    "    andq  $-16, %rsp\n"
    "    subq  $32, %rsp\n"               /* the callee's home space */
    "    movq  %rsp, abiStackBefore(%rip)\n"
    "    movabsq $0x0B0B0B0B0B0B0B0B, %rbx\n"
    "    movabsq $0x5151515151515151, %rsi\n"
    "    movabsq $0xD1D1D1D1D1D1D1D1, %rdi\n"
    "    movabsq $0xC2C2C2C2C2C2C2C2, %r12\n"
    "    movabsq $0xC3C3C3C3C3C3C3C3, %r13\n"
    "    movabsq $0xC4C4C4C4C4C4C4C4, %r14\n"
    "    movabsq $0xC5C5C5C5C5C5C5C5, %r15\n"
    "    movabsq $0xEBEBEBEBEBEBEBEB, %rbp\n"
    "    call  *%r10\n"
    "    movq  %rax, abiRax(%rip)\n"
    "    movsd %xmm0, abiXmm0(%rip)\n"
    "    movl  $1, %eax\n"
    ABI_CANARY_CHECK("%rbx", "0x0B0B0B0B0B0B0B0B", "1")
    ABI_CANARY_CHECK("%rsi", "0x5151515151515151", "2")
    ABI_CANARY_CHECK("%rdi", "0xD1D1D1D1D1D1D1D1", "3")
    ABI_CANARY_CHECK("%r12", "0xC2C2C2C2C2C2C2C2", "4")
    ABI_CANARY_CHECK("%r13", "0xC3C3C3C3C3C3C3C3", "5")
    ABI_CANARY_CHECK("%r14", "0xC4C4C4C4C4C4C4C4", "6")
    ABI_CANARY_CHECK("%r15", "0xC5C5C5C5C5C5C5C5", "7")
    ABI_CANARY_CHECK("%rbp", "0xEBEBEBEBEBEBEBEB", "8")
    "    movq  abiStackBefore(%rip), %rcx\n"
    "    subq  %rsp, %rcx\n"
    "    movq  abiStackBefore(%rip), %rsp\n"
    "    movq  abiSavedRbp(%rip), %rbp\n"
    "    pushfq\n"
    "    popq  %rdx\n"
    "    testl $0x400, %edx\n"            /* the direction flag must be clear */
    "    jz    9f\n"
    "    xorl  %eax, %eax\n"
    "    cld\n"
    "9:  movq  abiOut(%rip), %rdx\n"
    "    movq  %rcx, 8(%rdx)\n"
    "    movl  %eax, 16(%rdx)\n"
    "    movq  abiRax(%rip), %rax\n"
    "    movq  %rax, 0(%rdx)\n"
    "    movq  abiXmm0(%rip), %rax\n"
    "    movq  %rax, 24(%rdx)\n"
    "    leaq  -56(%rbp), %rsp\n"
    "    popq  %r15\n"
    "    popq  %r14\n"
    "    popq  %r13\n"
    "    popq  %r12\n"
    "    popq  %rdi\n"
    "    popq  %rsi\n"
    "    popq  %rbx\n"
    "    popq  %rbp\n"
    "    ret\n"
    "    .lcomm abiOut, 8, 8\n"
    "    .lcomm abiSavedRbp, 8, 8\n"
    "    .lcomm abiStackBefore, 8, 8\n"
    "    .lcomm abiRax, 8, 8\n"
    "    .lcomm abiXmm0, 8, 8\n");

/* Functions that break the convention on purpose, for AbiSelfTest. */
void AbiRemovesEight(void);
void AbiClobbersR12(void);
void AbiReturnsPi(void);
__asm__(
    "    .text\n"
    "    .globl AbiRemovesEight\n"
    "AbiRemovesEight:\n"
    "    ret   $8\n"
    "    .globl AbiClobbersR12\n"
    "AbiClobbersR12:\n"
    "    xorl  %r12d, %r12d\n"
    "    ret\n"
    "    .globl AbiReturnsPi\n"
    "AbiReturnsPi:\n"
    "    movabsq $0x400921FB54442D18, %rax\n"
    "    movq  %rax, %xmm0\n"
    "    ret\n");
#define ABI_REMOVES_FOUR AbiRemovesEight
#define ABI_CLOBBERS AbiClobbersR12
#define ABI_RETURNS_PI AbiReturnsPi
#define ABI_SLOT 8

void AbiCall(const void *fn, const AbiArg *args, int32_t nargs, int32_t floatResult, AbiOutcome *out) {
    Raw64 raw;
    AbiArg slots[4] = {0, 0, 0, 0};
    memset(&raw, 0, sizeof raw);
    for (int32_t i = 0; i < nargs && i < 4; ++i) slots[i] = args[i];
    AbiCallRaw64(fn, slots, &raw);
    out->Raw = raw.Rax;
    out->Real = floatResult ? raw.Xmm0 : 0.0;
    out->StackLeft = raw.StackLeft;
    out->Preserved = (int32_t)raw.Preserved;
    out->FpuDepth = 0;
}

#else
#error "abi_call.c knows the x86 and x86-64 Windows conventions only"
#endif

int AbiSelfTest(void) {
    const AbiArg args[4] = {1, 2, 3, 4};
    AbiOutcome o;
    int failed = 0;
    /* A callee that removes one slot more than it was given. */
    AbiCall((const void *)(uintptr_t)ABI_REMOVES_FOUR, args, 0, 0, &o);
    if (o.StackLeft != -ABI_SLOT || o.Preserved != 1) {
        printf("thunk self-test: a callee removing %d bytes too many gave StackLeft %lld\n", ABI_SLOT,
               (long long)o.StackLeft);
        ++failed;
    }
#if defined(__i386__)
    /* Two arguments for a callee that removes one. */
    AbiCall((const void *)(uintptr_t)ABI_REMOVES_FOUR, args, 2, 0, &o);
    if (o.StackLeft != 4) {
        printf("thunk self-test: a callee removing 4 of 8 bytes gave StackLeft %lld\n", (long long)o.StackLeft);
        ++failed;
    }
#endif
    AbiCall((const void *)(uintptr_t)ABI_CLOBBERS, args, 0, 0, &o);
    if (o.Preserved != 0 || o.StackLeft != 0) {
        printf("thunk self-test: a clobbered callee-saved register went unseen\n");
        ++failed;
    }
    AbiCall((const void *)(uintptr_t)ABI_RETURNS_PI, args, 0, 1, &o);
    if (o.Real != 3.14159265358979311600 || o.Preserved != 1 || o.StackLeft != 0 ||
        o.FpuDepth != (ABI_SLOT == 4 ? 1 : 0)) {
        printf("thunk self-test: a float64 result of pi came back as %.17g (x87 depth %d)\n", o.Real,
               (int)o.FpuDepth);
        ++failed;
    }
    return failed;
}
