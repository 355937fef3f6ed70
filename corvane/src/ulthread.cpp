// The parts of the worker thread and the counted objects that need no template argument.
#include "corvane/ulthread.h"

#include <new>

#include "comrt/runtime.h"

namespace corvane::detail {

HRESULT ResultOfCurrentException() noexcept {
    try {
        throw;
    } catch (const CHResultException& Exception) {
        return Exception.GetResult();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

void TraceAbandonedThread(const CDebugTraceLocalContext& Context, DWORD nThreadIdentifier) noexcept {
    Context.Write(TRACE_LEVEL_ERROR, "Thread %d (0x%x) cannot be killed and is left running detached\n",
                  static_cast<int>(nThreadIdentifier), nThreadIdentifier);
}

}  // namespace corvane::detail

CMultiThreadedApartment::CMultiThreadedApartment() noexcept {
    // Entered only when it succeeds, so that a failure (the thread is in the other model) does not make the
    // destructor leave an apartment this scope never entered.
    const HRESULT nResult = CoInitializeEx(0, COINIT_MULTITHREADED);
    if (FAILED(nResult)) corvane::AssertionFailed(UL_CONTEXT, "SUCCEEDED(CoInitializeEx(0, COINIT_MULTITHREADED))");
    m_bInitialized = SUCCEEDED(nResult);
}

CMultiThreadedApartment::~CMultiThreadedApartment() {
    if (m_bInitialized) CoUninitialize();
}
