// harkwellctl against the server program on a session bus of the test's own and a private store: the
// scenario commands end to end (down to the e-mail the created scenario sends), the refusals of bad input,
// the events of watch, and the exit codes without a server.
// Kept whole at about 600 lines: its cases follow the tool's command list, each command beside its refusals.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "CtlServerTest.h"
#include "Manager.h"
#include "ManagerClient.h"
#include "Pack1Ids.h"
#include "PrivateBus.h"
#include "PythonMessageParser.h"
#include "ServerProcess.h"
#include "SmtpTestServer.h"
#include "TestEnvironment.h"
#include "comrt/oleauto.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulregistry.h"

using testing_support::CApplicationTestTurn;
using testing_support::CPrivateSessionBus;
using testing_support::CSmtpTestServer;
using testing_support::CTemporaryDirectory;
using testing_support::CTemporaryRegistry;
using testing_support::LibraryPath;
using testing_support::OnPath;
using testing_support::ProcessResult;
using testing_support::ProgramPath;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::StartServerProcess;
using testing_support::WaitForExit;

namespace {

constexpr char kPingProgId[] = "CPingActivity.CPingActivity.1";
constexpr char kPingClsid[] = "{C7F52DB5-970B-4B5E-BF37-71D8CDCD3147}";
constexpr char kSmtpProgId[] = "CSmtpNotification.CSmtpNotification.1";

size_t CountOf(const std::string& sText, const std::string& sPart) {
    size_t n = 0;
    for (size_t i = sText.find(sPart); i != std::string::npos; i = sText.find(sPart, i + 1)) ++n;
    return n;
}

// harkwellctl beside the server on a private bus.
class Harkwellctl : public testing_support::CCtlServerTest {};

// The stored value of a scenario whose activity is made from brace text and that has no notifications.
std::vector<BYTE> ScenarioOfClassText(const std::u16string& sClass) {
    std::vector<BYTE> Record{0x01, 0x08, 0x00};
    const auto nTextLength = static_cast<std::uint32_t>((sClass.size() + 1) * 2);
    for (int i = 0; i < 4; ++i) Record.push_back(static_cast<BYTE>(nTextLength >> (8 * i)));
    for (char16_t c : sClass) Record.insert(Record.end(), {static_cast<BYTE>(c), static_cast<BYTE>(c >> 8)});
    Record.insert(Record.end(), {0, 0, 0, 0, 0, 0});  // the NUL, then no notifications
    CMemoryStreamObject* pStream = nullptr;
    EXPECT_EQ(S_OK, CMemoryStreamObject::CreateInstance(&pStream));
    EXPECT_EQ(S_OK, _PersistHelper::WriteBytes(pStream, Record.data(), static_cast<ULONG>(Record.size())));
    BSTR sState = nullptr;
    EXPECT_EQ(S_OK, _MemoryStreamHelper::BstrFromMemoryStream(pStream, &sState));
    pStream->Release();
    std::vector<BYTE> Value{0x00, 0x08, 0x00, 0x00, 0x08, 0x00};
    const auto nStateLength = static_cast<std::uint32_t>((SysStringLen(sState) + 1) * 2);
    for (int i = 0; i < 4; ++i) Value.push_back(static_cast<BYTE>(nStateLength >> (8 * i)));
    for (UINT i = 0; i <= SysStringLen(sState); ++i) Value.insert(Value.end(), {static_cast<BYTE>(sState[i]), 0});
    SysFreeString(sState);
    return Value;
}

std::vector<BYTE> StoredValue(const char16_t* pszName) {
    std::vector<BYTE> Data;
    CRegKey Key;
    if (Key.Open(HKEY_LOCAL_MACHINE, kScenariosKeyPath, KEY_READ) == ERROR_SUCCESS) Key.QueryBinaryValue(pszName, Data);
    return Data;
}

}  // namespace

