// A module's unhandled-exception filter and the alternate stacks its reports run on, in the shape of
// SetUnhandledExceptionFilter and SetThreadStackGuarantee:
//
//   LONG Filter(EXCEPTION_POINTERS* pInfo) noexcept { ...report...; return EXCEPTION_CONTINUE_SEARCH; }
//   comrt::InstallUnhandledExceptionFilter(&Filter);  // FALSE: the handlers could not be installed
//   ...
//   comrt::RemoveUnhandledExceptionFilter();
//
// Unlike the runtime's other calls these are compiled into each module (the static library comrt_module,
// with hidden symbols): every module has its own filter, its own handlers and its own idea of the handlers
// that came before. Two modules in one process thus each install theirs, the later one passing a crash on to
// the earlier one's after its filter has run.
//
// Crashes arrive as the fatal signals SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP and SIGSYS. The
// filter is called on the thread that crashed, on its alternate signal stack (installed for the thread that
// installs the filter when it has none; other threads get one from CreateThreadSignalStack, without which a
// stack overflow on them kills the process unreported). It runs in a signal handler: it may do only what is
// async-signal-safe, and a second fatal signal while it runs ends the process by that signal. The record's
// code is the one the same fault raises on the platform whose codes the system speaks:
//
//   Signal   si_code                            Code        Meaning                      Parameters
//   SIGSEGV  fault within 64 KiB of the stack   0xC00000FD  stack overflow               access, address
//            pointer
//   SIGSEGV  any other                          0xC0000005  access violation             access, address
//   SIGBUS   any                                0xC0000005  access violation             access, address
//   SIGILL   ILL_PRVOPC, ILL_PRVREG             0xC0000096  privileged instruction
//   SIGILL   any other                          0xC000001D  illegal instruction
//   SIGFPE   FPE_INTDIV                         0xC0000094  integer divide by zero
//   SIGFPE   FPE_INTOVF                         0xC0000095  integer overflow
//   SIGFPE   FPE_FLTDIV                         0xC000008E  float divide by zero
//   SIGFPE   FPE_FLTOVF                         0xC0000091  float overflow
//   SIGFPE   FPE_FLTUND                         0xC0000093  float underflow
//   SIGFPE   FPE_FLTRES                         0xC000008F  float inexact result
//   SIGFPE   FPE_FLTINV                         0xC0000090  float invalid operation
//   SIGFPE   FPE_FLTSUB                         0xC000008C  array bounds exceeded
//   SIGFPE   any other                          0xC0000094  integer divide by zero
//   SIGABRT  any                                0x40000015  fatal application exit (abort), flags 1
//   SIGTRAP  TRAP_TRACE, TRAP_HWBKPT            0x80000004  single step
//   SIGTRAP  any other                          0x80000003  breakpoint
//   SIGSYS   any                                0xC000001C  invalid system service
//
// Flags are 0 except for an abort, which cannot continue (EXCEPTION_NONCONTINUABLE). The address is the
// interrupted instruction. Faults the kernel detected (si_code > 0) carry two parameters for the access
// codes: the access (0 read, 1 write, 8 instruction fetch) and the faulting address; a signal sent by kill,
// raise or abort carries none.
//
// Whatever the filter returns, the signal then goes where it would have gone without it: a previous handler
// is called with the same arguments (and what it does decides); otherwise the previous disposition is put
// back and the fault happens again or the signal is raised again, so the process ends by the same signal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comrt/types.h"

constexpr DWORD EXCEPTION_MAXIMUM_PARAMETERS = 15;
// The flag of an exception after which execution cannot continue.
constexpr DWORD EXCEPTION_NONCONTINUABLE = 0x1;
// What a filter answers: the exception goes on to whoever handled it before.
constexpr LONG EXCEPTION_CONTINUE_SEARCH = 0;

constexpr DWORD EXCEPTION_ACCESS_VIOLATION = 0xC0000005;
constexpr DWORD EXCEPTION_STACK_OVERFLOW = 0xC00000FD;
constexpr DWORD EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001D;
constexpr DWORD EXCEPTION_PRIV_INSTRUCTION = 0xC0000096;
constexpr DWORD EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094;
constexpr DWORD EXCEPTION_INT_OVERFLOW = 0xC0000095;
constexpr DWORD EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008E;
constexpr DWORD EXCEPTION_FLT_OVERFLOW = 0xC0000091;
constexpr DWORD EXCEPTION_FLT_UNDERFLOW = 0xC0000093;
constexpr DWORD EXCEPTION_FLT_INEXACT_RESULT = 0xC000008F;
constexpr DWORD EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090;
constexpr DWORD EXCEPTION_ARRAY_BOUNDS_EXCEEDED = 0xC000008C;
constexpr DWORD EXCEPTION_FATAL_APP_EXIT = 0x40000015;
constexpr DWORD EXCEPTION_BREAKPOINT = 0x80000003;
constexpr DWORD EXCEPTION_SINGLE_STEP = 0x80000004;
constexpr DWORD EXCEPTION_INVALID_SYSTEM_SERVICE = 0xC000001C;

struct EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    EXCEPTION_RECORD* ExceptionRecord;  // always null here: a crash has no nested record
    std::uintptr_t ExceptionAddress;
    DWORD NumberParameters;
    std::uintptr_t ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

// The interrupted processor state, as far as a report uses it; both 0 when the state is unknown.
struct CONTEXT {
    std::uintptr_t ProgramCounter;
    std::uintptr_t StackPointer;
};

struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    CONTEXT* ContextRecord;
};

using LPTOP_LEVEL_EXCEPTION_FILTER = LONG (*)(EXCEPTION_POINTERS* pExceptionInfo) noexcept;

namespace comrt {

// Installs the module's fatal-signal handlers (keeping the previous ones) with pfnFilter as their filter,
// and the module's alternate signal stack for the calling thread when it has none. FALSE when a handler
// could not be installed (then nothing is). Installing while installed replaces nothing: FALSE.
BOOL InstallUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter) noexcept;
// Removes the filter: the previous handler back for each signal whose handler is still this module's (a
// handler installed later stays, and may still call ours, which then only passes the signal on), and the
// thread's previous alternate stack when called on the thread that installed the filter.
void RemoveUnhandledExceptionFilter() noexcept;

// Whether the calling thread has an alternate signal stack.
BOOL HasThreadSignalStack() noexcept;
// Makes an alternate signal stack with an inaccessible page below it (an overflow of it faults rather than
// writing over something else) and installs it for the calling thread; null when none could be made or
// installed. The caller keeps it and frees it with DeleteThreadSignalStack on the same thread.
void* CreateThreadSignalStack() noexcept;
// Stops using pvStack on the calling thread when it is the thread's alternate stack, then frees it.
void DeleteThreadSignalStack(void* pvStack) noexcept;

}  // namespace comrt
