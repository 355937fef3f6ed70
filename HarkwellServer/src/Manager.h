// The scenario collection and the manager that owns it. Creating a manager loads the stored scenarios and
// starts them; releasing it writes the list back. The collection's lock is taken before any scenario's.
#pragma once

#include <vector>

#include "Scenario.h"

using CScenarioObject = CComObjectT<CScenario>;

class CScenarios : public comrt::IDispatchImplT<IScenarios>,
                   public CBasePersistT<CScenarios>,
                   public IUlSpecifyPropertyPagesT<CScenarios> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IScenarios>, InterfaceEntry<IDispatch, IScenarios>,
                                     InterfaceEntry<ISpecifyPropertyPages>>;

    CScenarios() : CBasePersistT<CScenarios>(&m_DataCriticalSection) {}
    void FinalRelease();

    static const CLSID& GetObjectCLSID() { return CLSID_CScenarios; }
    BEGIN_UL_PROPERTY_MAP(CScenarios)
    END_UL_PROPERTY_MAP()

    // IScenarios
    HRESULT get_Item(VARIANT vIndex, IScenario** ppScenario) override;
    HRESULT get__NewEnum(IUnknown** ppEnum) override;
    HRESULT get_Count(LONG* pnCount) override;
    HRESULT Add(IScenario** ppScenario) override;
    HRESULT Remove(IScenario* pScenario) override;
    HRESULT CreateActivity(VARIANT vClass, IActivity** ppActivity) override;
    HRESULT CreateNotification(VARIANT vClass, INotification** ppNotification) override;

    // Changed itself (always, in practice: its counters are never reset) or any scenario changed.
    bool IsDirty();
    // Whether a scenario of the list, or an object of one, counts as changed (the list's own changes aside).
    bool HasChangedScenario();
    // The stored list: loading replaces the list and starts each scenario as it is loaded; saving writes
    // every scenario and deletes the values no scenario owns, in one registry transaction. Both raise.
    void LoadFromRegistry();
    void SaveToRegistry();
    // The names of the stored values the last load skipped because their bytes are no scenario; saving
    // leaves those values as they are.
    std::vector<std::u16string> GetUnreadableValueNames();

private:
    // Appends a scenario; the caller holds the data lock.
    void AddScenario(CScenarioObject* pScenario);
    static CComPtr<CScenarioObject> NewScenario();

    CUlCriticalSection m_DataCriticalSection;
    std::vector<CComPtr<CScenarioObject>> m_ScenarioList;
    std::vector<std::u16string> m_UnreadableValueNames;
};

using CScenariosObject = CComObjectT<CScenarios>;

class CManager : public comrt::IDispatchImplT<IManager>, public IUlSpecifyPropertyPagesT<CManager> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IManager>, InterfaceEntry<IDispatch, IManager>,
                                     InterfaceEntry<ISpecifyPropertyPages>>;

    HRESULT FinalConstruct();
    void FinalRelease();

    BEGIN_UL_PROPERTY_MAP(CManager)
    END_UL_PROPERTY_MAP()

    // IManager
    HRESULT get_Scenarios(IScenarios** ppScenarios) override;

private:
    CUlCriticalSection m_DataCriticalSection;
    CComPtr<CScenariosObject> m_pScenarios;
    bool m_bLoaded = false;
};

// Where the scenario list is stored, below HKEY_LOCAL_MACHINE.
constexpr const char16_t* kScenariosKeyPath = u"SOFTWARE\\Corvane\\Harkwell\\Server\\Scenarios";
