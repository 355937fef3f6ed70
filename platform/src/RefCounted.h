// The reference count of the runtime's small helper objects (runtime-internal).
#pragma once

#include <atomic>

#include "comrt/interfaces.h"

namespace comrt::internal {

// An object that implements one interface: it starts with the reference its creator holds and deletes itself
// when the last one goes.
template <class TInterface>
class CRefCounted : public TInterface {
public:
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override {
        const ULONG n = --m_nReferences;
        if (n == 0) delete this;
        return n;
    }

protected:
    virtual ~CRefCounted() = default;

    // QueryInterface's answer for an interface the object implements itself.
    HRESULT HandOut(void** ppv) {
        *ppv = static_cast<TInterface*>(this);
        AddRef();
        return S_OK;
    }

private:
    std::atomic<ULONG> m_nReferences{1};
};

}  // namespace comrt::internal
