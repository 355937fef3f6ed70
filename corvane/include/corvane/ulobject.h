// Reference-counted COM objects of this module: interface tables, the object wrapper that counts
// references and holds a module lock, class factories and ISupportErrorInfo.
//
// A class lists the interfaces it answers in a member type named Interfaces, most derived first:
//
//   class CActivityEvent : public comrt::IDispatchImplT<IActivityEvent>, public ISupportErrorInfo {
//   public:
//       using Interfaces = InterfaceList<InterfaceEntry<IActivityEvent>, InterfaceEntry<IDispatch, IActivityEvent>,
//                                        InterfaceEntry<ISupportErrorInfo>>;
//       ...
//   };
//
// and is instantiated as CComObjectT<CActivityEvent>, which supplies IUnknown. The first entry also
// answers IUnknown, so every object has one identity.
#pragma once

#include <array>
#include <atomic>
#include <new>
#include <utility>

#include "comrt/comptr.h"
#include "comrt/dispatch.h"
#include "comrt/runtime.h"
#include "corvane/ulmodule.h"

// InterfaceEntry<I> answers I with the object's I base; InterfaceEntry<I, Via> answers I through the Via base
// (IDispatch through a dual interface, or an outgoing interface's identifier through IDispatch).
template <class I, class Via = I>
struct InterfaceEntry {
    static const IID& Iid() { return IidOf<I>(); }
    template <class T>
    static void* Get(T* p) {
        return static_cast<I*>(static_cast<Via*>(p));
    }
};

// Answers an interface identifier that has no C++ interface of its own (a pure dispatch interface) with
// the Via base.
template <const IID& Iid_, class Via>
struct InterfaceIdEntry {
    static const IID& Iid() { return Iid_; }
    template <class T>
    static void* Get(T* p) {
        return static_cast<Via*>(p);
    }
};

template <class First, class... Rest>
struct InterfaceList {
    template <class T>
    static void* Find(T* p, REFIID riid) {
        if (riid == IidOf<IUnknown>()) return First::Get(p);
        void* pv = nullptr;
        (void)((riid == First::Iid() && (pv = First::Get(p))) || ... || (riid == Rest::Iid() && (pv = Rest::Get(p))));
        return pv;
    }
    template <class T>
    static IUnknown* Identity(T* p) {
        return static_cast<IUnknown*>(First::Get(p));
    }
    // The identifiers answered, in the table's order.
    static std::array<const IID*, 1 + sizeof...(Rest)> Iids() { return {&First::Iid(), &Rest::Iid()...}; }
};

// Holds one module lock for as long as it lives. The object wrapper derives from it first, so the lock is
// released only after the whole object, members included, is gone.
class CModuleLockHolder {
public:
    CModuleLockHolder() noexcept { ModuleLock(); }
    CModuleLockHolder(const CModuleLockHolder&) = delete;
    CModuleLockHolder& operator=(const CModuleLockHolder&) = delete;
    ~CModuleLockHolder() { ModuleUnlock(); }
};

// The most derived class of every COM object of this module. T may provide HRESULT FinalConstruct() (run
// after construction, with one reference held, a failure destroys the object) and void FinalRelease() (run
// before destruction).
template <class T>
class CComObjectT final : private CModuleLockHolder, public T {
public:
    template <class... Args>
    explicit CComObjectT(Args&&... args) : T(std::forward<Args>(args)...) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = T::Interfaces::Find(static_cast<T*>(this), riid);
        if (*ppv == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_nReferenceCount; }
    // Takes a reference unless the last one is gone already (the object is on its way out): a holder of a
    // plain pointer that the object clears in FinalRelease keeps it alive this way without resurrecting it.
    bool TryAddRef() noexcept {
        ULONG nCount = m_nReferenceCount.load();
        while (nCount != 0)
            if (m_nReferenceCount.compare_exchange_weak(nCount, nCount + 1)) return true;
        return false;
    }
    ULONG Release() override {
        const ULONG nCount = --m_nReferenceCount;
        if (nCount == 0) {
            // Guards against a reference taken and dropped during FinalRelease destroying us twice.
            m_nReferenceCount = 1;
            if constexpr (requires(T & t) { t.FinalRelease(); }) T::FinalRelease();
            delete this;
        }
        return nCount;
    }

    IUnknown* GetUnknown() { return T::Interfaces::Identity(static_cast<T*>(this)); }

    // Creates an object holding one reference in *ppObject, or fails with FinalConstruct's code.
    template <class... Args>
    static HRESULT CreateInstance(CComObjectT** ppObject, Args&&... args) {
        if (ppObject == nullptr) return E_POINTER;
        *ppObject = nullptr;
        auto* p = new (std::nothrow) CComObjectT(std::forward<Args>(args)...);
        if (p == nullptr) return E_OUTOFMEMORY;
        p->AddRef();
        if constexpr (requires(T & t) { t.FinalConstruct(); }) {
            HRESULT hr = p->FinalConstruct();
            if (FAILED(hr)) {
                p->Release();
                return hr;
            }
        }
        *ppObject = p;
        return S_OK;
    }

    // Creates an object and hands out the interface riid (the object lives as long as that reference).
    static HRESULT CreateInstance(REFIID riid, void** ppv) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        CComObjectT* p = nullptr;
        HRESULT hr = CreateInstance(&p);
        if (FAILED(hr)) return hr;
        hr = p->QueryInterface(riid, ppv);
        p->Release();
        return hr;
    }

private:
    ~CComObjectT() = default;
    std::atomic<ULONG> m_nReferenceCount{0};
};

// How a class factory makes a new object of its class.
using ObjectCreator = HRESULT (*)(REFIID riid, void** ppv);

template <class T>
HRESULT CreateObjectT(REFIID riid, void** ppv) {
    return CComObjectT<T>::CreateInstance(riid, ppv);
}

// The class object of a creatable class: makes objects through its creator; aggregation is not supported.
class CClassFactory : public IClassFactory {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IClassFactory>>;

    explicit CClassFactory(ObjectCreator pfnCreator) : m_pfnCreator(pfnCreator) {}

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        try {
            return m_pfnCreator(riid, ppv);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }
    HRESULT LockServer(BOOL fLock) override {
        if (fLock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }

    // A new class object for pfnCreator, answering riid.
    static HRESULT Create(ObjectCreator pfnCreator, REFIID riid, void** ppv) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        CComObjectT<CClassFactory>* p = nullptr;
        HRESULT hr = CComObjectT<CClassFactory>::CreateInstance(&p, pfnCreator);
        if (FAILED(hr)) return hr;
        hr = p->QueryInterface(riid, ppv);
        p->Release();
        return hr;
    }

private:
    ObjectCreator m_pfnCreator;
};

// IProvideClassInfo of a class T that lists it among its Interfaces: the type information of T's class
// (T::GetObjectCLSID()) made by the runtime from T's interface table and the descriptions of its interfaces.
template <class T>
class IProvideClassInfoImplT : public IProvideClassInfo {
public:
    HRESULT GetClassInfo(ITypeInfo** ppTI) override {
        const auto Iids = T::Interfaces::Iids();
        return comrt::CreateClassTypeInfo(T::GetObjectCLSID(), Iids.data(), static_cast<unsigned>(Iids.size()), ppTI);
    }
};

// ISupportErrorInfo answering yes for the listed interfaces only.
template <class... I>
class ISupportErrorInfoImplT : public ISupportErrorInfo {
public:
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override { return ((riid == IidOf<I>()) || ...) ? S_OK : S_FALSE; }
};
