// harkwellctl: controls the running server through its application object, which it creates as a local
// server class (the bus bridge answers with proxies). Usage and exit codes are in docs/man/harkwellctl.1.
#include <cstdlib>
#include <iostream>
#include <map>

#include "CtlCommands.h"
#include "comrt/bus.h"
#include "comrt/runtime.h"

using namespace harkwellctl;

namespace {

struct CCommand {
    int (*pfnRun)(const Arguments&);
    const char* pszSynopsis;
    const char* pszHelp;
};

int Enable(const Arguments& Args) {
    return RunEnable(Args, true);
}
int Disable(const Arguments& Args) {
    return RunEnable(Args, false);
}

const std::map<std::string, CCommand>& Commands() {
    static const std::map<std::string, CCommand> Table{
        {"status",
         {RunStatus, "status",
          "Shows the mode the server is registered for (Application or Service), whether it is enabled, and\n"
          "the last event it recorded.\n"}},
        {"enable", {Enable, "enable", "Enables the server: its scenarios' activities run.\n"}},
        {"disable", {Disable, "disable", "Disables the server: its scenarios' activities stop.\n"}},
        {"classes",
         {RunClasses, "classes [activities|notifications]",
          "Lists the registered activity and notification classes: class identifier, ProgID and name.\n"
          "Reads the class registrations; needs no running server.\n"}},
        {"list",
         {RunList, "list",
          "Lists the scenarios: index, the activity's title, and below it the notifications' titles.\n"}},
        {"create",
         {RunCreate,
          "create --activity <ProgID|CLSID> [--set Name=Value ...] [--notification <ProgID|CLSID> "
          "[--set Name=Value ...] ...]",
          "Creates a scenario. Each --set assigns a property of the object named before it; values are text\n"
          "converted to the property's type. Nothing is added when a class or value is refused.\n"
          "Example:\n"
          "  harkwellctl create --activity CPingActivity.CPingActivity.1 --set Host=127.0.0.1 \\\n"
          "      --notification CSmtpNotification.CSmtpNotification.1 --set ServerHost=127.0.0.1 --set "
          "ServerPort=2525\n"
          "Properties of the classes of HarkwellPack1.so (their meaning, units and ranges: docs/user-guide.md):\n"
          "  CPingActivity.CPingActivity.1: Host, Timeout, Interval, RetryInterval, FailureCount\n"
          "  CProcessCheckActivity.CProcessCheckAc.1: ProcessNameExpressions\n"
          "  CFileSystemCheckActivity.CFileSystemC.1: DirectoryPath, FileNameExpression, FileSizeGranularity,\n"
          "      MinimalPollInterval\n"
          "  CSystemPerformanceCheckActivity.CSyst.1: MaximalCommitTotal, MaximalKernelPaged,\n"
          "      MaximalKernelNonpaged, MaximalHandleCount, MaximalProcessCount, MaximalThreadCount,\n"
          "      PollInterval, MinimalEventInterval (PerformanceInformation is read only)\n"
          "  CSmtpNotification.CSmtpNotification.1: ServerHost, ServerPort, Sender, ToRecipients, CcRecipients,\n"
          "      BccRecipients, Subject, Body, AuthenticationMethods, AuthenticationName,\n"
          "      AuthenticationPassword, Timeout, Security, VerifyServerCertificate, RetryIntervals\n"}},
        {"show",
         {RunShow, "show <index>",
          "Shows the readable properties of the scenario's activity and of each of its notifications.\n"}},
        {"set",
         {RunSet, "set <index> activity|notification:<n> Name=Value ...",
          "Assigns properties of the scenario's activity or of its notification number n (from 0).\n"
          "Every name and value is checked before the first is assigned; when the object refuses a value,\n"
          "the message says which assignments were made before it.\n"}},
        {"test",
         {RunTest, "test <index> notification:<n>",
          "Sends one test message now through the notification number n (from 0) of the scenario, by the\n"
          "path every event takes: its server, security, authentication, sender and recipients. The subject\n"
          "and body templates are filled with the test event's texts: subject \"Corvane Harkwell test\n"
          "message\", and a body saying the message was sent on request. Prints \"Test message delivered.\"\n"
          "and exits 0, or the step that failed with the server's reply code and text and exits 1. The\n"
          "command waits as long as the delivery may take (the notification's Timeout bounds each wait).\n"
          "Only notifications that can send a test message (e-mail) take this command.\n"}},
        {"delete", {RunDelete, "delete <index>", "Removes the scenario.\n"}},
        {"save", {RunSave, "save", "Makes the server store its scenarios and settings now.\n"}},
        {"watch",
         {RunWatch, "watch",
          "Prints each event of the server (Starting, Started, Stopping, Stopped, and the recorded events)\n"
          "as it happens, until interrupted (Ctrl-C).\n"}},
        {"terminate", {RunTerminate, "terminate", "Asks the server to end.\n"}},
    };
    return Table;
}

void PrintUsage(std::ostream& Out) {
    Out << "Usage: harkwellctl [--bus session|system] <command> [arguments]\n"
           "       harkwellctl --help | help [command] | <command> --help\n\n"
           "Controls the running Corvane Harkwell Server through its object model.\n\nCommands:\n";
    for (const auto& [sName, Command] : Commands()) Out << "  " << Command.pszSynopsis << "\n";
    Out << "\nScenario indexes count from 0. Exit status: 0 success, 1 the operation failed, 2 usage error,\n"
           "3 the server is not running.\n";
}

void PrintCommandHelp(const CCommand& Command) {
    std::cout << "Usage: harkwellctl " << Command.pszSynopsis << "\n\n" << Command.pszHelp;
}

// The client's bus: an explicit choice, else the environment's, else the one the registered mode serves.
void ChooseBus(const std::string& sBus) {
    if (sBus == "session")
        comrt::CoSetClientBus(comrt::BusKind::Session);
    else if (sBus == "system")
        comrt::CoSetClientBus(comrt::BusKind::System);
    else if (!sBus.empty())
        ThrowUsage("\"" + sBus + "\" is no bus (session or system)");
    else if (std::getenv(comrt::kClientBusVariable) == nullptr && RegisteredMode() == "Service")
        comrt::CoSetClientBus(comrt::BusKind::System);
}

int Run(int argc, char** argv) {
    Arguments Words(argv + 1, argv + argc);
    std::string sBus;
    std::size_t i = 0;
    for (; i < Words.size() && Words[i].rfind("-", 0) == 0; ++i) {
        if (Words[i] == "--help" || Words[i] == "-h") {
            PrintUsage(std::cout);
            return EXITCODE_OK;
        }
        if (Words[i] == "--bus" && i + 1 < Words.size())
            sBus = Words[++i];
        else if (Words[i].rfind("--bus=", 0) == 0)
            sBus = Words[i].substr(6);
        else
            ThrowUsage("unknown option \"" + Words[i] + "\"");
    }
    if (i == Words.size()) ThrowUsage("no command given");
    const std::string sName = Words[i];
    Arguments Args(Words.begin() + static_cast<std::ptrdiff_t>(i) + 1, Words.end());
    if (sName == "help") {
        if (Args.empty()) {
            PrintUsage(std::cout);
            return EXITCODE_OK;
        }
        const auto it = Commands().find(Args[0]);
        if (it == Commands().end()) ThrowUsage("unknown command \"" + Args[0] + "\"");
        PrintCommandHelp(it->second);
        return EXITCODE_OK;
    }
    const auto it = Commands().find(sName);
    if (it == Commands().end()) ThrowUsage("unknown command \"" + sName + "\"");
    for (const std::string& sArg : Args)
        if (sArg == "--help" || sArg == "-h") {
            PrintCommandHelp(it->second);
            return EXITCODE_OK;
        }
    ChooseBus(sBus);
    return it->second.pfnRun(Args);
}

}  // namespace

int main(int argc, char** argv) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int nExitCode = EXITCODE_OK;
    try {
        nExitCode = Run(argc, argv);
    } catch (const CCtlError& e) {
        nExitCode = e.ExitCode();
        std::cerr << "harkwellctl: " << e.What();
        if (e.Result() != S_OK) std::cerr << ": " << DescribeResult(e.Result());
        std::cerr << "\n";
        if (nExitCode == EXITCODE_USAGE) std::cerr << "Try \"harkwellctl --help\".\n";
    }
    std::cout.flush();
    CoUninitialize();
    return nExitCode;
}
