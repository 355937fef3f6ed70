#include "CollectionSupport.h"

#include "corvane/ulenum.h"
#include "corvane/ulguard.h"

LONG IndexFromVariant(const VARIANT& vIndex) {
    VARIANT vConverted;
    VariantInit(&vConverted);
    UL_CHECK(VariantChangeType(&vConverted, &vIndex, 0, VT_I4));
    return vConverted.lVal;
}

void CreateDispatchEnumerator(const std::vector<IDispatch*>& Objects, IUnknown** ppEnum) {
    std::vector<VARIANT> Items;
    Items.reserve(Objects.size());
    for (IDispatch* pObject : Objects) {
        VARIANT Item;
        VariantInit(&Item);
        Item.vt = VT_DISPATCH;
        Item.pdispVal = pObject;  // the enumerator takes its own reference
        Items.push_back(Item);
    }
    IEnumVARIANT* pEnum = nullptr;
    UL_CHECK(CEnumVariant::Create(Items, nullptr, &pEnum));
    *ppEnum = pEnum;
}
