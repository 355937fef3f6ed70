// Helpers shared by the automation types' sources (runtime-internal).
#pragma once

#include "comrt/oleauto.h"

namespace comrt::internal {

// Whether vt may be stored in a VARIANT: a known base type, alone or with VT_BYREF and/or VT_ARRAY. VT_VARIANT
// exists only by reference or as array elements; VT_EMPTY and VT_NULL only as themselves.
bool IsValidVariantType(VARTYPE vt);

// The size in bytes of one value of a base type as it is stored in an array or behind a reference; 0 for
// types that are never stored that way.
unsigned ValueSize(VARTYPE vt);

// Stores value, which already has the scalar type vt (a number, a boolean, a date, a currency or an error
// code), where a reference of type vt points. False, and nothing stored, for the other types, whose values
// own something.
bool StoreScalar(const VARIANT& value, VARTYPE vt, void* pTarget);

}  // namespace comrt::internal
