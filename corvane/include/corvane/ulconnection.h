// Connection points: outgoing interfaces with sinks identified by cookies, and firing of dispatch events.
//
// An object with outgoing interfaces embeds one CConnectionPoint per interface and derives from
// IConnectionPointContainerImplT, returning them from ConnectionPoints() (a std::array of pointers, in the
// order EnumConnectionPoints lists them). The connection point has no reference
// count of its own: it lives and dies with its container.
#pragma once

#include <initializer_list>
#include <mutex>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/dispatch.h"
#include "corvane/ulobject.h"

class CConnectionPoint final : public IConnectionPoint {
public:
    // pContainer: the object that embeds this connection point (its references are the container's).
    CConnectionPoint(IConnectionPointContainer* pContainer, const IID& iid) : m_pContainer(pContainer), m_Iid(iid) {}
    CConnectionPoint(const CConnectionPoint&) = delete;
    CConnectionPoint& operator=(const CConnectionPoint&) = delete;
    ~CConnectionPoint();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return m_pContainer->AddRef(); }
    ULONG Release() override { return m_pContainer->Release(); }

    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    // Queries the sink for the connection interface; CONNECT_E_CANNOTCONNECT when it does not answer.
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    // CONNECT_E_NOCONNECTION for a cookie that is not connected.
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

    const IID& GetIid() const { return m_Iid; }

    // The connected sinks in connection order, each held, so that callers fire without the lock.
    std::vector<CComPtr<IUnknown>> GetSinks() const;
    bool HasConnections() const;

    // Calls IDispatch::Invoke(dispid, DISPATCH_METHOD) on every connected sink in connection order, with
    // the arguments given in declaration order. A sink's failure does not stop the others; returns the
    // number of sinks that succeeded.
    unsigned FireDispatch(DISPID dispid, std::initializer_list<VARIANT> args = {}) const;

private:
    struct Connection {
        DWORD nCookie;
        CComPtr<IUnknown> pSink;
    };

    IConnectionPointContainer* m_pContainer;
    const IID m_Iid;
    mutable std::mutex m_Lock;
    std::vector<Connection> m_Connections;
    DWORD m_nNextCookie = 1;
};

// Implements IConnectionPointContainer for a class whose ConnectionPoints() returns its embedded points.
template <class T>
class IConnectionPointContainerImplT : public IConnectionPointContainer {
public:
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        if (ppCP == nullptr) return E_POINTER;
        *ppCP = nullptr;
        for (CConnectionPoint* p : static_cast<T*>(this)->ConnectionPoints()) {
            if (p->GetIid() == riid) {
                p->AddRef();
                *ppCP = p;
                return S_OK;
            }
        }
        return CONNECT_E_NOCONNECTION;
    }
};

// A snapshot enumerator of connection points (holds its container alive).
HRESULT CreateConnectionPointEnumerator(IUnknown* pContainer, const std::vector<CConnectionPoint*>& points,
                                        IEnumConnectionPoints** ppEnum);

template <class T>
HRESULT IConnectionPointContainerImplT<T>::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    const auto& points = static_cast<T*>(this)->ConnectionPoints();
    return CreateConnectionPointEnumerator(static_cast<IConnectionPointContainer*>(this),
                                           std::vector<CConnectionPoint*>(points.begin(), points.end()), ppEnum);
}
