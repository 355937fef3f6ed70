// The export side of the bus bridge, driven by independent clients (busctl and gdbus) on a private bus:
// introspection, properties, typed methods with [out] values, Corvane.Dispatch, error names carrying
// HRESULTs, signals from an outgoing interface, and references held per client.
#include <cctype>
#include <string_view>
#include "DBusTestSupport.h"

using namespace dbus_test;

namespace {

auto* const g_pBus = ::testing::AddGlobalTestEnvironment(new CPrivateBus);

const char* kApp = "/Corvane/HarkwellServer/Application";

std::vector<std::string> Busctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"busctl", "--address=" + CPrivateBus::Address()});
    return args;
}

std::vector<std::string> Gdbus(const std::string& sPath, const std::string& sMethod,
                               const std::vector<std::string>& args) {
    std::vector<std::string> all{
        "gdbus", "call",     "--address", CPrivateBus::Address(), "--dest", "Corvane.HarkwellServer", "--object-path",
        sPath,   "--method", sMethod};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

class DBusExportTest : public CServerFixture {};

TEST_F(DBusExportTest, DescriptionsAreFoundByIdentifierAndName) {
    const comrt::InterfaceDescription* d = comrt::FindInterfaceDescription(IidOf<ITestWidget>());
    ASSERT_NE(nullptr, d);
    EXPECT_STREQ("ITestWidget", d->szName);
    EXPECT_EQ(d, comrt::FindInterfaceDescription("ITestWidget"));
    EXPECT_EQ(&comrt::DescriptionOf<_TestWidgetEvents>(), comrt::FindInterfaceDescription(IidOf<_TestWidgetEvents>()));
    EXPECT_EQ(nullptr, comrt::FindInterfaceDescription(CLSID_TestWidget));
    const auto all = comrt::GetInterfaceDescriptions();
    EXPECT_NE(all.end(), std::find(all.begin(), all.end(), d));
}

TEST_F(DBusExportTest, TheApplicationIsIntrospectedWithItsTypedAndEventInterfaces) {
    int nStatus = 0;
    const std::string sOut = RunCommand(Busctl({"introspect", "Corvane.HarkwellServer", kApp}), &nStatus);
    ASSERT_EQ(0, nStatus) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("Corvane.Dispatch")) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("Corvane.ITestWidget")) << sOut;
    EXPECT_NE(std::string::npos, sOut.find(".Measure")) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("isb")) << sOut;  // Measure's [out] values
    EXPECT_NE(std::string::npos, sOut.find(".Name")) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("writable")) << sOut;
    // Changes are told through the object's own events; the bus's change signal is never sent.
    EXPECT_EQ(std::string::npos, sOut.find("emits-change")) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("Corvane._TestWidgetEvents")) << sOut;
    EXPECT_NE(std::string::npos, sOut.find(".Changed")) << sOut;
}

