// E-mail delivery over STARTTLS: 1,000 events handed to one e-mail notification with STARTTLS required and
// the server's certificate checked, from the first Handle until the server has taken the 1,000th message,
// beside the same 1,000 over plain SMTP and beside msmtp with STARTTLS sending the same 1,000, all in the
// same run. The notification sends the messages that wait in its queue on one TLS session, and a new
// connection resumes the TLS session of an earlier one (the counter tls_connections tells how many it
// made); the plain dialogue has a connection per message. msmtp runs once per message, as a user's cron
// script or monitor hook calls it, which is its ordinary use. The server is a minimal SMTP sink of this
// program on 127.0.0.1 with STARTTLS on OpenSSL (one connection at a time, every command answered at once,
// no authentication), whose certificate is issued by a test CA the benchmark makes; both clients check it
// against that CA alone (SSL_CERT_FILE for ours, tls_trust_file for msmtp). The figures are messages per
// second over all runs of each side, and the ratios TLS / plain (aim: at least 0.5) and TLS / msmtp (aim:
// well above 1).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
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
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/FixedActivityEvent.h"
#include "../tests/support/OwnedBstr.h"
#include "../tests/support/TlsTestCertificates.h"
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

// An SMTP server that takes every message and keeps only their count, offering STARTTLS with the
// certificate it is given. It serves one connection after the other on a thread of its own: every client
// here delivers one message at a time, so nothing waits for it.
class CSinkSmtpServer {
public:
    CSinkSmtpServer(const std::filesystem::path& CertificateFile, const std::filesystem::path& KeyFile) {
        m_pContext = SSL_CTX_new(TLS_server_method());
        if (m_pContext == nullptr || SSL_CTX_use_certificate_chain_file(m_pContext, CertificateFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(m_pContext, KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            return;
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
        SSL_CTX_free(m_pContext);
    }
    CSinkSmtpServer(const CSinkSmtpServer&) = delete;
    CSinkSmtpServer& operator=(const CSinkSmtpServer&) = delete;

    unsigned short GetPort() const { return m_nPort; }
    std::size_t GetCount() {
        std::lock_guard Lock(m_Mutex);
        return m_nCount;
    }
    // How many messages came encrypted, so that a side meant to use TLS is seen to; and over how many
    // encrypted connections.
    std::size_t GetTlsCount() {
        std::lock_guard Lock(m_Mutex);
        return m_nTlsCount;
    }
    std::size_t GetTlsConnectionCount() {
        std::lock_guard Lock(m_Mutex);
        return m_nTlsConnectionCount;
    }
    // Waits until the count reaches n; the time the n-th message was taken, or nothing after the timeout.
    bool WaitForCount(std::size_t n, std::chrono::steady_clock::time_point& Taken) {
        std::unique_lock Lock(m_Mutex);
        if (!m_Changed.wait_for(Lock, 300s, [&] { return m_nCount >= n; })) return false;
        Taken = m_LastTaken;
        return true;
    }

private:
    void Run() {
        // The library writes to the socket without MSG_NOSIGNAL: a client gone before the sink's last record
        // must fail that write here, not end the program. Blocked on this thread only, so a client's own
        // writes still meet the process's disposition.
        sigset_t Pipe;
        sigemptyset(&Pipe);
        sigaddset(&Pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
        while (!m_bStop) {
            pollfd Poll{m_hListen, POLLIN, 0};
            if (poll(&Poll, 1, 50) <= 0) continue;
            const int hSocket = accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (hSocket < 0) continue;
            // A client that stops answering ends its connection after 10 seconds.
            const timeval Timeout{10, 0};
            setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
            // The handshake ends with the sink's session tickets, and its EHLO reply follows them at once:
            // with Nagle's algorithm that reply waits for the client's delayed acknowledgement of the
            // tickets, some 40 ms per connection, which would measure the sink rather than the clients.
            const int nNoDelay = 1;
            setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof nNoDelay);
            SSL* pSsl = nullptr;
            Serve(hSocket, pSsl);
            if (pSsl != nullptr) {
                SSL_shutdown(pSsl);
                SSL_free(pSsl);
            }
            ERR_clear_error();
            close(hSocket);
        }
    }

    void Serve(int hSocket, SSL*& pSsl) {
        const auto Send = [&](std::string_view s) {
            if (pSsl != nullptr)
                (void)SSL_write(pSsl, s.data(), static_cast<int>(s.size()));
            else
                (void)send(hSocket, s.data(), s.size(), MSG_NOSIGNAL);
        };
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
                        if (pSsl != nullptr) ++m_nTlsCount;
                        m_LastTaken = std::chrono::steady_clock::now();
                    }
                    m_Changed.notify_all();
                    Send("250 taken\r\n");
                    continue;
                }
                nScanned = sBuffer.size() < 4 ? 0 : sBuffer.size() - 4;
            } else if (const std::size_t nEnd = sBuffer.find("\r\n"); nEnd != std::string::npos) {
                std::string sCommand = sBuffer.substr(0, std::min<std::size_t>(nEnd, 8));
                for (char& c : sCommand) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
                const std::string sVerb = sCommand.substr(0, 4);
                // The data starts with the CR LF that ends the DATA line, so an empty message is seen too.
                sBuffer.erase(0, sVerb == "DATA" ? nEnd : nEnd + 2);
                if (sVerb == "EHLO") {
                    Send(pSsl == nullptr ? "250-sink\r\n250-8BITMIME\r\n250 STARTTLS\r\n"
                                         : "250-sink\r\n250 8BITMIME\r\n");
                } else if (sCommand == "STARTTLS" && pSsl == nullptr) {
                    Send("220 go ahead\r\n");
                    sBuffer.clear();
                    pSsl = SSL_new(m_pContext);
                    if (pSsl == nullptr || SSL_set_fd(pSsl, hSocket) != 1 || SSL_accept(pSsl) != 1) return;
                    std::lock_guard Lock(m_Mutex);
                    ++m_nTlsConnectionCount;
                } else if (sVerb == "DATA") {
                    bData = true;
                    nScanned = 0;
                    Send("354 go ahead\r\n");
                } else if (sVerb == "QUIT") {
                    Send("221 bye\r\n");
                    return;
                } else {
                    Send("250 ok\r\n");
                }
                continue;
            }
            char pBuffer[16384];
            std::size_t nRead = 0;
            if (pSsl != nullptr) {
                if (SSL_read_ex(pSsl, pBuffer, sizeof pBuffer, &nRead) != 1) return;
            } else {
                const ssize_t n = recv(hSocket, pBuffer, sizeof pBuffer, 0);
                if (n <= 0) return;
                nRead = static_cast<std::size_t>(n);
            }
            sBuffer.append(pBuffer, nRead);
        }
    }

    SSL_CTX* m_pContext = nullptr;
    int m_hListen = -1;
    unsigned short m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::size_t m_nCount = 0;
    std::size_t m_nTlsCount = 0;
    std::size_t m_nTlsConnectionCount = 0;
    std::chrono::steady_clock::time_point m_LastTaken;
    std::thread m_Thread;
};

