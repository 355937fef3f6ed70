// The module's fatal-signal handler and the translation of a signal into an exception record, for the
// filter's own source and its tests.
#pragma once

#include <signal.h>

#include "comrt/exceptions.h"

namespace comrt {

// The handler installed for every fatal signal: the filter, then the signal goes on to the previous handler.
void FatalSignalHandler(int nSignal, siginfo_t* pInfo, void* pvContext) noexcept;

// The record and context of a signal, as the table in comrt/exceptions.h says. pvContext is the handler's
// ucontext_t; null: no stack-overflow test, the address from the signal information.
void TranslateSignal(int nSignal, const siginfo_t& Info, const void* pvContext, EXCEPTION_RECORD& Record,
                     CONTEXT& Context) noexcept;

}  // namespace comrt
