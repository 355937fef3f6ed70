// Apartments are bookkeeping only: each thread records the model it entered, so that code can assert where
// it runs. Calls between objects of one process are always direct.
#include <atomic>

#include "comrt/runtime.h"

namespace {

struct ThreadApartment {
    int nInitCount = 0;
    APTTYPE Type = APTTYPE_NA;
};

thread_local ThreadApartment t_Apartment;

// The first thread that enters a single-threaded apartment is the main one, as on the original platform.
std::atomic<bool> g_bMainStaTaken{false};

}  // namespace

HRESULT CoInitializeEx(void*, DWORD dwCoInit) {
    const bool bSta = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
    ThreadApartment& a = t_Apartment;
    if (a.nInitCount > 0) {
        const bool bWasSta = a.Type == APTTYPE_STA || a.Type == APTTYPE_MAINSTA;
        if (bWasSta != bSta) return RPC_E_CHANGED_MODE;
        ++a.nInitCount;
        return S_FALSE;
    }
    if (bSta) {
        bool bExpected = false;
        a.Type = g_bMainStaTaken.compare_exchange_strong(bExpected, true) ? APTTYPE_MAINSTA : APTTYPE_STA;
    } else {
        a.Type = APTTYPE_MTA;
    }
    a.nInitCount = 1;
    return S_OK;
}

HRESULT CoInitialize(void* pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
    ThreadApartment& a = t_Apartment;
    if (a.nInitCount == 0) return;
    if (--a.nInitCount == 0) {
        if (a.Type == APTTYPE_MAINSTA) g_bMainStaTaken = false;
        a.Type = APTTYPE_NA;
    }
}

HRESULT CoGetApartmentType(APTTYPE* pAptType) {
    if (pAptType == nullptr) return E_INVALIDARG;
    if (t_Apartment.nInitCount == 0) {
        *pAptType = APTTYPE_CURRENT;
        return CO_E_NOTINITIALIZED;
    }
    *pAptType = t_Apartment.Type;
    return S_OK;
}

bool IsSingleThreadedApartment() {
    return t_Apartment.nInitCount > 0 && (t_Apartment.Type == APTTYPE_STA || t_Apartment.Type == APTTYPE_MAINSTA);
}

bool IsMultiThreadedApartment() {
    return t_Apartment.nInitCount > 0 && t_Apartment.Type == APTTYPE_MTA;
}