TEST_F(Harkwellctl, WithoutAServerTheServerCommandsEndWith3) {
    for (const char* pszCommand : {"status", "list", "save", "terminate"}) {
        const auto Result = Ctl({pszCommand});
        EXPECT_EQ(3, Result.nExitCode) << pszCommand << ": " << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find("not running")) << Result.sOutput;
    }
    setenv("CORVANE_HARKWELL_BUS", "none", 1);
    const auto Result = Ctl({"show", "0"});
    unsetenv("CORVANE_HARKWELL_BUS");
    EXPECT_EQ(3, Result.nExitCode) << Result.sOutput;
    const auto Test = Ctl({"test", "0", "notification:0"});
    EXPECT_EQ(3, Test.nExitCode) << Test.sOutput;

    // The classes come from the registrations, with no server.
    const auto Classes = Ctl({"classes"});
    EXPECT_EQ(0, Classes.nExitCode) << Classes.sOutput;
    EXPECT_NE(std::string::npos, Classes.sOutput.find(std::string(kPingClsid) + "  " + kPingProgId + "  "))
        << Classes.sOutput;
    EXPECT_NE(std::string::npos, Classes.sOutput.find(kSmtpProgId)) << Classes.sOutput;
    const auto Activities = Ctl({"classes", "activities"});
    EXPECT_EQ(0, Activities.nExitCode);
    EXPECT_NE(std::string::npos, Activities.sOutput.find(kPingProgId)) << Activities.sOutput;
    EXPECT_EQ(std::string::npos, Activities.sOutput.find(kSmtpProgId)) << Activities.sOutput;
}

TEST_F(Harkwellctl, UsageErrorsEndWith2AndHelpWith0) {
    for (const std::vector<std::string>& Arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate"},
                                               {"--bogus", "list"},
                                               {"--bus", "tram", "list"},
                                               {"classes", "gadgets"},
                                               {"create"},
                                               {"create", "--notification", kSmtpProgId},
                                               {"create", "--activity", kPingProgId, "--set", "Host"},
                                               {"create", "--set", "Host=x"},
                                               {"set", "0", "activity"},
                                               {"set", "0", "gadget", "Host=x"},
                                               {"set", "0", "activity", "Host"},
                                               {"delete"},
                                               {"test", "0"},
                                               {"test", "0", "activity"},
                                               {"test", "0", "notification:"},
                                               {"test", "0", "notification:-1"},
                                               {"test", "0", "notification:0", "extra"},
                                               {"status", "extra"}}) {
        const auto Result = Ctl(Arguments);
        EXPECT_EQ(2, Result.nExitCode) << testing::PrintToString(Arguments) << ": " << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find("--help")) << Result.sOutput;
    }
    auto Result = Ctl({"--help"});
    EXPECT_EQ(0, Result.nExitCode);
    for (const char* pszCommand : {"status", "enable", "disable", "classes", "list", "create", "show", "set", "test",
                                   "delete", "save", "watch", "terminate"})
        EXPECT_NE(std::string::npos, Result.sOutput.find(std::string("\n  ") + pszCommand)) << pszCommand;
    Result = Ctl({"create", "--help"});
    EXPECT_EQ(0, Result.nExitCode);
    EXPECT_NE(std::string::npos, Result.sOutput.find("--notification")) << Result.sOutput;
    Result = Ctl({"help", "set"});
    EXPECT_EQ(0, Result.nExitCode);
    EXPECT_NE(std::string::npos, Result.sOutput.find("notification:<n>")) << Result.sOutput;
}