TEST_F(DBusExportTest, PropertiesAreReadAndWrittenWithBusctl) {
    int nStatus = 0;
    std::string sOut =
        RunCommand(Busctl({"get-property", "Corvane.HarkwellServer", kApp, "Corvane.ITestWidget", "Name"}), &nStatus);
    EXPECT_EQ(0, nStatus);
    EXPECT_EQ("s \"root\"\n", sOut);
    sOut = RunCommand(
        Busctl({"set-property", "Corvane.HarkwellServer", kApp, "Corvane.ITestWidget", "Name", "s", "renamed"}),
        &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    EXPECT_EQ(u"renamed", m_pRoot->Name());
    // The object's own refusal comes back with its code.
    sOut = RunCommand(Busctl({"set-property", "Corvane.HarkwellServer", kApp, "Corvane.ITestWidget", "Name", "s", ""}),
                      &nStatus);
    EXPECT_NE(0, nStatus);
    EXPECT_EQ(u"renamed", m_pRoot->Name());
    sOut = RunCommand(Gdbus(kApp, "org.freedesktop.DBus.Properties.Set", {"Corvane.ITestWidget", "Name", "<''>"}),
                      &nStatus);
    EXPECT_NE(std::string::npos, sOut.find("Corvane.Error.HRESULT_0x80070057")) << sOut;
}

TEST_F(DBusExportTest, MethodsGiveTheirOutValuesInOrder) {
    int nStatus = 0;
    const std::string sOut = RunCommand(
        Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.ITestWidget", "Measure", "i", "21"}), &nStatus);
    EXPECT_EQ(0, nStatus);
    EXPECT_EQ("isb 42 \"21\" true\n", sOut);
}

TEST_F(DBusExportTest, DispatchInvokeReachesMembersByDispid) {
    int nStatus = 0;
    // Measure (DISPID 3) as a method: the [out,retval] comes as the result, the other [out] values in outs.
    std::string sOut = RunCommand(Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.Dispatch", "Invoke", "iuav",
                                          "3", "1", "3", "i", "7", "g", "", "g", ""}),
                                  &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    EXPECT_EQ("vav b true 3 g \"\" i 14 s \"7\"\n", sOut);
    // Property get of Name (DISPID 1).
    sOut = RunCommand(
        Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.Dispatch", "Invoke", "iuav", "1", "2", "0"}),
        &nStatus);
    EXPECT_EQ("vav s \"root\" 0\n", sOut);
    sOut = RunCommand(Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.Dispatch", "GetIDsOfNames", "as", "2",
                              "measure", "nValue"}),
                      &nStatus);
    EXPECT_EQ("ai 2 3 0\n", sOut);
}

TEST_F(DBusExportTest, QueryInterfaceAddsTypedInterfacesOrNamesTheObjectThatAnswers) {
    int nStatus = 0;
    // The widget's own interface: its own path.
    std::string sOut = RunCommand(Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.Dispatch", "QueryInterface",
                                          "s", "{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000001}"}),
                                  &nStatus);
    EXPECT_EQ("bo true \"/Corvane/HarkwellServer/Application\"\n", sOut);
    // Delegated to another object: that object's path.
    sOut = RunCommand(Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.Dispatch", "QueryInterface", "s",
                              "{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000004}"}),
                      &nStatus);
    EXPECT_NE(std::string::npos, sOut.find("bo true \"/Corvane/HarkwellServer/Objects/")) << sOut;
    sOut = RunCommand(Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.Dispatch", "QueryInterface", "s",
                              "{0000000C-0000-0000-C000-000000000046}"}),
                      &nStatus);
    EXPECT_EQ("bo false \"/\"\n", sOut);
    sOut = RunCommand(Gdbus(kApp, "Corvane.Dispatch.QueryInterface", {"not an identifier"}), &nStatus);
    EXPECT_NE(std::string::npos, sOut.find("Corvane.Error.HRESULT_0x80070057")) << sOut;
    // Each busctl left the bus: the helper went with it.
    EXPECT_TRUE(Settled());
}

// An interface whose one member's bus name the test chooses, answered by the object below only once it is
// told to: its typed interface is added by QueryInterface, after the export.
constexpr IID kLateIid = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000009}");
char g_szLateMember[16] = "Owner";

const comrt::InterfaceDescription& LateDescription() {
    static const comrt::MemberDescription kMember = [] {
        comrt::MemberDescription m = comrt::DescriptionOf<ITestHelper>().pMembers[0];
        m.szName = g_szLateMember;
        return m;
    }();
    static const comrt::InterfaceDescription kDescription{
        "ITestLate", kLateIid, "", comrt::InterfaceKind::Dual, &kMember, 1, &typeid(ITestHelper)};
    return kDescription;
}

