// The server program end to end with the real plug-in library: a scenario stored by a client pairs the ping
// activity with an e-mail notification; the server process loads it, the pinged host stops answering, and a
// real SMTP server receives the offline e-mail. Stopped with SIGTERM, the server leaves the scenario in the
// store, and started again it takes the list up again. A stored scenario the server cannot read stays in the
// store untouched.
//
// The whole test program runs in a network namespace of its own (made at start when it may, as root); the
// server and the SMTP server are its child processes and live there too. Both the SMTP server and the pinged
// host are on the namespace's loopback, so the loopback itself has to stay up: taking it down would cut the
// notification's way to the SMTP server as well. The pinged host is 10.0.0.1 instead. A route sends that
// address into the loopback; while the loopback also carries 10.0.0.1 as a local address, the kernel answers
// the echo requests. Taking the address away leaves the route: the requests still go out, nobody owns the
// address when they come back in, and, with forwarding off, they are dropped without a word, as for a host
// that went away. 127.0.0.1 answers throughout.
//
// The test process itself serves no event record class, so an activity started by one of its own managers
// cannot report anything: every message the SMTP server receives was sent by the server process.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ManagerClient.h"
#include "Pack1Ids.h"
#include "PythonMessageParser.h"
#include "ServerProcess.h"
#include "SmtpNotificationStreams.h"
#include "SmtpTestServer.h"
#include "TestEnvironment.h"
#include "comrt/oleauto.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/ulcrypt.h"

using testing_support::AddScenarioParts;
using testing_support::CApplicationTestTurn;
using testing_support::CServerProcess;
using testing_support::CSmtpTestServer;
using testing_support::GetDispatchProperty;
using testing_support::IndexVariant;
using testing_support::JoinScenarioParts;
using testing_support::LibraryPath;
using testing_support::NewManager;
using testing_support::ProgramPath;
using testing_support::RunProgram;
using testing_support::ScenarioParts;
using testing_support::ScenariosOf;

using testing_support::kIPingActivity;
using testing_support::kISmtpNotification;
using testing_support::kISmtpNotificationSecurity;
using testing_support::kPingActivity;
using testing_support::kSmtpNotification;

