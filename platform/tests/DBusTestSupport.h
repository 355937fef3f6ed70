// Shared by the bus bridge tests: a private bus daemon for the test program, child processes with pipes,
// and a small described object (a dual interface with a property, a method with [out] values, an object-
// returning method and an outgoing event interface) whose live instances are counted.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "comrt/bus.h"
#include "comrt/comptr.h"
#include "comrt/dispatch.h"
#include "comrt/runningobjects.h"
#include "comrt/text.h"

struct ITestWidget : IDispatch {
    static constexpr IID kIid = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000001}");
    virtual HRESULT get_Name(BSTR* psName) = 0;
    virtual HRESULT put_Name(BSTR sName) = 0;
    virtual HRESULT get_Count(LONG* pnCount) = 0;
    virtual HRESULT Measure(LONG nValue, LONG* pnDouble, BSTR* psText, VARIANT_BOOL* pbOdd) = 0;
    virtual HRESULT CreateChild(BSTR sName, ITestWidget** ppChild) = 0;
    virtual HRESULT Fire(BSTR sText) = 0;
    virtual HRESULT Fail(LONG nResult) = 0;
    virtual HRESULT Echo(VARIANT vValue, VARIANT* pvValue) = 0;
};

// Answered by a widget by handing out another object, as an object that delegates an interface does.
struct ITestHelper : IDispatch {
    static constexpr IID kIid = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000004}");
    virtual HRESULT get_Owner(BSTR* psOwner) = 0;
};

struct _TestWidgetEvents : IDispatch {
    static constexpr IID kIid = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000002}");
};

constexpr CLSID CLSID_TestWidget = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000003}");

COMRT_DESCRIBE_INTERFACE(ITestWidget, "ITestWidget Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&ITestWidget::get_Name>(1, "Name", 1, "psName"),
                         comrt::PropPut<&ITestWidget::put_Name>(1, "Name", 2, "sName"),
                         comrt::PropGet<&ITestWidget::get_Count>(2, "Count", 3, "pnCount"),
                         comrt::Method<&ITestWidget::Measure, true>(3, "Measure", 4, "nValue,pnDouble,psText,pbOdd"),
                         comrt::Method<&ITestWidget::CreateChild, true>(4, "CreateChild", 5, "sName,ppChild"),
                         comrt::Method<&ITestWidget::Fire>(5, "Fire", 6, "sText"),
                         comrt::Method<&ITestWidget::Fail>(6, "Fail", 7, "nResult"),
                         comrt::Method<&ITestWidget::Echo, true>(7, "Echo", 8, "vValue,pvValue"));

