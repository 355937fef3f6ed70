// The event record class served from a benchmark's own process, as the server serves it: scenarios started
// here raise their events through it.
#pragma once

#include "HarkwellServer/Interfaces.h"
#include "ServerRegistration.h"
#include "comrt/comptr.h"
#include "comrt/runtime.h"

// Registers the class object; the cookie to revoke it with goes to nCookie.
inline HRESULT ServeEventRecordClass(DWORD& nCookie) {
    CComPtr<IUnknown> pFactory;
    HRESULT hr =
        ServerClassTable().GetClassObject(CLSID_CActivityEvent, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory));
    if (SUCCEEDED(hr))
        hr = CoRegisterClassObject(CLSID_CActivityEvent, pFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &nCookie);
    return hr;  // the registration holds the class object from here on
}
