// The application object: the one running instance of the server's engine in a process. The server module
// makes it, tells it the main thread, starts it before the message loop and stops it after. While started
// and enabled it owns the manager, and so every scenario. It keeps the Enabled setting in the registry,
// publishes the process in the shared application data and in the running object table, and tells
// connected clients about its life cycle and its last error through _ApplicationEvents.
//
// Threads: Start, Stop, RaiseLastEvent and all event firing run on the main thread; IApplication calls may
// come from any thread. The data lock guards Enabled, the manager reference and the event list; events are
// fired only after it is released.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "ApplicationData.h"
#include "HarkwellServer/ServerInterfaces.h"
#include "corvane/ulconnection.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ulpersistregistry.h"

class CApplication;

// The one instance of the process, or null. Set by CApplication::CreateInstance and cleared by the last
// release, both under one lock; others only read it while they hold a reference.
extern CApplication* g_pApplication;

// Where the server's settings live, below HKEY_LOCAL_MACHINE.
constexpr const char16_t* kServerSettingsKeyPath = u"SOFTWARE\\Corvane\\Harkwell\\Server";

// Terminate in Service Mode: the service is stopped by its service manager, not by clients.
constexpr HRESULT kTerminateInServiceModeResult = MakeCorvaneHResult(0x0193);

// The name of an interface as registered under HKEY_CLASSES_ROOT\Interface\{iid}, else its identifier text.
std::u16string GetInterfaceName(REFIID riid);

class CApplication final : private CModuleLockHolder,
                           public comrt::IDispatchImplT<IApplication>,
                           public CBasePersistT<CApplication>,
                           public IUlPersistPropertyBagT<CApplication>,
                           public IUlSpecifyPropertyPagesT<CApplication>,
                           public IConnectionPointContainerImplT<CApplication> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IApplication>, InterfaceEntry<IDispatch, IApplication>,
                                     InterfaceEntry<IPersistPropertyBag>, InterfaceEntry<IPersist, IPersistPropertyBag>,
                                     InterfaceEntry<ISpecifyPropertyPages>, InterfaceEntry<IConnectionPointContainer>>;

    // One recorded application event.
    struct CApplicationEvent {
        DWORD nTime;  // GetTickCount when it was made
        EVENTTYPE Type;
        std::u16string sDescription;
    };

    // Announces, when it ends, the last event if one was recorded while it lived; made before the data
    // lock is taken, so that the event is fired after the lock is released.
    class CApplicationEventRaiser {
    public:
        explicit CApplicationEventRaiser(CApplication* pApplication);
        CApplicationEventRaiser(const CApplicationEventRaiser&) = delete;
        CApplicationEventRaiser& operator=(const CApplicationEventRaiser&) = delete;
        ~CApplicationEventRaiser();

    private:
        CApplication* m_pApplication;
        std::size_t m_nEventCount;
    };

    CApplication();
    CApplication(const CApplication&) = delete;
    CApplication& operator=(const CApplication&) = delete;

    // The class's creator: the process's one instance, made on first use.
    static HRESULT CreateInstance(REFIID riid, void** ppv);

    static const CLSID& GetObjectCLSID() { return CLSID_CApplication; }
    BEGIN_UL_PROPERTY_MAP(CApplication)
    UL_PROPERTY_ENTRY(u"Enabled", DISPID_Application_Enabled, CLSID_CStatusPropertyPage, IApplication)
    UL_PROPERTY_PAGE(CLSID_CScenariosPropertyPage)
    END_UL_PROPERTY_MAP()

    std::array<CConnectionPoint*, 1> ConnectionPoints() { return {&m_EventsPoint}; }

    // IUnknown. Every query is traced with the interface's name and the result; IScenarios is answered
    // by the manager's collection itself while there is a manager.
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IApplication
    HRESULT Terminate() override;
    HRESULT QueryLastEvent(EVENTTYPE* pType, BSTR* psDescription, VARIANT_BOOL* pbValid) override;
    HRESULT Save() override;
    // IPersistPropertyBag's Save, which the settings bag is written with.
    using IUlPersistPropertyBagT<CApplication>::Save;
    HRESULT get_Enabled(VARIANT_BOOL* pbEnabled) override;
    HRESULT put_Enabled(VARIANT_BOOL bEnabled) override;
    HRESULT get_Manager(IManager** ppManager) override;

    // The module's operations, on the main thread.
    void SetMainThreadIdentifier(DWORD nThreadIdentifier);
    // Starting; shared data (0x80070420 when another instance runs); settings and manager; running object
    // table; Started. A failed step is raised and ends Start there.
    void Start();
    // Stopping; out of the running object table; manager dropped and settings saved; shared data released;
    // Stopped. Never fails: each step's exception is traced and the next step runs.
    void Stop();
    bool IsRunning() const noexcept;

    // Fires Event with the last recorded event; on the main thread, without the data lock.
    void RaiseLastEvent();

private:
    ~CApplication();

    HRESULT InternalQueryInterface(REFIID riid, void** ppv);
    // Takes a reference unless the last one is gone already.
    bool TryAddRef() noexcept;
    void RegisterSharedData();
    void UnregisterSharedData();
    void RegisterRunningObject();
    void RevokeRunningObject();
    void InitializeApplication();
    // The caller holds the data lock. A failure is recorded as an error event, not raised.
    void CreateManager();
    // A warning event naming the stored scenarios the new manager could not read, when there are any.
    void RecordUnreadableScenarios();
    void TerminateApplication();
    void SaveSettings();
    IPropertyBag* GetSettingsBag();
    void Fire(DISPID nDispid);

    std::atomic<ULONG> m_nReferenceCount{0};
    DWORD m_nMainThreadIdentifier = 0;
    CUlCriticalSection m_DataCriticalSection;
    mutable std::atomic<LONG> m_nRunning{0};
    bool m_bEnabled = true;
    std::vector<CApplicationEvent> m_ApplicationEventList;
    CComPtr<IManager> m_pManager;
    CApplicationDataMapping m_DataMapping;
    CComPtr<CComObjectT<CRegistryPropertyBag>> m_pSettingsBag;
    DWORD m_nCookie = 0;  // the running object table's, 0 while not registered
    CConnectionPoint m_EventsPoint;
};
