// The handle table and the calling thread's last error.
//
// A handle is a key into one process-wide table, never the object's address, so that a stale or made-up
// handle is recognised instead of being followed. Keys count up in steps of four from 4 and are not reused;
// the pseudo-handle of the process (-1) is never a key.
#include <new>
#include <unordered_map>

#include "SyncObjects.h"

namespace comrt::internal {
namespace {

thread_local DWORD t_nLastError = 0;

struct HandleTable {
    std::mutex Lock;
    std::uintptr_t nNextKey = 4;
    std::unordered_map<std::uintptr_t, std::shared_ptr<CKernelObject>> Objects;
};

// Made on first use and never destroyed: threads of modules that are still being torn down at process exit
// may close their handles after this library's static objects would be gone.
HandleTable& Table() noexcept {
    static HandleTable* pTable = new HandleTable;
    return *pTable;
}

std::uintptr_t KeyOf(HANDLE hObject) noexcept {
    return reinterpret_cast<std::uintptr_t>(hObject);
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<CKernelObject> pObject) noexcept {
    HandleTable& t = Table();
    std::lock_guard Lock(t.Lock);
    try {
        const std::uintptr_t nKey = t.nNextKey;
        t.Objects.emplace(nKey, std::move(pObject));
        t.nNextKey += 4;
        return reinterpret_cast<HANDLE>(nKey);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<CKernelObject> LookupHandle(HANDLE hObject) noexcept {
    HandleTable& t = Table();
    {
        std::lock_guard Lock(t.Lock);
        const auto it = t.Objects.find(KeyOf(hObject));
        if (it != t.Objects.end()) return it->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

}  // namespace comrt::internal

using namespace comrt::internal;

DWORD GetLastError() noexcept {
    return t_nLastError;
}

void SetLastError(DWORD dwErrCode) noexcept {
    t_nLastError = dwErrCode;
}

BOOL CloseHandle(HANDLE hObject) noexcept {
    std::shared_ptr<CKernelObject> pObject;
    {
        HandleTable& t = Table();
        std::lock_guard Lock(t.Lock);
        const auto it = t.Objects.find(KeyOf(hObject));
        if (it != t.Objects.end()) {
            pObject = std::move(it->second);
            t.Objects.erase(it);
        }
    }
    if (!pObject) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The object may go here, outside the table's lock: its destructor closes descriptors.
    pObject.reset();
    return TRUE;
}

HANDLE GetCurrentProcess() noexcept {
    return INVALID_HANDLE_VALUE;
}

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions) noexcept {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<CKernelObject> pObject = LookupHandle(hSourceHandle);
    // The source is closed whether or not the duplicate can be made, as the kernel call does.
    if (pObject && (dwOptions & DUPLICATE_CLOSE_SOURCE) != 0) CloseHandle(hSourceHandle);
    if (!pObject) return FALSE;
    if (lpTargetHandle == nullptr || (dwOptions & ~(DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE hTarget = InsertHandle(std::move(pObject));
    if (hTarget == nullptr) return FALSE;
    *lpTargetHandle = hTarget;
    return TRUE;
}
