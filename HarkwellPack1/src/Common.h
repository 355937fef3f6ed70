// Helpers shared by the library's activities.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "comrt/oleauto.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulguard.h"

class CConnectionPoint;

// The local time text of event subjects and bodies: the date in the user's short date format, one blank, the
// time in the user's time format (the user's locale from the environment, whatever locale the hosting
// program has set). Each part is cut to 256 characters.
std::u16string GetLocalTimeText();
std::u16string FormatLocalTimeText(const std::tm& Time);

// A BSTR copy of sText; raises E_OUTOFMEMORY when it cannot be made. The caller owns the result.
BSTR AllocateString(std::u16string_view sText);

// Creates the server's event record, sets its Subject and then its Body (Level and Tags keep the record's
// defaults) and hands it to every sink connected to ConnectionPoint. A record that cannot be created or
// filled raises the failure's HRESULT after its trace line. Call with no lock held: sinks deliver
// synchronously.
void FireActivityEvent(const CConnectionPoint& ConnectionPoint, std::u16string_view sSubject,
                       std::u16string_view sBody);

// Numbers as the user's locale writes them: digits grouped by three with the locale's thousands separator
// ("," where it has none) and the locale's negative number order. An integer has no decimals; a byte count
// shown in megabytes (1048576 bytes) has nDigits of them, rounded, with the locale's decimal separator ("."
// where it has none) and its leading-zero setting. Both raise the HRESULT of a formatting failure.
std::u16string FormatInteger(std::int64_t nValue);
std::u16string FormatMegabytes(std::uint64_t nBytes, unsigned nDigits);

// The number properties of an activity: read under the object's data lock, written under it too; a value
// below nMinimum is refused with E_INVALIDARG, and a change marks the object dirty.
HRESULT GetNumberProperty(CUlCriticalSection& DataCriticalSection, const LONG& nValue, LONG* pnValue);
template <class TObject>
HRESULT PutNumberProperty(TObject& Object, CUlCriticalSection& DataCriticalSection, LONG& nValue, LONG nNewValue,
                          LONG nMinimum) {
    UL_GUARD_BEGIN
    corvane::CheckArgument(nNewValue >= nMinimum);
    CUlCriticalSectionLock DataLock(DataCriticalSection);
    if (nValue == nNewValue) return S_OK;
    nValue = nNewValue;
    Object.SetDirty();
    UL_GUARD_END
}
