// Call stacks, the symbols of their frames and the modules they lie in, in the shape of the calls a crash
// report makes (RtlCaptureStackBackTrace, a walk from a thread's context, SymFromAddr and
// SymGetLineFromAddr, the loaded modules):
//
//   std::uintptr_t pnFrames[64];
//   const USHORT nCount = comrt::CaptureStackBackTraceFrom(0, 0, 64, pnFrames);
//   comrt::SYMBOL_LOOKUP Lookup;
//   comrt::SymBeginLookup(&Lookup, pnFrames, nCount, FALSE);
//   comrt::SYMBOL_FRAME_INFO Frame;                       // about 3 KiB: not for a small stack
//   for (USHORT i = 0; i < nCount && comrt::SymNextFrame(&Lookup, &Frame); ++i) ...
//   comrt::SymEndLookup(&Lookup);
//
// A frame's address is the interrupted instruction for the frame a signal interrupted, else its return
// address minus one, which lies inside the call, on the caller's line.
//
// Symbols, source files and lines are looked up in a child process made for one stack: it reads the symbol
// tables of the modules loaded at that moment in its copy of the address space, sends one record per frame
// and ends, and the tables end with it, so that the process holds no symbol tables while it runs. The child
// does only what a signal handler may do (it copies a process in any state: a crashed one, or one whose
// other threads hold locks no thread of the child will ever release). A child that has not answered within
// ten seconds (a loader lock held when it was made) is killed; the frames it did not describe have no record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comrt/export.h"
#include "comrt/types.h"

namespace comrt {

// Captures at most FramesToCapture frames of the calling thread into BackTrace and answers how many: frames
// are skipped until the one whose unwound address is nStart (a return address as the caller's
// __builtin_return_address gives it, or a CONTEXT's ProgramCounter), then FramesToSkip more, so that neither
// inlining nor tail calls change where the stack starts; nStart 0 starts at the innermost frame. When no
// frame has the address (no unwind table for it), the whole stack. Async-signal-safe.
COMRT_API USHORT CaptureStackBackTraceFrom(std::uintptr_t nStart, ULONG FramesToSkip, ULONG FramesToCapture,
                                           std::uintptr_t* BackTrace) noexcept;

// Captures the stack of thread dwThreadId of this process (a kernel thread identifier, as GetCurrentThreadId
// answers) from where the thread is: the thread is interrupted by a signal and captures its own stack; the
// caller waits about a second, then once more if the thread has begun. FALSE when the thread cannot be
// reached, does not answer or the runtime's handler for the signal is not the one installed (a handler of
// someone else's is left in place). One capture of the process at a time; the calling thread itself is
// captured directly.
COMRT_API BOOL CaptureThreadStackBackTrace(DWORD dwThreadId, ULONG FramesToCapture, std::uintptr_t* BackTrace,
                                           ULONG* pnCaptured) noexcept;

// What the symbol tables tell about one frame; names are cut to their buffers and stay as the tables store
// them (mangled).
struct SYMBOL_FRAME_INFO {
    BOOL bSymbol;  // szSymbol and nSymbolAddress: the symbol whose code holds the address
    std::uintptr_t nSymbolAddress;
    BOOL bLine;  // szFile and nLine: the source line of the address
    int nLine;
    BOOL bFunction;  // szFunction: the function really called when the address is inlined code
    char szSymbol[1024];
    char szFile[1024];
    char szFunction[1024];
};

// The lookup of one stack; its fields belong to the calls below.
struct SYMBOL_LOOKUP {
    int nChild;
    int nInput;
    int nLeft;
    std::int64_t nDeadline;
};

// Starts the child that describes nCount addresses (none when nCount is 0 or no child can be made: every
// SymNextFrame is then FALSE). bInSignalHandler: the caller is a signal handler (the child is then made
// without the fork handlers a sanitizer's runtime may need). Async-signal-safe, allocates nothing.
COMRT_API void SymBeginLookup(SYMBOL_LOOKUP* pLookup, const std::uintptr_t* pnAddresses, int nCount,
                              BOOL bInSignalHandler) noexcept;
// The next address's record, in the order given; FALSE (and for all later addresses) once the child failed,
// ended early or ran out of time. Async-signal-safe.
COMRT_API BOOL SymNextFrame(SYMBOL_LOOKUP* pLookup, SYMBOL_FRAME_INFO* pFrame) noexcept;
// Ends the lookup: the child is killed unless it has sent everything, and waited for. Async-signal-safe.
COMRT_API void SymEndLookup(SYMBOL_LOOKUP* pLookup) noexcept;

// The module that holds an address, as the loader knows it.
struct LOADED_MODULE_OF_ADDRESS {
    const char* pszModulePath;  // the library's path as loaded; empty for the program itself
    // The exported symbol at or below the address, when the loader knows one (null otherwise).
    const char* pszExportName;
    std::uintptr_t nExportAddress;
};

// The module of nAddress with its exported symbol; FALSE when no loaded module holds it. The texts stay
// valid while the module stays loaded.
COMRT_API BOOL SymGetModuleOfAddress(std::uintptr_t nAddress, LOADED_MODULE_OF_ADDRESS* pModule) noexcept;
// The path of the module of nAddress, empty for the program, null when no loaded module holds it. Takes no
// lock of the loader and allocates nothing: usable in a signal handler.
COMRT_API const char* GetModulePathOfAddressInSignalHandler(std::uintptr_t nAddress) noexcept;

// How many modules the loader has loaded and unloaded so far: a change of either means an address may now
// belong to another module.
COMRT_API void GetLoadedModulesGeneration(ULONGLONG* pnLoaded, ULONGLONG* pnUnloaded) noexcept;

}  // namespace comrt
