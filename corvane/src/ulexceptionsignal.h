// The exception filter's side that speaks the system's signal structures: the fatal-signal handler and the
// translation of a signal into a record. Kept out of corvane/ulexception.h, so that the public header needs
// no system header; the filter's sources and its tests include it.
#pragma once

#include <signal.h>

#include "corvane/ulexception.h"

namespace corvane {

struct CFatalSignalFilter {
    // The fatal-signal handler: a report of kind 1, then the signal goes on to the previous handler.
    static void UnhandledExceptionFilter(int nSignal, siginfo_t* pExceptionInfo, void* pvContext) noexcept;
    // The record of a signal: code, flags, address and parameters as the table in ulexception.h says.
    // pvContext is the handler's ucontext_t (null: no stack-overflow test, the address from the signal
    // information).
    static void TranslateSignal(int nSignal, const siginfo_t& Info, const void* pvContext,
                                CExceptionFilter::CRecord& Record) noexcept;
};

}  // namespace corvane