CSinkSmtpServer* g_pServer = nullptr;
testing_support::CTlsTestCertificates* g_pCertificates = nullptr;
std::filesystem::path g_Folder;

// The texts of the n-th event; every message differs, as a monitor's would.
std::u16string EventSubject(int n) {
    return u"\u00dcberwachung: 10.0.0." + comrt::ToUtf16(std::to_string(n % 250 + 1)) + u" ist offline \u2014 " +
           comrt::ToUtf16(std::to_string(n));
}
const std::u16string kEventBody =
    u"Host: 10.0.0.1\r\nStatus: keine Antwort seit 3 Versuchen\r\nLetzte Antwort: 12:03:44 (\u6771\u4eac)\r\n";

// The settings every client delivers with; nSecurity decides plain or STARTTLS.
CSmtpSettings MakeSettings(LONG nSecurity) {
    CSmtpSettings Settings;
    Settings.m_sServerHost = u"127.0.0.1";
    Settings.m_nServerPort = g_pServer->GetPort();
    Settings.m_sSender = u"Corvane Harkwell <harkwell@localhost>";
    Settings.m_sToRecipients = u"ops@localhost,oncall@localhost";
    Settings.m_sCcRecipients = u"lead@localhost";
    Settings.m_sBccRecipients = u"audit@localhost";
    Settings.m_nTimeout = 10000;
    Settings.m_nSecurity = nSecurity;
    Settings.m_bVerifyServerCertificate = true;
    return Settings;
}

