// E-mail delivery throughput: 1,000 events handed to one e-mail notification, from the first Handle until the
// server has taken the 1,000th message, beside msmtp sending the same 1,000 messages to the same server in
// the same run, one msmtp process per message as a mail client is used. The server is a minimal SMTP sink
// of this program on 127.0.0.1 (one connection at a time, every command answered at once, no
// authentication): both clients talk to it alike, and it costs neither of them more than the other. The
// figures are messages per second over all runs of each side, and the ratio ours / msmtp (above 1: ours is
// faster).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/FixedActivityEvent.h"
#include "../tests/support/OwnedBstr.h"
#include "SmtpMessage.h"
#include "SmtpNotification.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kMessageCount = 1000;
constexpr char kSender[] = "harkwell@localhost";
const std::vector<std::string> kRecipients = {"ops@localhost", "oncall@localhost", "lead@localhost", "audit@localhost"};

// An SMTP server that takes every message and keeps only their count. It serves one connection after the
// other on a thread of its own: both clients deliver one message at a time, so nothing waits for it.
class CSinkSmtpServer {
public:
    CSinkSmtpServer() {
        m_hListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLength = sizeof Address;
        if (m_hListen < 0 || bind(m_hListen, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
            listen(m_hListen, 128) != 0 || getsockname(m_hListen, reinterpret_cast<sockaddr*>(&Address), &nLength) != 0)
            return;
        m_nPort = ntohs(Address.sin_port);
        m_Thread = std::thread([this] { Run(); });
    }
    ~CSinkSmtpServer() {
        m_bStop = true;
        if (m_Thread.joinable()) m_Thread.join();
        if (m_hListen >= 0) close(m_hListen);
    }
    CSinkSmtpServer(const CSinkSmtpServer&) = delete;
    CSinkSmtpServer& operator=(const CSinkSmtpServer&) = delete;

    unsigned short GetPort() const { return m_nPort; }
    std::size_t GetCount() {
        std::lock_guard Lock(m_Mutex);
        return m_nCount;
    }
    // Waits until the count reaches n; the time the n-th message was taken, or nothing after the timeout.
    bool WaitForCount(std::size_t n, std::chrono::steady_clock::time_point& Taken) {
        std::unique_lock Lock(m_Mutex);
        if (!m_Changed.wait_for(Lock, 120s, [&] { return m_nCount >= n; })) return false;
        Taken = m_LastTaken;
        return true;
    }

private:
    void Run() {
        while (!m_bStop) {
            pollfd Poll{m_hListen, POLLIN, 0};
            if (poll(&Poll, 1, 50) <= 0) continue;
            const int hSocket = accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (hSocket < 0) continue;
            Serve(hSocket);
            close(hSocket);
        }
    }

    void Serve(int hSocket) {
        const auto Send = [&](std::string_view s) { (void)send(hSocket, s.data(), s.size(), MSG_NOSIGNAL); };
        std::string sBuffer;
        std::size_t nScanned = 0;  // data bytes already searched for the end mark
        bool bData = false;
        Send("220 sink ready\r\n");
        for (;;) {
            if (bData) {
                const std::size_t nEnd = sBuffer.find("\r\n.\r\n", nScanned);
                if (nEnd != std::string::npos) {
                    sBuffer.erase(0, nEnd + 5);
                    bData = false;
                    {
                        std::lock_guard Lock(m_Mutex);
                        ++m_nCount;
                        m_LastTaken = std::chrono::steady_clock::now();
                    }
                    m_Changed.notify_all();
                    Send("250 taken\r\n");
                    continue;
                }
                nScanned = sBuffer.size() < 4 ? 0 : sBuffer.size() - 4;
            } else if (const std::size_t nEnd = sBuffer.find("\r\n"); nEnd != std::string::npos) {
                std::string sCommand = sBuffer.substr(0, std::min<std::size_t>(nEnd, 4));
                for (char& c : sCommand) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
                // The data starts with the CR LF that ends the DATA line, so an empty message is seen too.
                sBuffer.erase(0, sCommand == "DATA" ? nEnd : nEnd + 2);
                if (sCommand == "EHLO") {
                    Send("250-sink\r\n250 8BITMIME\r\n");
                } else if (sCommand == "DATA") {
                    bData = true;
                    nScanned = 0;
                    Send("354 go ahead\r\n");
                } else if (sCommand == "QUIT") {
                    Send("221 bye\r\n");
                    return;
                } else {
                    Send("250 ok\r\n");
                }
                continue;
            }
            pollfd Poll{hSocket, POLLIN, 0};
            if (poll(&Poll, 1, 10000) <= 0) return;
            char pBuffer[16384];
            const ssize_t nRead = recv(hSocket, pBuffer, sizeof pBuffer, 0);
            if (nRead <= 0) return;
            sBuffer.append(pBuffer, static_cast<std::size_t>(nRead));
        }
    }

    int m_hListen = -1;
    unsigned short m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::size_t m_nCount = 0;
    std::chrono::steady_clock::time_point m_LastTaken;
    std::thread m_Thread;
};

CSinkSmtpServer* g_pServer = nullptr;
std::filesystem::path g_Folder;

// The texts of the n-th event; every message differs, as a monitor's would.
std::u16string EventSubject(int n) {
    return u"\u00dcberwachung: 10.0.0." + comrt::ToUtf16(std::to_string(n % 250 + 1)) + u" ist offline \u2014 " +
           comrt::ToUtf16(std::to_string(n));
}
const std::u16string kEventBody =
    u"Host: 10.0.0.1\r\nStatus: keine Antwort seit 3 Versuchen\r\nLetzte Antwort: 12:03:44 (\u6771\u4eac)\r\n";

// The settings both clients deliver with.
CSmtpSettings MakeSettings() {
    CSmtpSettings Settings;
    Settings.m_sServerHost = u"127.0.0.1";
    Settings.m_nServerPort = g_pServer->GetPort();
    Settings.m_sSender = u"Corvane Harkwell <harkwell@localhost>";
    Settings.m_sToRecipients = u"ops@localhost,oncall@localhost";
    Settings.m_sCcRecipients = u"lead@localhost";
    Settings.m_sBccRecipients = u"audit@localhost";
    Settings.m_nTimeout = 10000;
    return Settings;
}

// Messages per second of each side, over all its iterations.
struct CRate {
    double fSeconds = 0;
    std::size_t nMessages = 0;
    double Get() const { return fSeconds > 0 ? static_cast<double>(nMessages) / fSeconds : 0; }
};
CRate g_Ours, g_Peer;

void Record(benchmark::State& state, CRate& Rate, std::chrono::steady_clock::duration Elapsed) {
    const double fSeconds = std::chrono::duration<double>(Elapsed).count();
    state.SetIterationTime(fSeconds);
    Rate.fSeconds += fSeconds;
    Rate.nMessages += kMessageCount;
}

void BM_NotificationDelivery(benchmark::State& state) {
    const CSmtpSettings Settings = MakeSettings();
    // The events are made beforehand: an activity has its event record ready when it calls Handle.
    std::vector<CComPtr<IActivityEvent>> Events;
    for (int n = 0; n < kMessageCount; ++n) {
        CComPtr<IActivityEvent> pEvent = testing_support::CFixedActivityEvent::Create(EventSubject(n), kEventBody);
        if (!pEvent) return state.SkipWithError("no event record");
        Events.push_back(pEvent);
    }
    for (auto _ : state) {
        CComPtr<ISmtpNotification> pSettings;
        CComPtr<INotification> pNotification;
        if (FAILED(
                CreateObjectT<CSmtpNotification>(IidOf<ISmtpNotification>(), reinterpret_cast<void**>(&pSettings))) ||
            FAILED(pSettings->put_ServerHost(CBstr(Settings.m_sServerHost))) ||
            FAILED(pSettings->put_ServerPort(Settings.m_nServerPort)) ||
            FAILED(pSettings->put_Sender(CBstr(Settings.m_sSender))) ||
            FAILED(pSettings->put_ToRecipients(CBstr(Settings.m_sToRecipients))) ||
            FAILED(pSettings->put_CcRecipients(CBstr(Settings.m_sCcRecipients))) ||
            FAILED(pSettings->put_BccRecipients(CBstr(Settings.m_sBccRecipients))) ||
            FAILED(pSettings->put_Timeout(Settings.m_nTimeout)) ||
            FAILED(pSettings->QueryInterface(IidOf<INotification>(), reinterpret_cast<void**>(&pNotification))))
            return state.SkipWithError("the notification could not be made");
        const std::size_t nTarget = g_pServer->GetCount() + kMessageCount;
        const auto Start = std::chrono::steady_clock::now();
        for (const CComPtr<IActivityEvent>& pEvent : Events) {
            if (FAILED(pNotification->Handle(nullptr, pEvent))) return state.SkipWithError("Handle failed");
        }
        std::chrono::steady_clock::time_point Taken;
        if (!g_pServer->WaitForCount(nTarget, Taken)) return state.SkipWithError("not every message arrived");
        Record(state, g_Ours, Taken - Start);
    }
    state.SetItemsProcessed(state.iterations() * kMessageCount);
}
BENCHMARK(BM_NotificationDelivery)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// Runs msmtp with the configuration for one message on its standard input; true when it succeeded.
bool RunMsmtp(const std::vector<char*>& Argv, const std::string& sMessage) {
    int pnInput[2];
    if (pipe2(pnInput, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, pnInput[0], STDIN_FILENO);
    pid_t nProcess = -1;
    const int nSpawn = posix_spawnp(&nProcess, "msmtp", &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    close(pnInput[0]);
    bool bWritten = nSpawn == 0;
    for (std::size_t nDone = 0; bWritten && nDone < sMessage.size();) {
        const ssize_t n = write(pnInput[1], sMessage.data() + nDone, sMessage.size() - nDone);
        bWritten = n > 0;
        if (bWritten) nDone += static_cast<std::size_t>(n);
    }
    close(pnInput[1]);
    if (nSpawn != 0) return false;
    int nStatus = 0;
    if (waitpid(nProcess, &nStatus, 0) != nProcess) return false;
    return bWritten && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// msmtp writes the message line by line and the end mark on its own, so each message also waits for the
// server's delayed acknowledgement (some 40 ms), as it would with any server on Linux.
void BM_MsmtpDelivery(benchmark::State& state) {
    // The same messages as ours, composed the way the notification composes them.
    const CSmtpSettings Settings = MakeSettings();
    std::vector<std::string> Messages;
    for (int n = 0; n < kMessageCount; ++n)
        Messages.push_back(CreateMessageData(Settings, EventSubject(n), kEventBody));

    const std::filesystem::path Configuration = g_Folder / "msmtprc";
    {
        std::ofstream File(Configuration);
        File << "defaults\n"
                "tls off\n"
                "auth off\n"
                "syslog off\n"
                "timeout 10\n"
                "domain localhost\n"
                "account sink\n"
                "host 127.0.0.1\n"
                "port "
             << g_pServer->GetPort() << "\nfrom " << kSender << "\naccount default : sink\n";
    }
    // msmtp refuses a configuration file that others may read.
    std::filesystem::permissions(Configuration,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::vector<std::string> Arguments = {"msmtp", "-C", Configuration.string(), "-f", kSender, "--"};
    Arguments.insert(Arguments.end(), kRecipients.begin(), kRecipients.end());
    std::vector<char*> Argv;
    for (std::string& sArgument : Arguments) Argv.push_back(sArgument.data());
    Argv.push_back(nullptr);

    for (auto _ : state) {
        const std::size_t nTarget = g_pServer->GetCount() + kMessageCount;
        const auto Start = std::chrono::steady_clock::now();
        for (const std::string& sMessage : Messages) {
            if (!RunMsmtp(Argv, sMessage)) return state.SkipWithError("msmtp failed (is it installed?)");
        }
        std::chrono::steady_clock::time_point Taken;
        if (!g_pServer->WaitForCount(nTarget, Taken)) return state.SkipWithError("not every message arrived");
        Record(state, g_Peer, Taken - Start);
    }
    state.SetItemsProcessed(state.iterations() * kMessageCount);
}
// One run: each takes some 90 seconds, nearly all of it the start of 1,000 processes.
BENCHMARK(BM_MsmtpDelivery)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    char szFolder[] = "/tmp/smtp-delivery-bench-XXXXXX";
    if (mkdtemp(szFolder) == nullptr) return 1;
    g_Folder = szFolder;
    // A failed delivery is traced; the trace goes to the temporary folder, not the machine's log.
    setenv("CORVANE_LOG_DIR", szFolder, 1);
    // Each queued message is kept in the outbox of the user's store until the server takes it: a store of
    // the benchmark's own, so that the user's is never written.
    setenv("CORVANE_REGISTRY_DIR", (std::string(szFolder) + "/store").c_str(), 1);
    CSinkSmtpServer Server;
    if (Server.GetPort() == 0) {
        std::fprintf(stderr, "the SMTP sink could not listen on 127.0.0.1\n");
        return 1;
    }
    g_pServer = &Server;
    std::printf("server: the benchmark's own SMTP sink on 127.0.0.1:%u, for both clients\n", Server.GetPort());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (g_Ours.nMessages > 0 && g_Peer.nMessages > 0) {
        std::printf("messages per second (%d per run): ours %.0f, msmtp %.0f; ours / msmtp: %.2f (aim: at least 1)\n",
                    kMessageCount, g_Ours.Get(), g_Peer.Get(), g_Ours.Get() / g_Peer.Get());
    } else {
        std::printf("no ratio: it needs both sides run, each delivering every message\n");
    }
    g_pServer = nullptr;
    std::filesystem::remove_all(g_Folder);
    return 0;
}
