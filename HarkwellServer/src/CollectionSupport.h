// What the server's collections (scenarios, notifications) share: the index argument and the enumerator.
#pragma once

#include <vector>

#include "comrt/oleauto.h"

// A 0-based index from a collection's index argument, converted to a 32-bit integer; a failed conversion is
// raised with that conversion's code.
LONG IndexFromVariant(const VARIANT& vIndex);

// An IEnumVARIANT over a snapshot of the objects, each as VT_DISPATCH holding its own reference; raised on
// failure.
void CreateDispatchEnumerator(const std::vector<IDispatch*>& Objects, IUnknown** ppEnum);
