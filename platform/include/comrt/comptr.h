// Smart pointers for interfaces: CComPtr holds one reference; CComQIPtr asks for its interface when
// assigned from another one. The raw pointer is the public member p, so `&ptr` gives the out-parameter form.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "comrt/interfaces.h"

template <class T>
class CComPtr {
public:
    T* p = nullptr;

    CComPtr() noexcept = default;
    CComPtr(std::nullptr_t) noexcept {}
    CComPtr(T* pRaw) noexcept : p(pRaw) {
        if (p) p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    ~CComPtr() {
        if (p) p->Release();
    }

    CComPtr& operator=(T* pRaw) noexcept {
        if (pRaw) pRaw->AddRef();
        T* pOld = std::exchange(p, pRaw);
        if (pOld) pOld->Release();
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {
            T* pOld = std::exchange(p, std::exchange(other.p, nullptr));
            if (pOld) pOld->Release();
        }
        return *this;
    }
    CComPtr& operator=(std::nullptr_t) noexcept {
        Release();
        return *this;
    }

    operator T*() const noexcept { return p; }
    T* operator->() const noexcept { return p; }
    T& operator*() const noexcept { return *p; }
    // The out-parameter form; the pointer must be empty, as a leak would follow otherwise.
    T** operator&() noexcept { return &p; }
    explicit operator bool() const noexcept { return p != nullptr; }
    bool operator!() const noexcept { return p == nullptr; }

    void Release() noexcept {
        if (T* pOld = std::exchange(p, nullptr)) pOld->Release();
    }
    void Attach(T* pRaw) noexcept {
        if (p) p->Release();
        p = pRaw;
    }
    T* Detach() noexcept { return std::exchange(p, nullptr); }
    HRESULT CopyTo(T** ppT) const noexcept {
        if (ppT == nullptr) return E_POINTER;
        *ppT = p;
        if (p) p->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** pp) const noexcept {
        if (pp == nullptr) return E_POINTER;
        *pp = nullptr;
        if (p == nullptr) return E_POINTER;
        return p->QueryInterface(IidOf<Q>(), reinterpret_cast<void**>(pp));
    }
    HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pOuter = nullptr, DWORD dwContext = 0x17);
    bool IsEqualObject(IUnknown* pOther) const noexcept;
};

template <class T>
class CComQIPtr : public CComPtr<T> {
public:
    CComQIPtr() noexcept = default;
    CComQIPtr(T* pRaw) noexcept : CComPtr<T>(pRaw) {}
    CComQIPtr(IUnknown* pUnk) noexcept requires(!std::is_same_v<T, IUnknown>) {
        if (pUnk) pUnk->QueryInterface(IidOf<T>(), reinterpret_cast<void**>(&this->p));
    }
    CComQIPtr& operator=(IUnknown* pUnk) noexcept requires(!std::is_same_v<T, IUnknown>) {
        T* pNew = nullptr;
        if (pUnk) pUnk->QueryInterface(IidOf<T>(), reinterpret_cast<void**>(&pNew));
        this->Attach(pNew);
        return *this;
    }
    CComQIPtr& operator=(T* pRaw) noexcept {
        CComPtr<T>::operator=(pRaw);
        return *this;
    }
};

#include "comrt/runtime.h"

template <class T>
HRESULT CComPtr<T>::CoCreateInstance(REFCLSID rclsid, IUnknown* pOuter, DWORD dwContext) {
    Release();
    return ::CoCreateInstance(rclsid, pOuter, dwContext, IidOf<T>(), reinterpret_cast<void**>(&p));
}

template <class T>
bool CComPtr<T>::IsEqualObject(IUnknown* pOther) const noexcept {
    if (p == nullptr || pOther == nullptr) return p == nullptr && pOther == nullptr;
    CComPtr<IUnknown> pThis, pThat;
    p->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pThis.p));
    pOther->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pThat.p));
    return pThis.p == pThat.p;
}