COMRT_DESCRIBE_INTERFACE(ITestHelper, "ITestHelper Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&ITestHelper::get_Owner>(1, "Owner", 1, "psOwner"));

COMRT_DESCRIBE_INTERFACE(_TestWidgetEvents, "_TestWidgetEvents Interface", comrt::InterfaceKind::DispatchOnly,
                         comrt::Event<VT_BSTR, VT_I4>(1, "Changed", "sText,nCount"));

namespace dbus_test {

inline std::atomic<int> g_nLiveWidgets{0};
// Every widget ever made, to tell that a call was served.
inline std::atomic<int> g_nWidgetsMade{0};
// The names widgets were asked for (GetIDsOfNames calls that reached them).
inline std::atomic<int> g_nNameLookups{0};

inline BSTR Bstr(std::u16string_view s) {
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

inline std::u16string Text(BSTR b) {
    return std::u16string(b ? b : u"", SysStringLen(b));
}

// An object of one interface I (on TBase, which implements I's own members): QueryInterface answers
// IUnknown, IDispatch when I is a dispatch interface, and I; the last Release deletes it.
template <class TBase, class I>
class CSingleInterfaceObject : public TBase {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IidOf<IUnknown>() || riid == IidOf<I>() ||
            (std::is_base_of_v<IDispatch, I> && riid == IidOf<IDispatch>())) {
            *ppv = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override {
        const ULONG n = --m_nReferences;
        if (n == 0) delete this;
        return n;
    }

protected:
    virtual ~CSingleInterfaceObject() = default;

private:
    std::atomic<ULONG> m_nReferences{1};
};

class CTestHelper final : public CSingleInterfaceObject<comrt::IDispatchImplT<ITestHelper>, ITestHelper> {
public:
    explicit CTestHelper(std::u16string sOwner) : m_sOwner(std::move(sOwner)) { ++g_nLiveWidgets; }
    HRESULT get_Owner(BSTR* psOwner) override {
        *psOwner = Bstr(m_sOwner);
        return S_OK;
    }

private:
    ~CTestHelper() override { --g_nLiveWidgets; }
    std::u16string m_sOwner;
};

class CTestWidget;

// Enumerates three values: a text, a number and a widget (made when the enumeration reaches it, so that
// asking for the interface makes no widget; its references are counted like every widget's).
class CTestEnum final : public CSingleInterfaceObject<IEnumVARIANT, IEnumVARIANT> {
public:
    explicit CTestEnum(const std::u16string& sName, std::size_t nAt = 0);
    HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        ULONG n = 0;
        for (; n < celt && m_nAt < m_Items.size(); ++n, ++m_nAt) {
            if (m_nAt == 2) MakeWidget();
            VariantInit(&rgVar[n]);
            VariantCopy(&rgVar[n], &m_Items[m_nAt]);
        }
        if (pCeltFetched) *pCeltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        const std::size_t nLeft = m_Items.size() - m_nAt;
        m_nAt += std::min<std::size_t>(celt, nLeft);
        return celt <= nLeft ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_nAt = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumVARIANT** ppEnum) override {
        *ppEnum = new CTestEnum(m_sName, m_nAt);
        return S_OK;
    }

private:
    void MakeWidget();
    ~CTestEnum() override {
        for (VARIANT& v : m_Items) VariantClear(&v);
    }
    std::u16string m_sName;
    std::vector<VARIANT> m_Items;
    std::size_t m_nAt;
};

// The widget with one connection point for _TestWidgetEvents. Free-threaded: calls arrive on the bus
// bridge's thread while the test reads it from its own.
class CTestWidget final : public comrt::IDispatchImplT<ITestWidget>,
                          public IConnectionPointContainer,
                          public IConnectionPoint,
                          public ISpecifyPropertyPages,
                          public IProvideClassInfo {
public:
    explicit CTestWidget(std::u16string sName) : m_sName(std::move(sName)) {
        ++g_nLiveWidgets;
        ++g_nWidgetsMade;
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IDispatch>() || riid == IidOf<ITestWidget>())
            *ppv = static_cast<ITestWidget*>(this);
        else if (riid == IidOf<IConnectionPointContainer>())
            *ppv = static_cast<IConnectionPointContainer*>(this);
        else if (riid == IidOf<ISpecifyPropertyPages>())
            *ppv = static_cast<ISpecifyPropertyPages*>(this);
        else if (riid == IidOf<IProvideClassInfo>())
            *ppv = static_cast<IProvideClassInfo*>(this);
        else if (riid == IidOf<ITestHelper>()) {
            // A new helper each time: the answer is another object, not this one.
            *ppv = static_cast<ITestHelper*>(new CTestHelper(Name()));
            return S_OK;
        } else if (riid == IidOf<IEnumVARIANT>()) {
            // An enumerator of the widget's name, its length and a new child, a new one each time.
            *ppv = static_cast<IEnumVARIANT*>(new CTestEnum(Name()));
            return S_OK;
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override {
        const ULONG n = --m_nReferences;
        if (n == 0) delete this;
        return n;
    }

    HRESULT get_Name(BSTR* psName) override {
        std::lock_guard lock(m_Lock);
        *psName = Bstr(m_sName);
        return S_OK;
    }
    HRESULT put_Name(BSTR sName) override {
        if (SysStringLen(sName) == 0) return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        m_sName = Text(sName);
        return S_OK;
    }
    HRESULT get_Count(LONG* pnCount) override {
        *pnCount = m_nFired;
        return S_OK;
    }
    HRESULT Measure(LONG nValue, LONG* pnDouble, BSTR* psText, VARIANT_BOOL* pbOdd) override {
        *pnDouble = nValue * 2;
        *psText = Bstr(comrt::ToUtf16(std::to_string(nValue)));
        *pbOdd = (nValue % 2) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT CreateChild(BSTR sName, ITestWidget** ppChild) override {
        *ppChild = new CTestWidget(Text(sName));
        return S_OK;
    }
    HRESULT Fire(BSTR sText) override {
        const LONG nCount = ++m_nFired;
        std::vector<CComPtr<IDispatch>> sinks;
        {
            std::lock_guard lock(m_Lock);
            for (auto& [nCookie, pSink] : m_Sinks) sinks.push_back(pSink);
        }
        for (auto& pSink : sinks) {
            VARIANT args[2];
            args[1].vt = VT_BSTR;
            args[1].bstrVal = sText;
            args[0].vt = VT_I4;
            args[0].lVal = nCount;
            DISPPARAMS params{args, nullptr, 2, 0};
            pSink->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
        }
        return S_OK;
    }
    HRESULT Fail(LONG nResult) override { return nResult; }
    HRESULT Echo(VARIANT vValue, VARIANT* pvValue) override { return VariantCopy(pvValue, &vValue); }

    // ISpecifyPropertyPages: the widget's class and the helper's interface stand in for two page classes.
    HRESULT GetPages(CAUUID* pPages) override {
        if (pPages == nullptr) return E_POINTER;
        pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(2 * sizeof(GUID)));
        if (pPages->pElems == nullptr) return E_OUTOFMEMORY;
        pPages->pElems[0] = CLSID_TestWidget;
        pPages->pElems[1] = IidOf<ITestHelper>();
        pPages->cElems = 2;
        return S_OK;
    }

    // IProvideClassInfo: the widget's class answers ITestWidget (IDispatch and the others are no described
    // interfaces).
    HRESULT GetClassInfo(ITypeInfo** ppTI) override {
        const IID* Interfaces[] = {&IidOf<ITestWidget>(), &IidOf<IDispatch>(), &IidOf<IConnectionPointContainer>(),
                                   &IidOf<ISpecifyPropertyPages>(), &IidOf<IProvideClassInfo>()};
        return comrt::CreateClassTypeInfo(CLSID_TestWidget, Interfaces, 5, ppTI);
    }

    // IConnectionPointContainer
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        *ppCP = nullptr;
        if (riid != IidOf<_TestWidgetEvents>()) return CONNECT_E_NOCONNECTION;
        *ppCP = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    // IConnectionPoint
    HRESULT GetConnectionInterface(IID* pIID) override {
        *pIID = IidOf<_TestWidgetEvents>();
        return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        *ppCPC = this;
        AddRef();
        return S_OK;
    }
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
        CComQIPtr<IDispatch> pSink(pUnkSink);
        if (!pSink) return CONNECT_E_CANNOTCONNECT;
        std::lock_guard lock(m_Lock);
        *pdwCookie = ++m_nNextCookie;
        m_Sinks.emplace_back(*pdwCookie, pSink);
        return S_OK;
    }
    HRESULT Unadvise(DWORD dwCookie) override {
        std::lock_guard lock(m_Lock);
        for (auto it = m_Sinks.begin(); it != m_Sinks.end(); ++it)
            if (it->first == dwCookie) {
                m_Sinks.erase(it);
                return S_OK;
            }
        return CONNECT_E_NOCONNECTION;
    }
    HRESULT EnumConnections(IEnumConnections** ppEnum) override {
        *ppEnum = nullptr;
        return E_NOTIMPL;
    }

    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override {
        ++g_nNameLookups;
        return IDispatchImplT::GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
    }

    std::u16string Name() {
        std::lock_guard lock(m_Lock);
        return m_sName;
    }
    std::size_t SinkCount() {
        std::lock_guard lock(m_Lock);
        return m_Sinks.size();
    }

private:
    ~CTestWidget() { --g_nLiveWidgets; }

    std::atomic<ULONG> m_nReferences{1};
    std::atomic<LONG> m_nFired{0};
    std::mutex m_Lock;
    std::u16string m_sName;
    DWORD m_nNextCookie = 0;
    std::vector<std::pair<DWORD, CComPtr<IDispatch>>> m_Sinks;
};

inline CTestEnum::CTestEnum(const std::u16string& sName, std::size_t nAt) : m_sName(sName), m_Items(3), m_nAt(nAt) {
    for (VARIANT& v : m_Items) VariantInit(&v);
    m_Items[0].vt = VT_BSTR;
    m_Items[0].bstrVal = Bstr(sName);
    m_Items[1].vt = VT_I4;
    m_Items[1].lVal = static_cast<LONG>(sName.size());
}

inline void CTestEnum::MakeWidget() {
    if (m_Items[2].vt != VT_EMPTY) return;
    m_Items[2].vt = VT_DISPATCH;
    m_Items[2].pdispVal = new CTestWidget(m_sName + u" item");
}

class CTestWidgetFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IidOf<IUnknown>() || riid == IidOf<IClassFactory>()) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override { return --m_nReferences; }  // static lifetime
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        CComPtr<ITestWidget> pWidget;
        pWidget.Attach(new CTestWidget(u"factory"));
        if (m_bKeepLast) {
            std::lock_guard lock(m_Lock);
            m_pLast = pWidget;
        }
        return pWidget->QueryInterface(riid, ppv);
    }
    // With bKeep, the factory keeps the widget it made last (TakeLast hands it over).
    void KeepLast(bool bKeep) { m_bKeepLast = bKeep; }
    CComPtr<ITestWidget> TakeLast() {
        std::lock_guard lock(m_Lock);
        return std::move(m_pLast);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    std::atomic<ULONG> m_nReferences{1};
    std::atomic<bool> m_bKeepLast{false};
    std::mutex m_Lock;
    CComPtr<ITestWidget> m_pLast;
};

