// The handle table of the service control manager, the service dispatcher and the event log.
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "ServiceInternal.h"
#include "comrt/sync.h"

namespace comrt::internal {

namespace {

struct HandleTable {
    std::mutex Lock;
    std::unordered_map<const void*, std::shared_ptr<CServiceObject>> Objects;
};

HandleTable& Handles() {
    // Never destroyed: a handle closed while the process exits must still find the table.
    static HandleTable* pTable = new HandleTable;
    return *pTable;
}

}  // namespace

void* InsertServiceObject(std::shared_ptr<CServiceObject> pObject) noexcept {
    HandleTable& t = Handles();
    std::lock_guard Lock(t.Lock);
    try {
        void* h = pObject.get();
        t.Objects.emplace(h, std::move(pObject));
        return h;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<CServiceObject> LookupServiceObject(const void* h, std::uint32_t nTag) noexcept {
    HandleTable& t = Handles();
    std::lock_guard Lock(t.Lock);
    auto it = t.Objects.find(h);
    if (it == t.Objects.end() || it->second->nTag != nTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

bool RemoveServiceObject(const void* h, std::initializer_list<std::uint32_t> Tags) noexcept {
    HandleTable& t = Handles();
    std::shared_ptr<CServiceObject> pObject;  // released outside the lock
    std::lock_guard Lock(t.Lock);
    auto it = t.Objects.find(h);
    if (it != t.Objects.end()) {
        for (std::uint32_t nTag : Tags) {
            if (it->second->nTag != nTag) continue;
            pObject = std::move(it->second);
            t.Objects.erase(it);
            return true;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

std::string EnvironmentValue(const char* szName) {
    const char* psz = std::getenv(szName);
    return psz ? psz : "";
}

}  // namespace comrt::internal