class CLateHelper final : public CSingleInterfaceObject<comrt::IDispatchImplT<ITestHelper>, ITestHelper> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == kLateIid && m_bAnswerLate) {
            *ppv = static_cast<ITestHelper*>(this);
            AddRef();
            return S_OK;
        }
        return CSingleInterfaceObject::QueryInterface(riid, ppv);
    }
    HRESULT get_Owner(BSTR* psOwner) override {
        *psOwner = Bstr(u"late");
        return S_OK;
    }
    std::atomic<bool> m_bAnswerLate{false};
};

TEST_F(DBusExportTest, AnInterfaceTheBusRefusesIsAnErrorAndTriedAgainOnTheNextQuery) {
    // An object that answers the late interface only later, published beside the fixture's widget under a
    // name of its own: an object of the folder of handed-out objects.
    comrt::RegisterInterfaceDescription(LateDescription());
    CComPtr<CLateHelper> pLate;
    pLate.Attach(new CLateHelper);
    CComPtr<IMoniker> pName;
    ASSERT_EQ(S_OK, CreateItemMoniker(u"!", u"late", &pName));
    CComPtr<IRunningObjectTable> pTable;
    ASSERT_EQ(S_OK, GetRunningObjectTable(0, &pTable));
    DWORD nCookie = 0;
    ASSERT_EQ(S_OK, pTable->Register(0, static_cast<ITestHelper*>(pLate.p), pName, &nCookie));
    int nStatus = 0;
    const std::string sTree = RunCommand(Busctl({"tree", "Corvane.HarkwellServer"}), &nStatus);
    constexpr std::string_view kFolder = "/Corvane/HarkwellServer/Objects/";
    const std::size_t nAt = sTree.find(kFolder);
    ASSERT_NE(std::string::npos, nAt) << sTree;
    std::size_t nEnd = nAt + kFolder.size();
    while (nEnd < sTree.size() && std::isdigit(static_cast<unsigned char>(sTree[nEnd]))) ++nEnd;
    const std::string sPath = sTree.substr(nAt, nEnd - nAt);
    pLate->m_bAnswerLate = true;

    // A name the bus does not allow for a member: the library refuses the interface.
    std::strcpy(g_szLateMember, "Bad-Name");
    const std::vector<std::string> query{"{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000009}"};
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        const std::string sOut = RunCommand(Gdbus(sPath, "Corvane.Dispatch.QueryInterface", query), &nStatus);
        EXPECT_NE(0, nStatus) << sOut;
        EXPECT_NE(std::string::npos, sOut.find("Corvane.Error.HRESULT_0x800401FD")) << sOut;
        EXPECT_NE(std::string::npos, sOut.find("Corvane.ITestLate")) << sOut;
    }
    // Once the interface can be served, the next query adds it.
    std::strcpy(g_szLateMember, "LateOwner");
    std::string sOut = RunCommand(Gdbus(sPath, "Corvane.Dispatch.QueryInterface", query), &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    EXPECT_EQ("(true, objectpath '" + sPath + "')\n", sOut);
    sOut = RunCommand(Busctl({"get-property", "Corvane.HarkwellServer", sPath, "Corvane.ITestLate", "LateOwner"}),
                      &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    EXPECT_EQ("s \"late\"\n", sOut);

    EXPECT_EQ(S_OK, pTable->Revoke(nCookie));
    comrt::UnregisterInterfaceDescription(LateDescription());
}

}  // namespace