// A child process with its standard output (and error) on a pipe and its standard input on another.
struct CChildProcess {
    pid_t nPid = -1;
    int fdOutput = -1;
    int fdInput = -1;

    // With bTiedToParent the child is ended when this process ends, however it ends.
    static CChildProcess Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                               bool bTiedToParent = false) {
        int out[2], in[2];
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
        CChildProcess child;
        child.nPid = fork();
        if (child.nPid == 0) {
            if (bTiedToParent) prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            dup2(out[1], 2);
            dup2(in[0], 0);
            for (const std::string& s : env) putenv(const_cast<char*>(s.c_str()));
            std::vector<char*> argv;
            for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(in[0]);
        child.fdOutput = out[0];
        child.fdInput = in[1];
        return child;
    }

    // One line of output (without its line feed); false at end of output or after the time-out.
    bool ReadLine(std::string* psLine, int nTimeoutMs = 20000) {
        psLine->clear();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fd{fdOutput, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
            char c = 0;
            if (read(fdOutput, &c, 1) != 1) return false;
            if (c == '\n') return true;
            *psLine += c;
        }
    }
    std::string ReadAll(int nTimeoutMs = 20000) {
        std::string sAll, sLine;
        while (ReadLine(&sLine, nTimeoutMs)) sAll += sLine + "\n";
        return sAll + sLine;
    }
    void CloseInput() {
        if (fdInput >= 0) close(fdInput);
        fdInput = -1;
    }
    // The exit status, or -1 when it had to be killed after the time-out.
    int Wait(int nTimeoutMs = 20000) {
        CloseInput();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        int nStatus = 0;
        while (waitpid(nPid, &nStatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(nPid, SIGKILL);
                waitpid(nPid, &nStatus, 0);
                if (fdOutput >= 0) close(fdOutput);
                fdOutput = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (fdOutput >= 0) close(fdOutput);
        fdOutput = -1;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }
};

// Runs a command to its end; its output (both streams) and exit status.
inline std::string RunCommand(const std::vector<std::string>& args, int* pnStatus = nullptr) {
    CChildProcess child = CChildProcess::Start(args);
    std::string sOutput = child.ReadAll();
    const int nStatus = child.Wait();
    if (pnStatus) *pnStatus = nStatus;
    return sOutput;
}

// A session bus of this test program's own: DBUS_SESSION_BUS_ADDRESS points at it until the end.
class CPrivateBus : public ::testing::Environment {
public:
    void SetUp() override {
        // Not forked off: the daemon ends with this program even when a test crashes it.
        m_Daemon = CChildProcess::Start({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, true);
        ASSERT_TRUE(m_Daemon.ReadLine(&m_sAddress));
        setenv("DBUS_SESSION_BUS_ADDRESS", m_sAddress.c_str(), 1);
        // Other tests may keep their processes off the buses; these, and their clients, use this one.
        unsetenv(comrt::kClientBusVariable);
    }
    void TearDown() override {
        comrt::CoDetachBus();
        if (m_Daemon.nPid > 0) {
            kill(m_Daemon.nPid, SIGTERM);
            m_Daemon.Wait();
        }
    }
    static const std::string& Address() { return m_sAddress; }

private:
    static inline std::string m_sAddress;
    CChildProcess m_Daemon;
};

// Waits until pred holds, at most nTimeoutMs.
inline bool WaitFor(const std::function<bool()>& pred, int nTimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The server half every bridge test starts with: the bridge on the private bus, the widget class served,
// and a root widget published under the application's running object table name.
class CServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(S_OK, comrt::CoAttachBus(comrt::BusKind::Session));
        ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_TestWidget, &m_Factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                              &m_nClassCookie));
        m_pRoot = new CTestWidget(u"root");
        CComPtr<IMoniker> pName;
        ASSERT_EQ(S_OK, CreateItemMoniker(u"!", comrt::kApplicationMonikerName + 1, &pName));
        CComPtr<IRunningObjectTable> pTable;
        ASSERT_EQ(S_OK, GetRunningObjectTable(0, &pTable));
        ASSERT_EQ(S_OK, pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE | ROTFLAGS_ALLOWANYCLIENT,
                                         static_cast<ITestWidget*>(m_pRoot), pName, &m_nRotCookie));
        m_nBaseline = g_nLiveWidgets.load();
    }
    void TearDown() override {
        CComPtr<IRunningObjectTable> pTable;
        if (SUCCEEDED(GetRunningObjectTable(0, &pTable)) && m_nRotCookie != 0) pTable->Revoke(m_nRotCookie);
        if (m_nClassCookie != 0) CoRevokeClassObject(m_nClassCookie);
        comrt::CoDetachBus();
        if (m_pRoot) static_cast<ITestWidget*>(m_pRoot)->Release();
        CoUninitialize();
    }

    // The widgets and exports are back to what the fixture made.
    bool Settled(int nTimeoutMs = 10000) {
        return WaitFor([&] { return g_nLiveWidgets == m_nBaseline && comrt::CoGetExportedObjectCount() == 1; },
                       nTimeoutMs);
    }

    CTestWidgetFactory m_Factory;
    DWORD m_nClassCookie = 0;
    DWORD m_nRotCookie = 0;
    CTestWidget* m_pRoot = nullptr;
    int m_nBaseline = 0;
};

}  // namespace dbus_test