namespace {

bool g_bOwnNetwork = false;

constexpr char kHost[] = "10.0.0.1";
constexpr char16_t kHost16[] = u"10.0.0.1";
constexpr char16_t kScenariosKey[] = u"SOFTWARE\\Corvane\\Harkwell\\Server\\Scenarios";
constexpr char kDefaultBodyStart[] =
    "Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event details "
    "below:\r\n\r\n";

bool Ip(const std::vector<std::string>& Arguments) {
    std::vector<std::string> Command{"ip"};
    Command.insert(Command.end(), Arguments.begin(), Arguments.end());
    return RunProgram(Command).nExitCode == 0;
}

// The host answers while the loopback carries its address; the route stays either way.
bool SetHostAnswers(bool bAnswers) {
    if (bAnswers) return Ip({"address", "replace", std::string(kHost) + "/32", "dev", "lo"});
    return Ip({"address", "del", std::string(kHost) + "/32", "dev", "lo"});
}

// One ICMP counter of this network namespace (OutEchos, InEchoReps, ...) from /proc/net/snmp; -1 when it
// cannot be read. Only the server pings in the namespace while it runs, so the counters show its probes.
long long IcmpCounter(const std::string& sName) {
    std::ifstream Input("/proc/net/snmp");
    std::string sNames, sValues;
    while (std::getline(Input, sNames)) {
        if (sNames.rfind("Icmp: ", 0) != 0) continue;
        if (!std::getline(Input, sValues)) return -1;
        std::istringstream NameWords(sNames), ValueWords(sValues);
        std::string sWord, sValue;
        while (NameWords >> sWord && ValueWords >> sValue) {
            if (sWord == sName) return std::stoll(sValue);
        }
        return -1;
    }
    return -1;
}

// Waits until the counter has grown by nGrowth from nStart.
bool WaitForIcmpCounter(const std::string& sName, long long nStart, long long nGrowth,
                        std::chrono::milliseconds Limit) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (IcmpCounter(sName) < nStart + nGrowth) {
        if (std::chrono::steady_clock::now() >= Deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A text property as UTF-8, or a marker saying why there is none.
std::string TextProperty(IUnknown* pObject, REFIID riid, const char16_t* pszName) {
    VARIANT Value;
    const HRESULT hr = GetDispatchProperty(pObject, riid, pszName, &Value);
    std::string sText = "<failed>";
    if (SUCCEEDED(hr) && Value.vt == VT_BSTR)
        sText = comrt::ToUtf8(std::u16string(Value.bstrVal ? Value.bstrVal : u"", SysStringLen(Value.bstrVal)));
    VariantClear(&Value);
    return sText;
}

LONG NumberProperty(IUnknown* pObject, REFIID riid, const char16_t* pszName) {
    VARIANT Value;
    const HRESULT hr = GetDispatchProperty(pObject, riid, pszName, &Value);
    const LONG nValue = SUCCEEDED(hr) && Value.vt == VT_I4 ? Value.lVal : -1;
    VariantClear(&Value);
    return nValue;
}

// The fields of a stored message that the checks below read, as Python's email package (a MIME parser that is
// none of ours) gives them.
constexpr char kParseLines[] = R"PY(
out('subject', m['subject'])
out('from-address', m['from'].addresses[0].addr_spec)
out('to', ','.join(a.addr_spec for a in m['to'].addresses))
out('body', m.get_body(('plain',)).get_payload(decode=True))
)PY";

std::map<std::string, std::string> ParseMessage(const std::string& sData, std::string& sOutput) {
    return testing_support::ParseMessageWithPython(kParseLines, sData, sOutput);
}

// Checks one received message: the envelope, the authentication, and the ping activity's texts in the
// notification's default templates ("offline" or "online"). Subject and body carry the same local time.
void ExpectPingMessage(const testing_support::CReceivedMessage& Message, const std::string& sState) {
    EXPECT_EQ(Message.sMailFrom, "harkwell@localhost");
    EXPECT_EQ(Message.RcptTo, std::vector<std::string>{"ops@localhost"});
    EXPECT_EQ(Message.sUser, CSmtpTestServer::USER);
    EXPECT_EQ(Message.sAuthMethod, "LOGIN");
    std::string sOutput;
    auto Fields = ParseMessage(Message.sData, sOutput);
    ASSERT_FALSE(Fields.empty()) << "the parser failed:\n" << sOutput << "\n" << Message.sData;
    EXPECT_EQ(Fields["from-address"], "harkwell@localhost");
    EXPECT_EQ(Fields["to"], "ops@localhost");
    const std::string sSubjectStart = "Corvane Harkwell: Ping: " + std::string(kHost) + " is " + sState + " on ";
    const std::string& sSubject = Fields["subject"];
    ASSERT_TRUE(sSubject.starts_with(sSubjectStart) && sSubject.size() > sSubjectStart.size()) << sSubject;
    const std::string sLocalTime = sSubject.substr(sSubjectStart.size());
    const std::string sEvent = sState == "offline" ? "Ping remote host failed, host went offline:\r\n"
                                                   : "Ping remote host succeeded, host went online:\r\n";
    EXPECT_EQ(Fields["body"],
              kDefaultBodyStart + sEvent + "\tRemote Host: " + kHost + "\r\n\tLocal Time: " + sLocalTime + "\r\n");
}

class ServerScenario : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Turn.IsHeld());
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        const auto Result = RunProgram({ProgramPath("hkregsvr").string(), LibraryPath("HarkwellPack1.so").string()});
        ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
        const auto Registration = RunProgram({ProgramPath("HarkwellServer").string(), "/RegServer"});
        ASSERT_EQ(0, Registration.nExitCode) << Registration.sOutput;
    }

    // The one stored scenario's activity and first notification, as a new manager of this process loads them
    // from the store as it is now.
    struct LoadedScenario {
        CComPtr<IManager> pManager;
        LONG nCount = 0;
        CComPtr<IActivity> pActivity;
        CComPtr<INotification> pNotification;
    };
    static void Load(LoadedScenario& Loaded) {
        RegResetStore();
        ASSERT_EQ(S_OK, NewManager(Loaded.pManager));
        auto pScenarios = ScenariosOf(Loaded.pManager);
        ASSERT_TRUE(pScenarios);
        ASSERT_EQ(S_OK, pScenarios->get_Count(&Loaded.nCount));
        if (Loaded.nCount == 0) return;
        CComPtr<IScenario> pScenario;
        ASSERT_EQ(S_OK, pScenarios->get_Item(IndexVariant(0), &pScenario));
        ASSERT_EQ(S_OK, pScenario->get_Activity(&Loaded.pActivity));
        CComPtr<INotifications> pNotifications;
        ASSERT_EQ(S_OK, pScenario->get_Notifications(&pNotifications));
        LONG nNotifications = 0;
        ASSERT_EQ(S_OK, pNotifications->get_Count(&nNotifications));
        ASSERT_EQ(1, nNotifications);
        ASSERT_EQ(S_OK, pNotifications->get_Item(IndexVariant(0), &Loaded.pNotification));
    }

    // The shared application data belongs to the user: tests that start an application take turns.
    CApplicationTestTurn m_Turn;
    testing_support::CTemporaryRegistry m_Registry;
};

