// Owning wrappers of kernel handles: CHandle closes its handle when it goes, CEvent adds the event calls.
//
//   CEvent TerminationEvent(true, false);   // manual-reset, not signalled; raises the system error's HRESULT
//   UL_ASSERT(TerminationEvent.Set());
//   WaitForSingleObject(TerminationEvent, 1000);
//
// m_h is public so that calls which hand out a new handle (DuplicateHandle) can write it in place; the
// wrapper must be empty then.
#pragma once

#include <utility>

#include "comrt/sync.h"
#include "corvane/ulguard.h"

class CHandle {
public:
    CHandle() noexcept = default;
    explicit CHandle(HANDLE h) noexcept : m_h(h) {}
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& Other) noexcept : m_h(std::exchange(Other.m_h, nullptr)) {}
    CHandle& operator=(CHandle&& Other) noexcept {
        if (this != &Other) Attach(Other.Detach());
        return *this;
    }
    ~CHandle() { Close(); }

    operator HANDLE() const noexcept { return m_h; }

    // Takes ownership of h, closing the handle held before.
    void Attach(HANDLE h) noexcept {
        Close();
        m_h = h;
    }
    HANDLE Detach() noexcept { return std::exchange(m_h, nullptr); }
    void Close() noexcept {
        if (m_h != nullptr) ::CloseHandle(std::exchange(m_h, nullptr));
    }

    HANDLE m_h = nullptr;
};

class CEvent : public CHandle {
public:
    CEvent() noexcept = default;
    // Creates the event; a failure raises the HRESULT of the system error.
    CEvent(bool bManualReset, bool bInitialState) { Create(bManualReset, bInitialState); }

    void Create(bool bManualReset, bool bInitialState, const char* pszSourcePath = __builtin_FILE(),
                int nLine = __builtin_LINE(), const char* pszFunctionName = __builtin_FUNCTION()) {
        HANDLE h = ::CreateEventW(nullptr, bManualReset ? TRUE : FALSE, bInitialState ? TRUE : FALSE, nullptr);
        if (h == nullptr)
            corvane::ThrowHResult(HRESULT_FROM_WIN32(::GetLastError()), pszSourcePath, nLine, pszFunctionName);
        Attach(h);
    }

    bool Set() const noexcept { return ::SetEvent(m_h) != FALSE; }
    bool Reset() const noexcept { return ::ResetEvent(m_h) != FALSE; }
};