// Messages per second of each side, over all its iterations.
struct CRate {
    double fSeconds = 0;
    std::size_t nMessages = 0;
    double Get() const { return fSeconds > 0 ? static_cast<double>(nMessages) / fSeconds : 0; }
};
CRate g_Tls, g_Plain, g_Peer;

void Record(benchmark::State& state, CRate& Rate, std::chrono::steady_clock::duration Elapsed) {
    const double fSeconds = std::chrono::duration<double>(Elapsed).count();
    state.SetIterationTime(fSeconds);
    Rate.fSeconds += fSeconds;
    Rate.nMessages += kMessageCount;
}

// The notification's whole path: Handle queues, its thread composes and delivers, one connection each.
void RunNotification(benchmark::State& state, LONG nSecurity, CRate& Rate) {
    const CSmtpSettings Settings = MakeSettings(nSecurity);
    // The events are made beforehand: an activity has its event record ready when it calls Handle.
    std::vector<CComPtr<IActivityEvent>> Events;
    for (int n = 0; n < kMessageCount; ++n) {
        CComPtr<IActivityEvent> pEvent = testing_support::CFixedActivityEvent::Create(EventSubject(n), kEventBody);
        if (!pEvent) return state.SkipWithError("no event record");
        Events.push_back(pEvent);
    }
    for (auto _ : state) {
        CComPtr<ISmtpNotification> pSettings;
        CComPtr<ISmtpNotificationSecurity> pSecurity;
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
            FAILED(
                pSettings->QueryInterface(IidOf<ISmtpNotificationSecurity>(), reinterpret_cast<void**>(&pSecurity))) ||
            FAILED(pSecurity->put_Security(Settings.m_nSecurity)) ||
            FAILED(pSecurity->put_VerifyServerCertificate(VARIANT_TRUE)) ||
            FAILED(pSettings->QueryInterface(IidOf<INotification>(), reinterpret_cast<void**>(&pNotification))))
            return state.SkipWithError("the notification could not be made");
        const std::size_t nTarget = g_pServer->GetCount() + kMessageCount;
        const std::size_t nTlsBefore = g_pServer->GetTlsCount();
        const std::size_t nConnectionsBefore = g_pServer->GetTlsConnectionCount();
        const auto Start = std::chrono::steady_clock::now();
        for (const CComPtr<IActivityEvent>& pEvent : Events) {
            if (FAILED(pNotification->Handle(nullptr, pEvent))) return state.SkipWithError("Handle failed");
        }
        std::chrono::steady_clock::time_point Taken;
        if (!g_pServer->WaitForCount(nTarget, Taken)) return state.SkipWithError("not every message arrived");
        const std::size_t nTls = g_pServer->GetTlsCount() - nTlsBefore;
        if (nTls != (nSecurity == SMTPSECURITY_NONE ? 0u : std::size_t{kMessageCount}))
            return state.SkipWithError("the messages were not protected as asked");
        state.counters["tls_connections"] =
            static_cast<double>(g_pServer->GetTlsConnectionCount() - nConnectionsBefore);
        Record(state, Rate, Taken - Start);
    }
    state.SetItemsProcessed(state.iterations() * kMessageCount);
}

void BM_NotificationPlain(benchmark::State& state) {
    RunNotification(state, SMTPSECURITY_NONE, g_Plain);
}
BENCHMARK(BM_NotificationPlain)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_NotificationStartTls(benchmark::State& state) {
    RunNotification(state, SMTPSECURITY_STARTTLS_REQUIRED, g_Tls);
}
BENCHMARK(BM_NotificationStartTls)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

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