class ServerScenarioNetwork : public ServerScenario {
protected:
    void SetUp() override {
        if (!g_bOwnNetwork) GTEST_SKIP() << "needs root to run in a network namespace of its own";
        if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the SMTP server cannot run";
        ServerScenario::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(Ip({"link", "set", "lo", "up"}));
        ASSERT_TRUE(Ip({"route", "replace", std::string(kHost) + "/32", "dev", "lo"}));
        ASSERT_TRUE(SetHostAnswers(true));
        // Delivery only with the sender authenticated: the password has to come through the store.
        ASSERT_TRUE(m_Smtp.Start(0, {"--auth-required"})) << m_Smtp.GetError();
    }
    void TearDown() override {
        m_Smtp.Stop();
        if (g_bOwnNetwork) {
            Ip({"address", "del", std::string(kHost) + "/32", "dev", "lo"});
            Ip({"route", "del", std::string(kHost) + "/32", "dev", "lo"});
        }
        ServerScenario::TearDown();
    }

    CSmtpTestServer m_Smtp;
};

}  // namespace

TEST_F(ServerScenarioNetwork, OfflineEmailFromTheServerProcessAndTheListKeptOverARestart) {
    // A client stores the scenario through the collection, by class identifier and property names.
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        auto pScenarios = ScenariosOf(pManager);
        ScenarioParts Parts;
        ASSERT_EQ(S_OK, AddScenarioParts(pScenarios, kPingActivity, kSmtpNotification, Parts));
        const CComPtr<IActivity>& pActivity = Parts.pActivity;
        const CComPtr<INotification>& pNotification = Parts.pNotification;
        using testing_support::PutDispatchProperty;
        ASSERT_EQ(S_OK, PutDispatchProperty(pActivity, kIPingActivity, u"Host", kHost16));
        ASSERT_EQ(S_OK, PutDispatchProperty(pActivity, kIPingActivity, u"Timeout", 200));
        ASSERT_EQ(S_OK, PutDispatchProperty(pActivity, kIPingActivity, u"Interval", 300));
        ASSERT_EQ(S_OK, PutDispatchProperty(pActivity, kIPingActivity, u"RetryInterval", 100));
        ASSERT_EQ(S_OK, PutDispatchProperty(pActivity, kIPingActivity, u"FailureCount", 2));
        const std::u16string sUser = comrt::ToUtf16(CSmtpTestServer::USER);
        const std::u16string sPassword = comrt::ToUtf16(CSmtpTestServer::PASSWORD);
        ASSERT_EQ(S_OK, PutDispatchProperty(pNotification, kISmtpNotification, u"ServerHost", u"127.0.0.1"));
        ASSERT_EQ(S_OK, PutDispatchProperty(pNotification, kISmtpNotification, u"ServerPort",
                                            static_cast<LONG>(m_Smtp.GetPort())));
        ASSERT_EQ(S_OK, PutDispatchProperty(pNotification, kISmtpNotification, u"Sender",
                                            u"Corvane Harkwell <harkwell@localhost>"));
        ASSERT_EQ(S_OK, PutDispatchProperty(pNotification, kISmtpNotification, u"ToRecipients", u"ops@localhost"));
        ASSERT_EQ(S_OK, PutDispatchProperty(pNotification, kISmtpNotification, u"AuthenticationMethods", u"login"));
        ASSERT_EQ(S_OK, PutDispatchProperty(pNotification, kISmtpNotification, u"AuthenticationName", sUser.c_str()));
        ASSERT_EQ(S_OK,
                  PutDispatchProperty(pNotification, kISmtpNotification, u"AuthenticationPassword", sPassword.c_str()));
        ASSERT_EQ(S_OK, PutDispatchProperty(pNotification, kISmtpNotification, u"Timeout", 5000));
        ASSERT_EQ(S_OK, JoinScenarioParts(Parts));
    }  // the manager goes: the list is saved
    RegResetStore();

    // The server loads the list and starts the activity: its probes are answered.
    long long nAnswers = IcmpCounter("InEchoReps");
    ASSERT_GE(nAnswers, 0) << "no ICMP counters in /proc/net/snmp";
    {
        CServerProcess Server;
        ASSERT_TRUE(Server.Start());
        ASSERT_TRUE(WaitForIcmpCounter("InEchoReps", nAnswers, 2, std::chrono::seconds(10)))
            << "the server's ping activity got no answers";
        ASSERT_TRUE(Server.IsRunning());
        // The host answers: nothing to report.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_TRUE(m_Smtp.GetMessages().empty());

        // The host stops answering: after two failed probes, one offline e-mail.
        ASSERT_TRUE(SetHostAnswers(false));
        ASSERT_TRUE(m_Smtp.WaitForMessageCount(1, std::chrono::seconds(10))) << "no offline e-mail";
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // still offline: nothing more
        const auto Messages = m_Smtp.GetMessages();
        ASSERT_EQ(1u, Messages.size());
        ExpectPingMessage(Messages[0], "offline");

        EXPECT_EQ(0, Server.Terminate(std::chrono::seconds(10)));
    }

    // The store still has the scenario with its settings; the password itself was never stored as text.
    {
        LoadedScenario Loaded;
        ASSERT_NO_FATAL_FAILURE(Load(Loaded));
        ASSERT_EQ(1, Loaded.nCount);
        ASSERT_TRUE(Loaded.pActivity);
        ASSERT_TRUE(Loaded.pNotification);
        EXPECT_EQ(kHost, TextProperty(Loaded.pActivity, kIPingActivity, u"Host"));
        EXPECT_EQ(2, NumberProperty(Loaded.pActivity, kIPingActivity, u"FailureCount"));
        EXPECT_EQ("127.0.0.1", TextProperty(Loaded.pNotification, kISmtpNotification, u"ServerHost"));
        EXPECT_EQ(static_cast<LONG>(m_Smtp.GetPort()),
                  NumberProperty(Loaded.pNotification, kISmtpNotification, u"ServerPort"));
        EXPECT_EQ("ops@localhost", TextProperty(Loaded.pNotification, kISmtpNotification, u"ToRecipients"));
        EXPECT_EQ(CSmtpTestServer::USER, TextProperty(Loaded.pNotification, kISmtpNotification, u"AuthenticationName"));
    }
    RegResetStore();

    // Started again, the server takes the list up again: its activity probes the host that is still away,
    // reports it offline once more (it starts out assuming the host online), and reports it online when it
    // answers again.
    const long long nProbes = IcmpCounter("OutEchos");
    {
        CServerProcess Server;
        ASSERT_TRUE(Server.Start());
        ASSERT_TRUE(WaitForIcmpCounter("OutEchos", nProbes, 2, std::chrono::seconds(10)))
            << "the restarted server does not ping";
        ASSERT_TRUE(m_Smtp.WaitForMessageCount(2, std::chrono::seconds(10))) << "no offline e-mail after the restart";
        ASSERT_TRUE(SetHostAnswers(true));
        ASSERT_TRUE(m_Smtp.WaitForMessageCount(3, std::chrono::seconds(10))) << "no online e-mail";
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        const auto Messages = m_Smtp.GetMessages();
        ASSERT_EQ(3u, Messages.size());
        ExpectPingMessage(Messages[1], "offline");
        ExpectPingMessage(Messages[2], "online");
        EXPECT_EQ(0, Server.Terminate(std::chrono::seconds(10)));
    }
    LoadedScenario Loaded;
    ASSERT_NO_FATAL_FAILURE(Load(Loaded));
    EXPECT_EQ(1, Loaded.nCount);
}