TEST_F(Harkwellctl, CreatesChangesDeletesAndSavesScenarios) {
    CSmtpTestServer Smtp;
    const bool bSmtp = CSmtpTestServer::IsNodeAvailable() && Smtp.Start();
    const std::string sPort = bSmtp ? std::to_string(Smtp.GetPort()) : "2525";
    StartServer();
    auto Result = Ctl({"status"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("Mode: Application\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Enabled: yes\n")) << Result.sOutput;

    // Ping 127.0.0.1 and mail each change to the test's SMTP server.
    Result = Ctl({"create", "--activity", kPingProgId, "--set", "Host=127.0.0.1", "--set", "Interval=1000", "--set",
                  "Timeout=500", "--notification", kSmtpProgId, "--set", "ServerHost=127.0.0.1", "--set",
                  "ServerPort=" + sPort, "--set", "Sender=harkwell@localhost", "--set", "ToRecipients=ops@localhost"});
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Created scenario 0: Ping Remote Host 127.0.0.1"))
        << Result.sOutput;
    // The second one names its class by identifier and has two notifications.
    Result =
        Ctl({"create", "--activity", kPingClsid, "--set", "host=192.0.2.1", "--notification", kSmtpProgId, "--set",
             "ToRecipients=first@localhost", "--notification", kSmtpProgId, "--set", "ToRecipients=second@localhost"});
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Created scenario 1: Ping Remote Host 192.0.2.1"))
        << Result.sOutput;

    Result = Ctl({"set", "1", "activity", "Host=192.0.2.7", "Timeout=250"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    Result = Ctl({"set", "1", "notification:1", "ToRecipients=third@localhost", "AuthenticationPassword=hunter2"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    // The security settings live on an interface of their own and are reached by name all the same.
    Result = Ctl({"set", "1", "notification:0", "Security=3", "VerifyServerCertificate=false"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    Result = Ctl({"set", "1", "notification:0", "Security=4"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    Result = Ctl({"show", "1"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    Host = 192.0.2.7\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    Timeout = 250\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    ToRecipients = third@localhost\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    ServerPort = ")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    Security = 3\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    Security = 1\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    VerifyServerCertificate = false\n")) << Result.sOutput;
    // One line per property, and no password in clear.
    EXPECT_NE(std::string::npos, Result.sOutput.find("    Body = Hi,\\")) << Result.sOutput;
    EXPECT_EQ(std::string::npos, Result.sOutput.find("\nThis is an automated")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    AuthenticationPassword = (write-only)\n")) << Result.sOutput;
    EXPECT_EQ(std::string::npos, Result.sOutput.find("hunter2")) << Result.sOutput;

    Result = Ctl({"list"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0: Ping Remote Host 127.0.0.1\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("1: Ping Remote Host 192.0.2.7\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("ops@localhost")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("first@localhost")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("third@localhost")) << Result.sOutput;
    EXPECT_EQ(std::string::npos, Result.sOutput.find("second@localhost")) << Result.sOutput;

    Result = Ctl({"delete", "1"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    Result = Ctl({"list"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("0: Ping Remote Host 127.0.0.1\n")) << Result.sOutput;
    EXPECT_EQ(std::string::npos, Result.sOutput.find("192.0.2.7")) << Result.sOutput;
    EXPECT_EQ(0, Ctl({"save"}).nExitCode);

    // The running activity takes a change: with no host its next probe fails (without sending anything),
    // one failure is enough to go offline, and the notification mails that; back at 127.0.0.1 it goes
    // online again and mails that as well.
    Result = Ctl({"set", "0", "activity", "Host=", "FailureCount=1"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    if (bSmtp) {
        ASSERT_TRUE(Smtp.WaitForMessageCount(1, std::chrono::seconds(30)))
            << ReadFile(m_Folder.Path() / "HarkwellServer.log");
    }
    Result = Ctl({"set", "0", "activity", "Host=127.0.0.1"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    if (bSmtp) {
        ASSERT_TRUE(Smtp.WaitForMessageCount(2, std::chrono::seconds(30)))
            << ReadFile(m_Folder.Path() / "HarkwellServer.log");
        const auto Messages = Smtp.GetMessages();
        std::string sAll;
        for (const auto& Message : Messages) {
            EXPECT_EQ(std::vector<std::string>{"ops@localhost"}, Message.RcptTo);
            sAll += Message.sData;
        }
        EXPECT_NE(std::string::npos, sAll.find("is offline")) << sAll;
        EXPECT_NE(std::string::npos, sAll.find("127.0.0.1 is online")) << sAll;
    }

    // What was saved is what the next run loads.
    StopServer();
    StartServer();
    Result = Ctl({"list"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ("0: Ping Remote Host 127.0.0.1\n", Result.sOutput.substr(0, Result.sOutput.find('\n') + 1));
    EXPECT_EQ(std::string::npos, Result.sOutput.find("\n1: ")) << Result.sOutput;
    Result = Ctl({"show", "0"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("    ServerPort = " + sPort + "\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    Interval = 1000\n")) << Result.sOutput;
}

TEST_F(Harkwellctl, ThePasswordIsWriteOnlyOverTheBusAndStillAuthenticates) {
    for (const char* pszProgram : {"busctl", "gdbus"})
        if (!OnPath(pszProgram)) GTEST_SKIP() << pszProgram << " is not installed";
    CSmtpTestServer Smtp;
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed";
    // Only an authenticated session may send: every message that arrives was sent with the password.
    ASSERT_TRUE(Smtp.Start(0, {"--auth-required"})) << Smtp.GetError();
    StartServer();
    auto Result = Ctl({"create",
                       "--activity",
                       kPingProgId,
                       "--set",
                       "Host=127.0.0.1",
                       "--set",
                       "Interval=1000",
                       "--notification",
                       kSmtpProgId,
                       "--set",
                       "ServerHost=127.0.0.1",
                       "--set",
                       "ServerPort=" + std::to_string(Smtp.GetPort()),
                       "--set",
                       "Sender=harkwell@localhost",
                       "--set",
                       "ToRecipients=ops@localhost",
                       "--set",
                       "AuthenticationMethods=login",
                       "--set",
                       std::string("AuthenticationName=") + CSmtpTestServer::USER});
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    // Written over the bus like any other setting.
    Result = Ctl({"set", "0", "notification:0", std::string("AuthenticationPassword=") + CSmtpTestServer::PASSWORD});
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;

    // Every way of reading it over the bus gives an empty text: the typed properties, and the getters by
    // DISPID through Corvane.Dispatch.
    const std::string sNotification = "/Corvane/HarkwellServer/Application/Manager/Scenarios/0/Notifications/0";
    for (const char* pszProperty : {"AuthenticationPassword", "PersistAuthenticationPassword"}) {
        const auto Read = RunProgram({"busctl", "--user", "get-property", "Corvane.HarkwellServer", sNotification,
                                      "Corvane.ISmtpNotification", pszProperty});
        EXPECT_EQ(0, Read.nExitCode) << Read.sOutput;
        EXPECT_EQ("s \"\"\n", Read.sOutput) << pszProperty;
    }
    const auto All = RunProgram({"gdbus", "call", "--session", "-d", "Corvane.HarkwellServer", "-o", sNotification,
                                 "-m", "org.freedesktop.DBus.Properties.GetAll", "Corvane.ISmtpNotification"});
    EXPECT_NE(std::string::npos, All.sOutput.find("'AuthenticationName': <'harkwell'>")) << All.sOutput;
    EXPECT_NE(std::string::npos, All.sOutput.find("'AuthenticationPassword': <''>")) << All.sOutput;
    for (const char* pszDispid : {"11", "12"}) {
        const auto Invoked = RunProgram({"gdbus", "call", "--session", "-d", "Corvane.HarkwellServer", "-o",
                                         sNotification, "-m", "Corvane.Dispatch.Invoke", pszDispid, "2", "[]"});
        EXPECT_EQ("(<''>, @av [])\n", Invoked.sOutput) << pszDispid;
    }
    // Nor through the scenario's State, whose record holds the notification's saved settings; putting back
    // what a client read changes nothing.
    const std::string sScenario = "/Corvane/HarkwellServer/Application/Manager/Scenarios/0";
    const auto State = RunProgram(
        {"busctl", "--user", "get-property", "Corvane.HarkwellServer", sScenario, "Corvane.IScenario", "State"});
    EXPECT_EQ("s \"\"\n", State.sOutput);
    EXPECT_NE(0, RunProgram({"busctl", "--user", "set-property", "Corvane.HarkwellServer", sScenario,
                             "Corvane.IScenario", "State", "s", ""})
                     .nExitCode);
    Result = Ctl({"show", "0"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("    AuthenticationName = harkwell\n")) << Result.sOutput;
    EXPECT_EQ(std::string::npos, Result.sOutput.find(CSmtpTestServer::PASSWORD)) << Result.sOutput;

    // The server itself still reads it: it saves it and loads it again, and the e-mail authenticates.
    EXPECT_EQ(0, Ctl({"save"}).nExitCode);
    StopServer();
    StartServer();
    Result = Ctl({"set", "0", "activity", "Host=", "FailureCount=1"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    ASSERT_TRUE(Smtp.WaitForMessageCount(1, std::chrono::seconds(30)))
        << ReadFile(m_Folder.Path() / "HarkwellServer.log");
    const auto Messages = Smtp.GetMessages();
    ASSERT_FALSE(Messages.empty());
    EXPECT_EQ(CSmtpTestServer::USER, Messages[0].sUser);
    EXPECT_EQ("LOGIN", Messages[0].sAuthMethod);
}

TEST_F(Harkwellctl, TestSendsOneMessageThroughTheNotificationOrNamesTheStepAndTheReply) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed";
    CSmtpTestServer Accepting, Refusing;
    ASSERT_TRUE(Accepting.Start()) << Accepting.GetError();
    ASSERT_TRUE(Refusing.Start(0, {"--refuse-sender"})) << Refusing.GetError();
    StartServer();
    // The activity watches a host that answers, so that only the test command sends anything.
    const auto Notification = [](const CSmtpTestServer& Server, const char* pszRecipient) {
        return std::vector<std::string>{"--notification", kSmtpProgId,
                                        "--set",          "ServerHost=127.0.0.1",
                                        "--set",          "ServerPort=" + std::to_string(Server.GetPort()),
                                        "--set",          "Sender=harkwell@localhost",
                                        "--set",          std::string("ToRecipients=") + pszRecipient,
                                        "--set",          "Timeout=5000"};
    };
    std::vector<std::string> Create{"create", "--activity", kPingProgId, "--set", "Host=127.0.0.1"};
    for (const auto& Words : {Notification(Accepting, "ops@localhost"), Notification(Refusing, "other@localhost")})
        Create.insert(Create.end(), Words.begin(), Words.end());
    auto Result = Ctl(Create);
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;

    struct {
        std::vector<std::string> Arguments;
        int nExitCode;
        std::vector<std::string> Parts;  // each in the output
    } const Cases[] = {
        {{"test", "0", "notification:0"}, 0, {"Test message delivered.\n"}},
        // The step, and the server's reply code and text, as the refusing server sent them.
        {{"test", "0", "notification:1"},
         1,
         {"not delivered", "127.0.0.1:" + std::to_string(Refusing.GetPort()), "failed at MAIL FROM",
          "550 5.7.1 Sender <harkwell@localhost> is not allowed here"}},
        {{"test", "0", "notification:2"}, 1, {"scenario 0 has no notification 2 (it has 2)"}},
        {{"test", "3", "notification:0"}, 1, {}},
    };
    for (const auto& Case : Cases) {
        Result = Ctl(Case.Arguments);
        const std::string sCase = testing::PrintToString(Case.Arguments) + ": " + Result.sOutput;
        EXPECT_EQ(Case.nExitCode, Result.nExitCode) << sCase;
        for (const std::string& sPart : Case.Parts) EXPECT_NE(std::string::npos, Result.sOutput.find(sPart)) << sCase;
    }

    // Exactly the one test message arrived, through the notification's own templates and settings; the
    // refusing server took none.
    ASSERT_TRUE(Accepting.WaitForMessageCount(1, std::chrono::seconds(10)));
    const auto Messages = Accepting.GetMessages();
    ASSERT_EQ(1u, Messages.size());
    EXPECT_EQ("harkwell@localhost", Messages[0].sMailFrom);
    std::string sParserOutput;
    const auto Fields = testing_support::ParseMessageWithPython(R"PY(
out('subject', m['subject'])
out('body', m.get_body(('plain',)).get_payload(decode=True))
)PY",
                                                                Messages[0].sData, sParserOutput);
    ASSERT_EQ(2u, Fields.size()) << sParserOutput;
    EXPECT_EQ("Corvane Harkwell: Corvane Harkwell test message", Fields.at("subject"));
    // The default body template around the test event's text.
    EXPECT_NE(std::string::npos, Fields.at("body").find("automated e-mail notification")) << Fields.at("body");
    EXPECT_NE(std::string::npos, Fields.at("body").find("It was sent on request")) << Fields.at("body");
    EXPECT_TRUE(Refusing.GetMessages().empty());
}

TEST_F(Harkwellctl, WatchSaysWhyItCannotWaitForItsStopSignal) {
    StartServer();
    // Every pipe of harkwellctl fails as it does without free file descriptors. The library is not
    // instrumented: a sanitized harkwellctl is told not to mind that it comes first.
    const std::string sAsanOptions = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (sAsanOptions + ":verify_asan_link_order=0").c_str(), 1);
    setenv("LD_PRELOAD", LibraryPath("FailingPipe.so").c_str(), 1);
    const auto Result = Ctl({"watch"});
    unsetenv("LD_PRELOAD");
    setenv("ASAN_OPTIONS", sAsanOptions.c_str(), 1);
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Too many open files")) << Result.sOutput;
    EXPECT_EQ(std::string::npos, Result.sOutput.find("memory")) << Result.sOutput;
}

TEST_F(Harkwellctl, BadInputEndsWith1AndSaysWhy) {
    StartServer();
    ASSERT_EQ(
        0,
        Ctl({"create", "--activity", kPingProgId, "--set", "Host=127.0.0.1", "--notification", kSmtpProgId}).nExitCode);

    // An unknown ProgID: nothing is created.
    auto Result = Ctl({"create", "--activity", "CPingActivity.NoSuchActivity.1"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("\"CPingActivity.NoSuchActivity.1\"")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0x800401F3")) << Result.sOutput;  // CO_E_CLASSSTRING

    // A notification class where an activity belongs.
    Result = Ctl({"create", "--activity", kSmtpProgId});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0x80004002")) << Result.sOutput;  // E_NOINTERFACE

    // Text that is no number for a number.
    Result = Ctl({"set", "0", "activity", "Timeout=soon"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("\"soon\" is no value for Timeout (an integer)"))
        << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0x80020005")) << Result.sOutput;  // DISP_E_TYPEMISMATCH

    // A port out of range is refused by the notification itself, also while creating.
    Result = Ctl({"set", "0", "notification:0", "ServerPort=70000"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("setting ServerPort to \"70000\": 0x80070057")) << Result.sOutput;
    Result = Ctl({"create", "--activity", kPingProgId, "--notification", kSmtpProgId, "--set", "ServerPort=70000"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0x80070057")) << Result.sOutput;

    // A property no interface of the object has, and indexes that name nothing.
    Result = Ctl({"set", "0", "activity", "Colour=blue"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("no property \"Colour\"")) << Result.sOutput;
    EXPECT_EQ(1, Ctl({"show", "5"}).nExitCode);
    EXPECT_EQ(1, Ctl({"set", "0", "notification:3", "Subject=x"}).nExitCode);
    EXPECT_EQ(1, Ctl({"delete", "9"}).nExitCode);

    // None of it changed anything.
    Result = Ctl({"list"});
    EXPECT_EQ("0: Ping Remote Host 127.0.0.1\n", Result.sOutput.substr(0, Result.sOutput.find('\n') + 1));
    EXPECT_EQ(std::string::npos, Result.sOutput.find("\n1: ")) << Result.sOutput;
    Result = Ctl({"show", "0"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("    ServerPort = 25\n")) << Result.sOutput;
}

TEST_F(Harkwellctl, SetChecksEveryValueFirstAndSaysWhatItAssigned) {
    StartServer();
    ASSERT_EQ(0, Ctl({"create", "--activity", kPingProgId, "--set", "Host=127.0.0.1", "--set", "Interval=60000",
                      "--notification", kSmtpProgId, "--set", "ServerHost=mail.example.org"})
                     .nExitCode);
    const struct {
        std::vector<std::string> Command;
        std::string sSaid;
    } Refused[] = {
        // Text that does not convert, after and before good items: nothing is assigned.
        {{"set", "0", "activity", "Interval=7", "FailureCount=x"},
         "\"x\" is no value for FailureCount (an integer) (nothing was assigned)"},
        {{"set", "0", "activity", "FailureCount=x", "Interval=7"}, "(nothing was assigned)"},
        // A name the object lacks: nothing is assigned either.
        {{"set", "0", "activity", "Interval=7", "Colour=blue"}, "no property \"Colour\" (nothing was assigned)"},
        // The object refuses a value of the right type: what was assigned before it is said.
        {{"set", "0", "notification:0", "ServerHost=relay.example.org", "ServerPort=70000", "Subject=changed"},
         "setting ServerPort to \"70000\" (assigned: ServerHost=relay.example.org; not assigned: "
         "ServerPort=70000 Subject=changed): 0x80070057"},
        {{"set", "0", "notification:0", "ServerPort=70000", "Subject=changed"},
         "(assigned: none; not assigned: ServerPort=70000 Subject=changed)"},
    };
    for (const auto& Case : Refused) {
        const auto Result = Ctl(Case.Command);
        EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find(Case.sSaid)) << Result.sOutput;
    }
    // Only the one item said to be assigned was.
    const auto Shown = Ctl({"show", "0"});
    EXPECT_NE(std::string::npos, Shown.sOutput.find("    Interval = 60000\n")) << Shown.sOutput;
    EXPECT_NE(std::string::npos, Shown.sOutput.find("    ServerHost = relay.example.org\n")) << Shown.sOutput;
    EXPECT_NE(std::string::npos, Shown.sOutput.find("    ServerPort = 25\n")) << Shown.sOutput;
    EXPECT_EQ(std::string::npos, Shown.sOutput.find("changed")) << Shown.sOutput;
    // A single refused item says nothing more than its failure.
    const auto Single = Ctl({"set", "0", "activity", "FailureCount=x"});
    EXPECT_EQ(1, Single.nExitCode);
    EXPECT_EQ(std::string::npos, Single.sOutput.find("assigned")) << Single.sOutput;
}

TEST_F(Harkwellctl, DamagedStoredScenarioIsSkippedWhileTheOthersRun) {
    // 51 ping scenarios, stored by a manager of this process, and one value of random bytes beside them,
    // named as the next new scenario would be.
    constexpr int kGood = 51;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, testing_support::NewManager(pManager));
        CComPtr<IScenarios> pScenarios = testing_support::ScenariosOf(pManager);
        for (int n = 1; n <= kGood; ++n) {
            CComPtr<IScenario> pScenario;
            CComPtr<IActivity> pActivity;
            ASSERT_EQ(S_OK, pScenarios->Add(&pScenario));
            ASSERT_EQ(S_OK, testing_support::CreateActivityOf(pScenarios, testing_support::kPingActivity, pActivity));
            const std::u16string sHost = comrt::ToUtf16("127.0.0." + std::to_string(n));
            ASSERT_EQ(S_OK, testing_support::PutDispatchProperty(pActivity, testing_support::kIPingActivity, u"Host",
                                                                 sHost.c_str()));
            ASSERT_EQ(S_OK, testing_support::PutDispatchProperty(pActivity, testing_support::kIPingActivity,
                                                                 u"Interval", 3600000));
            ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
        }
    }
    std::vector<BYTE> Damaged(200);
    unsigned nSeed = 52;
    for (BYTE& b : Damaged) b = static_cast<BYTE>((nSeed = nSeed * 1103515245u + 12345u) >> 16);
    {
        CRegKey Key;
        ASSERT_EQ(ERROR_SUCCESS, Key.Create(HKEY_LOCAL_MACHINE, kScenariosKeyPath));
        ASSERT_EQ(ERROR_SUCCESS, Key.SetBinaryValue(u"52", Damaged.data(), static_cast<DWORD>(Damaged.size())));
        // And an empty value, which is a scenario without an activity.
        ASSERT_EQ(ERROR_SUCCESS, Key.SetBinaryValue(u"empty", nullptr, 0));
    }
    RegResetStore();

    StartServer();
    auto Result = Ctl({"list"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    const std::string sLines = "\n" + Result.sOutput;
    for (int n = 0; n < kGood; ++n)
        EXPECT_NE(std::string::npos,
                  sLines.find("\n" + std::to_string(n) + ": Ping Remote Host 127.0.0." + std::to_string(n + 1) + "\n"))
            << n << ": " << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("\n51: (none)\n")) << Result.sOutput;
    EXPECT_EQ(std::string::npos, Result.sOutput.find("\n52: ")) << Result.sOutput;
    Result = Ctl({"status"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("Enabled: yes\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Last event: Warning: The stored scenario \"52\" cannot be read"))
        << Result.sOutput;
    EXPECT_NE(std::string::npos, ReadFile(m_Folder.Path() / "HarkwellServer.log").find("\"52\" cannot be read"));

    // A new scenario and two saves (one asked for, one at the end) leave the damaged value as it was.
    Result = Ctl({"create", "--activity", kPingProgId, "--set", "Host=127.0.0.99", "--set", "Interval=3600000"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Created scenario 52: ")) << Result.sOutput;
    EXPECT_EQ(0, Ctl({"save"}).nExitCode);
    StopServer();
    RegResetStore();
    EXPECT_EQ(Damaged, StoredValue(u"52"));
    EXPECT_FALSE(StoredValue(u"53").empty());
    EXPECT_FALSE(StoredValue(u"1").empty());
}

TEST_F(Harkwellctl, WatchPrintsTheServersEventsUntilInterrupted) {
    StartServer();
    // Disabled, the server has no scenarios to reach.
    EXPECT_EQ(0, Ctl({"disable"}).nExitCode);
    auto Result = Ctl({"status"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("Enabled: no\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Last event: none\n")) << Result.sOutput;
    Result = Ctl({"list"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("disabled")) << Result.sOutput;

    const std::filesystem::path Output = m_Folder.Path() / "watch.out";
    const std::string sProgram = ProgramPath("harkwellctl").string();
    char* Argv[] = {const_cast<char*>(sProgram.c_str()), const_cast<char*>("watch"), nullptr};
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, Output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    pid_t nWatch = -1;
    ASSERT_EQ(0, posix_spawn(&nWatch, sProgram.c_str(), &Actions, nullptr, Argv, environ));
    posix_spawn_file_actions_destroy(&Actions);
    auto WaitForText = [&](const std::string& sText) {
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (ReadFile(Output).find(sText) == std::string::npos && std::chrono::steady_clock::now() < Deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return ReadFile(Output).find(sText) != std::string::npos;
    };
    ASSERT_TRUE(WaitForText("Watching")) << ReadFile(Output);

    // A stored scenario whose activity class is not registered makes the manager fail when the server is
    // enabled again: the server records an error event, which the watcher prints and status shows as the
    // last one. The scenario commands say that the manager is missing, and why, rather than "disabled".
    {
        CRegKey Key;
        ASSERT_EQ(ERROR_SUCCESS, Key.Create(HKEY_LOCAL_MACHINE, kScenariosKeyPath));
        const std::vector<BYTE> Orphan = ScenarioOfClassText(u"{00000000-1111-2222-3333-444444444444}");
        ASSERT_EQ(ERROR_SUCCESS, Key.SetBinaryValue(u"Orphan", Orphan.data(), static_cast<DWORD>(Orphan.size())));
    }
    RegResetStore();
    EXPECT_EQ(0, Ctl({"enable"}).nExitCode);
    EXPECT_TRUE(WaitForText("Event Error: ")) << ReadFile(Output);
    EXPECT_EQ(1u, CountOf(ReadFile(Output), "Event ")) << ReadFile(Output);
    Result = Ctl({"status"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("Enabled: yes\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Last event: Error: ")) << Result.sOutput;
    for (const std::vector<std::string>& Command :
         std::vector<std::vector<std::string>>{{"list"}, {"show", "0"}, {"delete", "0"}}) {
        Result = Ctl(Command);
        EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find("enabled but has no manager")) << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find(comrt::ToUtf8(FormatSystemMessage(REGDB_E_CLASSNOTREG))))
            << Result.sOutput;
        EXPECT_EQ(std::string::npos, Result.sOutput.find("disabled")) << Result.sOutput;
    }

    // Interrupted, it unsubscribes and ends with 0, also when the server went before.
    StopServer();
    ASSERT_EQ(0, kill(nWatch, SIGINT));
    EXPECT_EQ(0, WaitForExit(nWatch, std::chrono::seconds(10))) << ReadFile(Output);
}
