// The exception filter's reports of thrown exceptions: the module's definition of the C++ runtime's throw
// entry, which reports each exception before passing it on to the runtime's own entry.
#include <cxxabi.h>
#include <stdlib.h>

#include <atomic>
#include <exception>
#include <typeinfo>

#include "comrt/interpose.h"
#include "corvane/ulexception.h"
#include "corvane/ulmodule.h"
#include "ulexceptionstate.h"

#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(CORVANE_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif

using namespace corvane;

namespace {

using ThrowFunction = void (*)(void*, std::type_info*, void (*)(void*));

constinit std::atomic<bool> g_bHooked{false};
constinit std::atomic<ThrowFunction> g_pfnRuntimeThrow{nullptr};

// Set while this thread reports, so that an exception thrown (and caught) inside the report is not reported.
thread_local bool t_bReporting = false;

// Where the thread's last exceptions were thrown, so that a nested record can show its address.
struct ThrowSites {
    static constexpr unsigned COUNT = 8;
    const void* ppvObjects[COUNT];
    std::uintptr_t pnAddresses[COUNT];
    unsigned nNext;
};

thread_local ThrowSites t_Sites{};

void RememberThrowSite(const void* pvObject, std::uintptr_t nAddress) noexcept {
    t_Sites.ppvObjects[t_Sites.nNext] = pvObject;
    t_Sites.pnAddresses[t_Sites.nNext] = nAddress;
    t_Sites.nNext = (t_Sites.nNext + 1) % ThrowSites::COUNT;
}

// The newest first: an object's memory is reused by later exceptions.
std::uintptr_t ThrowSiteOf(const void* pvObject) noexcept {
    for (unsigned n = 1; n <= ThrowSites::COUNT; ++n) {
        const unsigned i = (t_Sites.nNext + ThrowSites::COUNT - n) % ThrowSites::COUNT;
        if (t_Sites.ppvObjects[i] == pvObject) return t_Sites.pnAddresses[i];
    }
    return 0;
}

// The entry the exception goes on to. The program's own definition is the process's: the next one after
// it is the C++ runtime's. A library's definition is its own: it goes on to the process's entry (the
// program's filter, or the runtime), and to the next one after the library when the process has none in
// reach (a host that is no C++ program).
ThrowFunction FindRuntimeThrow() noexcept {
    ThrowFunction pfnThrow = g_pfnRuntimeThrow.load(std::memory_order_acquire);
    if (pfnThrow != nullptr) return pfnThrow;
    void* pvOwn = reinterpret_cast<void*>(&__cxxabiv1::__cxa_throw);
    void* pvThrow = IsProgramImage() ? nullptr : comrt::GetProcessProcAddress("__cxa_throw");
    if (pvThrow == nullptr || pvThrow == pvOwn) pvThrow = comrt::GetNextProcAddress("__cxa_throw");
    if (pvThrow == pvOwn) pvThrow = nullptr;
    pfnThrow = reinterpret_cast<ThrowFunction>(pvThrow);
    g_pfnRuntimeThrow.store(pfnThrow, std::memory_order_release);
    return pfnThrow;
}

// Captures the stack from the thrower on: this function, the entry's C++ part and the throw entry are
// skipped.
__attribute__((noinline)) void ReportThrow(void* pvObject, std::type_info* pType, std::uintptr_t nAddress) noexcept {
    if (t_bReporting) return;
    t_bReporting = true;
    CDebugTraceCallStack::CContext Stack;
    CDebugTraceCallStack::CaptureCurrentThread(Stack, 3);
    CExceptionFilter::CRecord Record;
    CExceptionFilter::TranslateThrow(pvObject, pType, nAddress, Record);
    // An exception being handled by this thread (the new one is thrown inside its catch block).
    CExceptionFilter::CRecord Nested;
    const std::exception_ptr pCurrent = std::current_exception();
    if (pCurrent) {
        static_assert(sizeof(std::exception_ptr) == sizeof(void*), "the exception pointer holds the object's address");
        void* pvNested = *reinterpret_cast<void* const*>(&pCurrent);
        CExceptionFilter::TranslateThrow(pvNested, pCurrent.__cxa_exception_type(), ThrowSiteOf(pvNested), Nested);
        Record.pNested = &Nested;
    }
    RememberThrowSite(pvObject, nAddress);
    CExceptionFilter::ExceptionFilter(&Record, &Stack);
    t_bReporting = false;
}

}  // namespace