TEST_F(ServerScenario, AStoredScenarioThatCannotBeReadStaysInTheStore) {
    // Bytes that are no scenario's stream, from a fixed seed so that every run stores the same ones.
    std::mt19937 Generator(20261207);
    std::vector<BYTE> Garbage(300);
    for (BYTE& b : Garbage) b = static_cast<BYTE>(Generator());
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kScenariosKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WRITE, nullptr, &hKey, nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(hKey, u"1", 0, REG_BINARY, Garbage.data(), static_cast<DWORD>(Garbage.size())));
    RegCloseKey(hKey);
    RegResetStore();

    // The server runs on without the scenarios and stops as always.
    CServerProcess Server;
    ASSERT_TRUE(Server.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(Server.IsRunning()) << "the server ended on a stored value it cannot read";
    EXPECT_EQ(0, Server.Terminate(std::chrono::seconds(10)));

    // Nothing was lost: the value is there, byte for byte.
    RegResetStore();
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScenariosKey, 0, KEY_READ, &hKey));
    DWORD nType = 0;
    std::vector<BYTE> Stored(Garbage.size() + 16);
    DWORD nSize = static_cast<DWORD>(Stored.size());
    const LONG nResult = RegQueryValueExW(hKey, u"1", nullptr, &nType, Stored.data(), &nSize);
    DWORD nValues = 0;
    RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nValues, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(hKey);
    ASSERT_EQ(ERROR_SUCCESS, nResult);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), nType);
    Stored.resize(nSize);
    EXPECT_EQ(Garbage, Stored);
    EXPECT_EQ(1u, nValues);
}