// An object whose one property hands out a new widget at every read, as a collection's _NewEnum hands out a
// new enumerator.
struct ITestMaker : IDispatch {
    static constexpr IID kIid = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E00000A}");
    virtual HRESULT get_Made(ITestWidget** ppMade) = 0;
};
COMRT_DESCRIBE_INTERFACE(ITestMaker, "ITestMaker Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&ITestMaker::get_Made>(1, "Made", 1, "ppMade"));

namespace {

class CTestMaker final : public CSingleInterfaceObject<comrt::IDispatchImplT<ITestMaker>, ITestMaker> {
public:
    HRESULT get_Made(ITestWidget** ppMade) override {
        ++m_nReads;
        *ppMade = new CTestWidget(u"made");  // made with its one reference, the caller's
        return S_OK;
    }
    std::atomic<int> m_nReads{0};
};

TEST_F(DBusExportTest, APropertyThatHandsOutANewObjectIsReadOnceAndAnswers) {
    CComPtr<CTestMaker> pMaker;
    pMaker.Attach(new CTestMaker);
    CComPtr<IMoniker> pName;
    ASSERT_EQ(S_OK, CreateItemMoniker(u"!", u"maker", &pName));
    CComPtr<IRunningObjectTable> pTable;
    ASSERT_EQ(S_OK, GetRunningObjectTable(0, &pTable));
    DWORD nCookie = 0;
    ASSERT_EQ(S_OK, pTable->Register(0, static_cast<ITestMaker*>(pMaker.p), pName, &nCookie));
    int nStatus = 0;
    const std::string sTree = RunCommand(Busctl({"tree", "Corvane.HarkwellServer"}), &nStatus);
    const std::size_t nBefore = comrt::CoGetExportedObjectCount();
    // The maker is the newest object of the folder of handed-out objects.
    constexpr std::string_view kFolder = "/Corvane/HarkwellServer/Objects/";
    std::string sPath;
    for (std::size_t nAt = sTree.find(kFolder); nAt != std::string::npos; nAt = sTree.find(kFolder, nAt + 1)) {
        std::size_t nEnd = nAt + kFolder.size();
        while (nEnd < sTree.size() && std::isdigit(static_cast<unsigned char>(sTree[nEnd]))) ++nEnd;
        if (nEnd > nAt + kFolder.size()) sPath = sTree.substr(nAt, nEnd - nAt);
    }
    ASSERT_FALSE(sPath.empty()) << sTree;
    // The bus library runs a getter again when an object was exported while it ran; each read must still
    // answer, with one object exported for the caller (it used to export objects until memory ran out, and
    // the caller's time ran out).
    for (const char* pszTool : {"gdbus", "busctl"}) {
        SCOPED_TRACE(pszTool);
        const int nReads = pMaker->m_nReads;
        const std::string sOut =
            RunCommand(std::string(pszTool) == "gdbus"
                           ? Gdbus(sPath, "org.freedesktop.DBus.Properties.Get", {"Corvane.ITestMaker", "Made"})
                           : Busctl({"--timeout=5", "get-property", "Corvane.HarkwellServer", sPath,
                                     "Corvane.ITestMaker", "Made"}),
                       &nStatus);
        EXPECT_EQ(0, nStatus) << sOut;
        EXPECT_NE(std::string::npos, sOut.find(std::string(kFolder))) << sOut;
        EXPECT_LE(pMaker->m_nReads, nReads + 2) << "a read and at most one run again";
    }
    // Both callers left the bus: what was held for them went, and no widget a read made is left.
    EXPECT_TRUE(WaitFor([&] { return comrt::CoGetExportedObjectCount() == nBefore; }))
        << comrt::CoGetExportedObjectCount() << " exported, " << nBefore << " before";
    EXPECT_EQ(S_OK, pTable->Revoke(nCookie));
    EXPECT_TRUE(Settled()) << g_nLiveWidgets << " widgets, " << comrt::CoGetExportedObjectCount() << " exported";
}

TEST_F(DBusExportTest, FailuresAreErrorsNamedAfterTheirHresult) {
    int nStatus = 0;
    // An unknown DISPID.
    std::string sOut = RunCommand(Gdbus(kApp, "Corvane.Dispatch.Invoke", {"999", "1", "@av []"}), &nStatus);
    EXPECT_NE(0, nStatus);
    EXPECT_NE(std::string::npos, sOut.find("Corvane.Error.HRESULT_0x80020003")) << sOut;
    // An argument that does not convert to the parameter's type.
    sOut = RunCommand(Gdbus(kApp, "Corvane.Dispatch.Invoke", {"3", "1", "[<'abc'>, <''>, <''>]"}), &nStatus);
    EXPECT_NE(std::string::npos, sOut.find("Corvane.Error.HRESULT_0x80020005")) << sOut;
    // The wrong number of arguments.
    sOut = RunCommand(Gdbus(kApp, "Corvane.Dispatch.Invoke", {"3", "1", "@av []"}), &nStatus);
    EXPECT_NE(std::string::npos, sOut.find("Corvane.Error.HRESULT_0x8002000E")) << sOut;
    // A failure of the object itself, with the code's text as the message.
    sOut = RunCommand(Gdbus(kApp, "Corvane.ITestWidget.Fail", {"int32 -2147024891"}), &nStatus);
    EXPECT_NE(std::string::npos, sOut.find("Corvane.Error.HRESULT_0x80070005")) << sOut;
    EXPECT_NE(std::string::npos, sOut.find(comrt::ToUtf8(FormatSystemMessage(E_ACCESSDENIED)))) << sOut;
    // A typed method called with the wrong signature is refused before it reaches the object.
    sOut = RunCommand(Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.ITestWidget", "Measure", "s", "x"}),
                      &nStatus);
    EXPECT_NE(0, nStatus);
    EXPECT_NE(std::string::npos, sOut.find("nvalid")) << sOut;
}

TEST_F(DBusExportTest, TheTreeWalksEveryNodeTheFolderOfObjectsIncluded) {
    int nStatus = 0;
    std::string sOut = RunCommand(Busctl({"tree", "Corvane.HarkwellServer"}), &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    // A second publication of the widget, under another name: an object of the folder, listed in it.
    CComPtr<IMoniker> pName;
    ASSERT_EQ(S_OK, CreateItemMoniker(u"!", u"other", &pName));
    CComPtr<IRunningObjectTable> pTable;
    ASSERT_EQ(S_OK, GetRunningObjectTable(0, &pTable));
    CComPtr<ITestWidget> pOther;
    pOther.Attach(new CTestWidget(u"other"));
    DWORD nCookie = 0;
    ASSERT_EQ(S_OK, pTable->Register(0, pOther, pName, &nCookie));
    sOut = RunCommand(Busctl({"tree", "Corvane.HarkwellServer"}), &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("/Corvane/HarkwellServer/Objects/")) << sOut;
    sOut = RunCommand(Busctl({"introspect", "Corvane.HarkwellServer", "/Corvane/HarkwellServer/Objects"}), &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("org.freedesktop.DBus.Introspectable")) << sOut;
    EXPECT_EQ(S_OK, pTable->Revoke(nCookie));
    // A path below it that names nothing is still an unknown object.
    sOut = RunCommand(Busctl({"introspect", "Corvane.HarkwellServer", "/Corvane/HarkwellServer/Objects/999999"}),
                      &nStatus);
    EXPECT_NE(0, nStatus);
    EXPECT_NE(std::string::npos, sOut.find("Unknown object")) << sOut;
}

TEST_F(DBusExportTest, CallsOnOverlongPathsAreRefusedBeforeAnyObjectIsLookedFor) {
    constexpr std::size_t kMaxPathLength = 4096;  // the bridge's limit (docs/dbus.md)
    struct {
        std::size_t nLength;
        const char* szAnswer;
    } const kCases[] = {
        // Up to the limit a view path is walked and answers with what it finds.
        {kMaxPathLength, "Corvane.Error.HRESULT_0x80020006"},
        {kMaxPathLength + 1, "paths are at most 4096 bytes"},
        {60000, "The object path is 60000 bytes long"},
        // The longest path the bus library itself takes, and longer ones, which it would drop unanswered.
        {65536, "The object path is 65536 bytes long"},
        {65537, "The object path is 65537 bytes long; paths are at most 4096 bytes"},
        {70000, "The object path is 70000 bytes long"},
    };
    for (const auto& Case : kCases) {
        std::string sPath = kApp;
        while (sPath.size() + 2 <= Case.nLength) sPath += "/x";
        if (sPath.size() < Case.nLength) sPath += "y";
        ASSERT_EQ(Case.nLength, sPath.size());
        int nStatus = 0;
        std::vector<std::string> args = Gdbus(sPath, "Corvane.ITestWidget.Measure", {"1"});
        args.insert(args.begin() + 2, {"--timeout", "5"});
        const auto start = std::chrono::steady_clock::now();
        const std::string sOut = RunCommand(args, &nStatus);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_NE(0, nStatus) << Case.nLength;
        EXPECT_NE(std::string::npos, sOut.find(Case.szAnswer)) << Case.nLength << ": " << sOut.substr(0, 300);
        // Answered at once, not after the client's time-out; nor after a walk along the whole path.
        EXPECT_LT(elapsed, std::chrono::seconds(1)) << Case.nLength;
    }
    // The bridge goes on serving.
    int nStatus = 0;
    EXPECT_EQ("isb 42 \"21\" true\n",
              RunCommand(Busctl({"call", "Corvane.HarkwellServer", kApp, "Corvane.ITestWidget", "Measure", "i", "21"}),
                         &nStatus));
}

TEST_F(DBusExportTest, AnObjectHandedToAClientGoesWhenTheClientLeaves) {
    int nStatus = 0;
    std::string sOut = RunCommand(Gdbus(kApp, "Corvane.ITestWidget.CreateChild", {"kid"}), &nStatus);
    ASSERT_EQ(0, nStatus) << sOut;
    EXPECT_NE(std::string::npos, sOut.find("/Corvane/HarkwellServer/Objects/")) << sOut;
    // gdbus left the bus with its call: the child is released and no longer exported.
    EXPECT_TRUE(Settled());
    const std::string sPath = sOut.substr(sOut.find("'/") + 1, sOut.find("',") - sOut.find("'/") - 1);
    sOut = RunCommand(Gdbus(sPath, "Corvane.ITestWidget.Measure", {"1"}), &nStatus);
    EXPECT_NE(0, nStatus);
    EXPECT_NE(std::string::npos, sOut.find("UnknownObject")) << sOut;
}

TEST_F(DBusExportTest, PropertyPagesAreListedByClassIdentifier) {
    int nStatus = 0;
    const std::string sOut = RunCommand(Gdbus(kApp, "Corvane.ISpecifyPropertyPages.GetPages", {}), &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    EXPECT_EQ("(['{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000003}', '{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000004}'],)\n", sOut);
}

// An independent client reads the class with its interface: names, DISPIDs, kinds, slots, parameter types
// ([out,retval] last) as the description has them.
TEST_F(DBusExportTest, TheClassInformationDescribesTheClassesInterfaces) {
    int nStatus = 0;
    const std::string sOut = RunCommand(Gdbus(kApp, "Corvane.IProvideClassInfo.GetClassInfo", {}), &nStatus);
    ASSERT_EQ(0, nStatus) << sOut;
    EXPECT_EQ(0u, sOut.find("('{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000003}', [('ITestWidget', "
                            "'{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000001}', 'ITestWidget Interface', byte 0x00, "))
        << sOut;
    // gdbus names each type once, at its first value.
    for (const char* pszMember :
         {"[('Name', 1, byte 0x01, false, uint32 1, 'psName', [(uint16 8, true, true, '')])",
          "('Name', 1, 0x02, false, 2, 'sName', [(8, false, false, '')])",
          "('Count', 2, 0x01, false, 3, 'pnCount', [(3, true, true, '')])",
          "('Measure', 3, 0x00, false, 4, 'nValue,pnDouble,psText,pbOdd', [(3, false, false, ''), (3, true, false, "
          "''), (8, true, false, ''), (11, true, true, '')])",
          "('CreateChild', 4, 0x00, false, 5, 'sName,ppChild', [(8, false, false, ''), (9, true, true, "
          "'{8F1E6A52-3C7D-4E21-9B0A-5D2C1E000001}')])"})
        EXPECT_NE(std::string::npos, sOut.find(pszMember)) << pszMember << " in " << sOut;
    // One interface only: IDispatch and the others of the widget's table have no description.
    EXPECT_EQ(std::string::npos, sOut.find("'ITestHelper'")) << sOut;
}

TEST_F(DBusExportTest, ClientsThatLeaveBeforeTheAnswerLeaveNothingHeld) {
    // One asks for no answer and leaves at once; others give up before the answer comes. The server
    // makes their children all the same, and holds none of them once the clients are gone.
    const int nMadeBefore = g_nWidgetsMade;
    int nStatus = 0;
    std::string sOut = RunCommand(Busctl({"call", "--expect-reply=no", "Corvane.HarkwellServer", kApp,
                                          "Corvane.ITestWidget", "CreateChild", "s", "unanswered"}),
                                  &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
    for (int i = 0; i < 5; ++i) {
        RunCommand(Busctl({"call", "--timeout=0.000001", "Corvane.HarkwellServer", kApp, "Corvane.ITestWidget",
                           "CreateChild", "s", "abandoned"}),
                   &nStatus);
    }
    EXPECT_TRUE(WaitFor([&] { return g_nWidgetsMade == nMadeBefore + 6; }, 10000)) << g_nWidgetsMade - nMadeBefore;
    EXPECT_TRUE(Settled());
    sOut = RunCommand(Gdbus(kApp, "Corvane.ITestWidget.Measure", {"3"}), &nStatus);
    EXPECT_EQ(0, nStatus) << sOut;
}

TEST_F(DBusExportTest, EventsOfTheOutgoingInterfaceAreSignals) {
    EXPECT_TRUE(WaitFor([&] { return m_pRoot->SinkCount() == 1; }));
    CChildProcess monitor = CChildProcess::Start(
        {"gdbus", "monitor", "--address", CPrivateBus::Address(), "--dest", "Corvane.HarkwellServer"});
    std::string sLine;
    ASSERT_TRUE(monitor.ReadLine(&sLine));
    // gdbus subscribes at some point after it says so: fire until a signal arrives. Each is sent on the
    // bridge's own thread after Fire returns.
    bool bSeen = false;
    std::string sSeen;
    BSTR sText = Bstr(u"hello");
    for (int nAttempt = 0; nAttempt < 40 && !bSeen; ++nAttempt) {
        ASSERT_EQ(S_OK, m_pRoot->Fire(sText));
        while (!bSeen && monitor.ReadLine(&sLine, 250)) {
            sSeen += sLine + "\n";
            bSeen =
                sLine.find(kApp + std::string(": Corvane._TestWidgetEvents.Changed ('hello', ")) != std::string::npos;
        }
    }
    SysFreeString(sText);
    kill(monitor.nPid, SIGTERM);
    monitor.Wait();
    EXPECT_TRUE(bSeen) << sSeen;
}

TEST_F(DBusExportTest, RevokingTheApplicationGivesUpTheNameAndItsPath) {
    CComPtr<IRunningObjectTable> pTable;
    ASSERT_EQ(S_OK, GetRunningObjectTable(0, &pTable));
    ASSERT_EQ(S_OK, pTable->Revoke(m_nRotCookie));
    m_nRotCookie = 0;
    EXPECT_TRUE(WaitFor([] { return comrt::CoGetExportedObjectCount() == 0; }));
    // The bus takes the name back when it has read the release, which the revocation does not wait for.
    std::string sOut;
    EXPECT_TRUE(WaitFor([&] {
        int nStatus = 0;
        sOut = RunCommand(Busctl({"status", "Corvane.HarkwellServer"}), &nStatus);
        return nStatus != 0;
    })) << sOut;
    EXPECT_TRUE(WaitFor([&] { return m_pRoot->SinkCount() == 0; }));
}

}  // namespace
