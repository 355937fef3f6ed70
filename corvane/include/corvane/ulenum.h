// Snapshot enumerators: IEnumVARIANT, IEnumConnections, IEnumConnectionPoints and IEnumGUID over a copy of
// the items taken when the enumerator is made. Clones share the snapshot and keep their own position.
#pragma once

#include <memory>
#include <vector>

#include "comrt/comptr.h"
#include "corvane/ulobject.h"

// How an item is handed out: Copy makes the caller's copy (with its own references), Destroy undoes Copy.
template <class Item>
struct EnumItemTraits;

template <>
struct EnumItemTraits<VARIANT> {
    static HRESULT Copy(VARIANT* pTo, const VARIANT& from) {
        VariantInit(pTo);
        return VariantCopy(pTo, &from);
    }
    static void Destroy(VARIANT* p) { VariantClear(p); }
};

template <>
struct EnumItemTraits<GUID> {
    static HRESULT Copy(GUID* pTo, const GUID& from) {
        *pTo = from;
        return S_OK;
    }
    static void Destroy(GUID*) {}
};

template <>
struct EnumItemTraits<CONNECTDATA> {
    static HRESULT Copy(CONNECTDATA* pTo, const CONNECTDATA& from) {
        *pTo = from;
        if (pTo->pUnk) pTo->pUnk->AddRef();
        return S_OK;
    }
    static void Destroy(CONNECTDATA* p) {
        if (p->pUnk) p->pUnk->Release();
        p->pUnk = nullptr;
    }
};

template <>
struct EnumItemTraits<IConnectionPoint*> {
    static HRESULT Copy(IConnectionPoint** pTo, IConnectionPoint* const& from) {
        *pTo = from;
        if (from) from->AddRef();
        return S_OK;
    }
    static void Destroy(IConnectionPoint** p) {
        if (*p) (*p)->Release();
        *p = nullptr;
    }
};

// The items of one snapshot, shared by an enumerator and its clones. Destroys its copies when the last one
// goes; pOwner is held so that items pointing into it stay valid.
template <class Item>
struct EnumSnapshot {
    std::vector<Item> Items;
    CComPtr<IUnknown> pOwner;
    EnumSnapshot() = default;
    EnumSnapshot(const EnumSnapshot&) = delete;
    EnumSnapshot& operator=(const EnumSnapshot&) = delete;
    ~EnumSnapshot() {
        for (Item& item : Items) EnumItemTraits<Item>::Destroy(&item);
    }
};

template <class IEnum, class Item>
class CEnumT : public IEnum {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IEnum>>;
    using Snapshot = EnumSnapshot<Item>;

    explicit CEnumT(std::shared_ptr<Snapshot> pSnapshot, std::size_t nPosition = 0)
        : m_pSnapshot(std::move(pSnapshot)), m_nPosition(nPosition) {}

    // Takes copies of items (each made through EnumItemTraits) and holds pOwner; the new enumerator is
    // returned with one reference.
    static HRESULT Create(const std::vector<Item>& items, IUnknown* pOwner, IEnum** ppEnum) {
        if (ppEnum == nullptr) return E_POINTER;
        *ppEnum = nullptr;
        auto pSnapshot = std::make_shared<Snapshot>();
        pSnapshot->pOwner = pOwner;
        pSnapshot->Items.reserve(items.size());
        for (const Item& item : items) {
            Item copy{};
            HRESULT hr = EnumItemTraits<Item>::Copy(&copy, item);
            if (FAILED(hr)) return hr;
            pSnapshot->Items.push_back(copy);
        }
        return MakeEnumerator(std::move(pSnapshot), 0, ppEnum);
    }

    HRESULT Next(ULONG celt, Item* rgelt, ULONG* pceltFetched) override {
        if (pceltFetched) *pceltFetched = 0;
        if (rgelt == nullptr || (celt > 1 && pceltFetched == nullptr)) return E_POINTER;
        ULONG nFetched = 0;
        while (nFetched < celt && m_nPosition < m_pSnapshot->Items.size()) {
            HRESULT hr = EnumItemTraits<Item>::Copy(&rgelt[nFetched], m_pSnapshot->Items[m_nPosition]);
            if (FAILED(hr)) {
                for (ULONG i = 0; i < nFetched; ++i) EnumItemTraits<Item>::Destroy(&rgelt[i]);
                return hr;
            }
            ++nFetched;
            ++m_nPosition;
        }
        if (pceltFetched) *pceltFetched = nFetched;
        return nFetched == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        const std::size_t nLeft = m_pSnapshot->Items.size() - m_nPosition;
        if (celt > nLeft) {
            m_nPosition = m_pSnapshot->Items.size();
            return S_FALSE;
        }
        m_nPosition += celt;
        return S_OK;
    }
    HRESULT Reset() override {
        m_nPosition = 0;
        return S_OK;
    }
    HRESULT Clone(IEnum** ppEnum) override { return MakeEnumerator(m_pSnapshot, m_nPosition, ppEnum); }

private:
    static HRESULT MakeEnumerator(std::shared_ptr<Snapshot> pSnapshot, std::size_t nPosition, IEnum** ppEnum) {
        if (ppEnum == nullptr) return E_POINTER;
        *ppEnum = nullptr;
        CComObjectT<CEnumT>* p = nullptr;
        HRESULT hr = CComObjectT<CEnumT>::CreateInstance(&p, std::move(pSnapshot), nPosition);
        if (FAILED(hr)) return hr;
        *ppEnum = p;
        return S_OK;
    }

    std::shared_ptr<Snapshot> m_pSnapshot;
    std::size_t m_nPosition;
};

using CEnumVariant = CEnumT<IEnumVARIANT, VARIANT>;
using CEnumGuid = CEnumT<IEnumGUID, GUID>;
using CEnumConnections = CEnumT<IEnumConnections, CONNECTDATA>;
using CEnumConnectionPoints = CEnumT<IEnumConnectionPoints, IConnectionPoint*>;