TEST_F(ServerScenario, AnEmailNotificationStoredBeforeTheSecuritySettingsLoadsWithoutTls) {
    // The scenario's State: version 1, no activity, one notification whose object data is its class and the
    // stream an earlier version saved, which ends after Timeout.
    const std::string sObject =
        testing_support::BytesFromHex(testing_support::SMTP_NOTIFICATION_STREAM_BEFORE_SECURITY);
    std::string sRecord("\x01\x00\x00\x01\x00\x00\x00", 7);
    const std::uint32_t nData = 16 + static_cast<std::uint32_t>(sObject.size());
    sRecord += std::string("\x11\x20\x01\x00\x80\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 18);
    for (int i = 0; i < 4; ++i) sRecord += static_cast<char>(nData >> (8 * i));
    sRecord += std::string(4, '\0');
    sRecord.append(reinterpret_cast<const char*>(&kSmtpNotification), 16);
    sRecord += sObject;
    const DWORD nFlags = _Base64Helper::BASE64_FLAG_NOPAD | _Base64Helper::BASE64_FLAG_NOCRLF;
    std::string sState(_Base64Helper::GetEncodeOutputSize(sRecord.size(), nFlags), '\0');
    sState.resize(_Base64Helper::Encode(reinterpret_cast<const BYTE*>(sRecord.data()), sRecord.size(), sState.data(),
                                        sState.size(), nFlags));
    std::vector<BYTE> Value = {0x00, 0x08, 0x00, 0x00, 0x08, 0x00};
    const std::uint32_t nText = 2 * (static_cast<std::uint32_t>(sState.size()) + 1);
    for (int i = 0; i < 4; ++i) Value.push_back(static_cast<BYTE>(nText >> (8 * i)));
    for (const char c : sState) Value.insert(Value.end(), {static_cast<BYTE>(c), 0});
    Value.insert(Value.end(), {0, 0});
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kScenariosKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WRITE, nullptr, &hKey, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(hKey, u"1", 0, REG_BINARY, Value.data(), static_cast<DWORD>(Value.size())));
    RegCloseKey(hKey);

    LoadedScenario Loaded;
    ASSERT_NO_FATAL_FAILURE(Load(Loaded));
    ASSERT_EQ(1, Loaded.nCount);
    ASSERT_TRUE(Loaded.pNotification);
    EXPECT_EQ(0, NumberProperty(Loaded.pNotification, kISmtpNotificationSecurity, u"Security"));
    EXPECT_EQ("mail.example.org", TextProperty(Loaded.pNotification, kISmtpNotification, u"ServerHost"));
    EXPECT_EQ(587, NumberProperty(Loaded.pNotification, kISmtpNotification, u"ServerPort"));
    EXPECT_EQ(30000, NumberProperty(Loaded.pNotification, kISmtpNotification, u"Timeout"));
    EXPECT_EQ("Tops3cret", TextProperty(Loaded.pNotification, kISmtpNotification, u"AuthenticationPassword"));
    VARIANT vVerify;
    ASSERT_EQ(S_OK, GetDispatchProperty(Loaded.pNotification, kISmtpNotificationSecurity, u"VerifyServerCertificate",
                                        &vVerify));
    EXPECT_EQ(VT_BOOL, vVerify.vt);
    EXPECT_EQ(VARIANT_TRUE, vVerify.boolVal);
}

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread of the program, and every process it starts, is inside
    // the new namespace.
    g_bOwnNetwork = geteuid() == 0 && unshare(CLONE_NEWNET) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
