// The event record that activities fill and notifications read: a level, tags, a subject and a body.
// Free-threaded: the activity's worker thread fills it, notifications read it, possibly later and from
// another thread, so every field access takes the record's data lock.
#pragma once

#include <string>

#include "HarkwellServer/Interfaces.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"

class CActivityEvent : public comrt::IDispatchImplT<IActivityEvent>, public ISupportErrorInfoImplT<IActivityEvent> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IActivityEvent>, InterfaceEntry<IDispatch, IActivityEvent>,
                                     InterfaceEntry<ISupportErrorInfo>>;

    // IActivityEvent
    HRESULT get_Level(LONG* pnLevel) override;
    HRESULT put_Level(LONG nLevel) override;
    HRESULT get_Tags(BSTR* psTags) override;
    HRESULT put_Tags(BSTR sTags) override;
    HRESULT get_Subject(BSTR* psSubject) override;
    HRESULT put_Subject(BSTR sSubject) override;
    HRESULT get_Body(BSTR* psBody) override;
    HRESULT put_Body(BSTR sBody) override;

private:
    HRESULT GetText(const std::u16string& sField, BSTR* psValue);
    HRESULT PutText(std::u16string& sField, BSTR sValue);

    CUlCriticalSection m_DataCriticalSection;
    LONG m_nLevel = 0;
    std::u16string m_sTags;
    std::u16string m_sSubject;
    std::u16string m_sBody;
};