// The C++ part of the throw entry: reports the exception thrown at nAddress while hooked, and answers the
// entry the exception goes on to.
extern "C" __attribute__((noinline, used, visibility("hidden"))) ThrowFunction CorvaneExceptionFilterThrow(
    void* pvObject, std::type_info* pType, std::uintptr_t nAddress) noexcept {
    if (g_bHooked.load(std::memory_order_acquire)) ReportThrow(pvObject, pType, nAddress);
#if defined(CORVANE_ADDRESS_SANITIZER)
    // The sanitizer's own throw entry does this, and ours may go past it to the runtime's.
    __asan_handle_no_return();
#endif
    const ThrowFunction pfnThrow = FindRuntimeThrow();
    if (pfnThrow == nullptr) abort();
    return pfnThrow;
}

// Every throw of this module's code (and, in the program, of the whole process) comes here. The entry
// saves the arguments, has the C++ part report, and jumps on with the thrower's return address still on
// the stack, so that the next entry (another module's filter, then the runtime) sees the same thrower and
// the same stack as this one.
#if defined(__x86_64__)
asm(R"(
    .text
    .globl __cxa_throw
    .type __cxa_throw, @function
    .p2align 4
__cxa_throw:
    .cfi_startproc
    push %rdi
    .cfi_adjust_cfa_offset 8
    push %rsi
    .cfi_adjust_cfa_offset 8
    push %rdx
    .cfi_adjust_cfa_offset 8
    mov 24(%rsp), %rdx
    call CorvaneExceptionFilterThrow
    mov %rax, %r11
    pop %rdx
    .cfi_adjust_cfa_offset -8
    pop %rsi
    .cfi_adjust_cfa_offset -8
    pop %rdi
    .cfi_adjust_cfa_offset -8
    jmp *%r11
    .cfi_endproc
    .size __cxa_throw, .-__cxa_throw
)");
#else
// Elsewhere the entry is a plain function: the next entry then sees this one as the thrower.
namespace __cxxabiv1 {
extern "C" void __cxa_throw(void* pvObject, std::type_info* pType, void (*pfnDestructor)(void*)) {
    CorvaneExceptionFilterThrow(pvObject, pType, reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)))(
        pvObject, pType, pfnDestructor);
    __builtin_unreachable();
}
}  // namespace __cxxabiv1
#endif

void CExceptionFilter::TranslateThrow(void* pvObject, const std::type_info* pType, std::uintptr_t nAddress,
                                      CRecord& Record) noexcept {
    Record = CRecord{};
    Record.nCode = ExceptionCode::CxxException;
    Record.nFlags = EXCEPTION_FLAG_NONCONTINUABLE;
    Record.nAddress = nAddress;
    Record.nParameterCount = 3;
    Record.pnParameters[0] = CXX_EXCEPTION_MARKER;
    Record.pnParameters[1] = reinterpret_cast<std::uintptr_t>(pvObject);
    Record.pnParameters[2] = reinterpret_cast<std::uintptr_t>(pType);
    Record.pType = pType;
}

void CExceptionFilter::ExceptionFilter(const CRecord* pExceptionRecord,
                                       const CDebugTraceCallStack::CContext* pContextRecord) noexcept {
    UL_ASSERT(pExceptionRecord && pContextRecord);
    if (pExceptionRecord == nullptr || pContextRecord == nullptr) return;
    CExceptionFilterLockScope Lock(g_CriticalSection);
    if (!g_bHooked.load()) return;
    CIssue(KIND_EXCEPTION, *pExceptionRecord, *pContextRecord, false).Trace();
}

bool CExceptionFilter::HookCxxFrameHandler() noexcept {
    UL_ASSERT(VerifyCriticalSectionLocked(g_CriticalSection));
    if (g_bHooked.load()) return true;
    if (FindRuntimeThrow() == nullptr) {
        AssertionFailed(UL_CONTEXT, "0 && L\"Unable to hook exception handler\"");
        return false;
    }
    g_bHooked.store(true);
    return true;
}

void CExceptionFilter::UnhookCxxFrameHandler() noexcept {
    UL_ASSERT(VerifyCriticalSectionLocked(g_CriticalSection));
    g_bHooked.store(false);
}
