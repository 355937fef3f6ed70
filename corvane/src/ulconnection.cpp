#include "corvane/ulconnection.h"

#include <algorithm>

#include "corvane/ulenum.h"

CConnectionPoint::~CConnectionPoint() = default;

HRESULT CConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IidOf<IUnknown>() || riid == IidOf<IConnectionPoint>()) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT CConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (pIID == nullptr) return E_POINTER;
    *pIID = m_Iid;
    return S_OK;
}

HRESULT CConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (ppCPC == nullptr) return E_POINTER;
    m_pContainer->AddRef();
    *ppCPC = m_pContainer;
    return S_OK;
}

HRESULT CConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie == nullptr) return E_POINTER;
    *pdwCookie = 0;
    if (pUnkSink == nullptr) return E_POINTER;
    CComPtr<IUnknown> pSink;
    if (FAILED(pUnkSink->QueryInterface(m_Iid, reinterpret_cast<void**>(&pSink))) || !pSink)
        return CONNECT_E_CANNOTCONNECT;
    std::lock_guard lock(m_Lock);
    // Cookies are never 0 and never reused while the point lives.
    const DWORD nCookie = m_nNextCookie++;
    if (m_nNextCookie == 0) m_nNextCookie = 1;
    m_Connections.push_back(Connection{nCookie, std::move(pSink)});
    *pdwCookie = nCookie;
    return S_OK;
}

HRESULT CConnectionPoint::Unadvise(DWORD dwCookie) {
    CComPtr<IUnknown> pSink;  // released after the lock, since the sink may call back into us
    {
        std::lock_guard lock(m_Lock);
        auto it = std::find_if(m_Connections.begin(), m_Connections.end(),
                               [&](const Connection& c) { return c.nCookie == dwCookie; });
        if (it == m_Connections.end()) return CONNECT_E_NOCONNECTION;
        pSink = std::move(it->pSink);
        m_Connections.erase(it);
    }
    return S_OK;
}

HRESULT CConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    std::vector<CONNECTDATA> items;
    {
        std::lock_guard lock(m_Lock);
        for (const Connection& c : m_Connections) items.push_back(CONNECTDATA{c.pSink.p, c.nCookie});
        // Copies are made (and AddRef'ed) by Create while the sinks are still held here.
        return CEnumConnections::Create(items, m_pContainer, ppEnum);
    }
}

std::vector<CComPtr<IUnknown>> CConnectionPoint::GetSinks() const {
    std::lock_guard lock(m_Lock);
    std::vector<CComPtr<IUnknown>> sinks;
    sinks.reserve(m_Connections.size());
    for (const Connection& c : m_Connections) sinks.push_back(c.pSink);
    return sinks;
}

bool CConnectionPoint::HasConnections() const {
    std::lock_guard lock(m_Lock);
    return !m_Connections.empty();
}

unsigned CConnectionPoint::FireDispatch(DISPID dispid, std::initializer_list<VARIANT> args) const {
    // Invoke takes its arguments last first.
    std::vector<VARIANT> reversed(args.begin(), args.end());
    std::reverse(reversed.begin(), reversed.end());
    unsigned nSucceeded = 0;
    for (const CComPtr<IUnknown>& pSink : GetSinks()) {
        CComQIPtr<IDispatch> pDispatch(pSink);
        if (!pDispatch) continue;
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        VARIANT result;
        VariantInit(&result);
        HRESULT hr = pDispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                                       nullptr, nullptr);
        VariantClear(&result);
        if (SUCCEEDED(hr)) ++nSucceeded;
    }
    return nSucceeded;
}

HRESULT CreateConnectionPointEnumerator(IUnknown* pContainer, const std::vector<CConnectionPoint*>& points,
                                        IEnumConnectionPoints** ppEnum) {
    std::vector<IConnectionPoint*> items(points.begin(), points.end());
    return CEnumConnectionPoints::Create(items, pContainer, ppEnum);
}