void BM_MsmtpStartTls(benchmark::State& state) {
    // The same messages as ours, composed the way the notification composes them.
    const CSmtpSettings Settings = MakeSettings(SMTPSECURITY_STARTTLS_REQUIRED);
    std::vector<std::string> Messages;
    for (int n = 0; n < kMessageCount; ++n)
        Messages.push_back(CreateMessageData(Settings, EventSubject(n), kEventBody));

    const std::filesystem::path Configuration = g_Folder / "msmtprc";
    {
        std::ofstream File(Configuration);
        File << "defaults\n"
                "tls on\n"
                "tls_starttls on\n"
                "tls_trust_file "
             << g_pCertificates->GetCaFile().string()
             << "\n"
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
        const std::size_t nTlsBefore = g_pServer->GetTlsCount();
        const auto Start = std::chrono::steady_clock::now();
        for (const std::string& sMessage : Messages) {
            if (!RunMsmtp(Argv, sMessage)) return state.SkipWithError("msmtp failed (is it installed?)");
        }
        std::chrono::steady_clock::time_point Taken;
        if (!g_pServer->WaitForCount(nTarget, Taken)) return state.SkipWithError("not every message arrived");
        if (g_pServer->GetTlsCount() - nTlsBefore != std::size_t{kMessageCount})
            return state.SkipWithError("msmtp did not use STARTTLS");
        Record(state, g_Peer, Taken - Start);
    }
    state.SetItemsProcessed(state.iterations() * kMessageCount);
}
// One run: 1,000 processes, each with its own TLS library start and handshake.
BENCHMARK(BM_MsmtpStartTls)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    char szFolder[] = "/tmp/smtp-tls-bench-XXXXXX";
    if (mkdtemp(szFolder) == nullptr) return 1;
    g_Folder = szFolder;
    // A failed delivery is traced; the trace goes to the temporary folder, not the machine's log.
    setenv("CORVANE_LOG_DIR", szFolder, 1);
    testing_support::CTlsTestCertificates Certificates;
    if (!Certificates.IsValid()) {
        std::fprintf(stderr, "the test certificates could not be made: %s\n", Certificates.GetError().c_str());
        return 1;
    }
    g_pCertificates = &Certificates;
    // The test CA is the notification's only trust anchor.
    setenv("SSL_CERT_FILE", Certificates.GetCaFile().c_str(), 1);
    setenv("SSL_CERT_DIR", Certificates.GetCaFile().parent_path().c_str(), 1);
    CSinkSmtpServer Server(Certificates.GetCertificateFile(testing_support::CTlsTestCertificates::VALID),
                           Certificates.GetKeyFile());
    if (Server.GetPort() == 0) {
        std::fprintf(stderr, "the SMTP sink could not listen on 127.0.0.1\n");
        return 1;
    }
    g_pServer = &Server;
    std::printf("server: the benchmark's own SMTP sink with STARTTLS on 127.0.0.1:%u, for every client\n",
                Server.GetPort());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (g_Tls.nMessages > 0 && g_Plain.nMessages > 0 && g_Peer.nMessages > 0) {
        std::printf("messages per second (%d per run): STARTTLS %.0f, plain %.0f, msmtp STARTTLS %.0f\n", kMessageCount,
                    g_Tls.Get(), g_Plain.Get(), g_Peer.Get());
        std::printf("STARTTLS / plain: %.2f (aim: at least 0.5); STARTTLS / msmtp: %.2f (aim: well above 1)\n",
                    g_Tls.Get() / g_Plain.Get(), g_Tls.Get() / g_Peer.Get());
    } else {
        std::printf("no ratios: they need every side run, each delivering every message\n");
    }
    g_pServer = nullptr;
    g_pCertificates = nullptr;
    std::filesystem::remove_all(g_Folder);
    return 0;
}
