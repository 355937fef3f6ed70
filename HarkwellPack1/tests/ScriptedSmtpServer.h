// A scripted SMTP peer on the loopback for the client tests: it accepts one connection and plays its script
// (send bytes, whole or dripped one at a time; read a command line; read the message data up to the line of
// a dot; close) on a thread of its own, then records whatever else the client sends until it closes.
//
//   CScriptedSmtpServer Server({Send("220 ready\r\n"), ReadLine(), Send("250 hello\r\n")});
//   ... connect to 127.0.0.1:Server.GetPort() ...
//   ASSERT_TRUE(Server.WaitUntilDone());
//   EXPECT_EQ(Server.GetCommands(), ...);
//
// Every wait of the peer is bounded (kPeerTimeout), so a client that hangs fails the test instead of
// hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comrt/types.h"

namespace scripted_smtp {

struct CStep {
    enum EKind { SEND, READ_LINE, READ_DATA, READ_SOME, CLOSE };
    EKind nKind;
    std::string sText;          // SEND: the bytes
    int nDripMilliseconds = 0;  // SEND: > 0 sends one byte at a time with this pause after each
};

inline CStep Send(std::string sText) {
    return {CStep::SEND, std::move(sText)};
}
inline CStep Drip(std::string sText, int nMilliseconds) {
    return {CStep::SEND, std::move(sText), nMilliseconds};
}
// Reads one command line (recorded without its CR LF).
inline CStep ReadLine() {
    return {CStep::READ_LINE, {}};
}
// Reads the message data through CR LF "." CR LF (recorded as sent, the end line excluded).
inline CStep ReadData() {
    return {CStep::READ_DATA, {}};
}
// Waits for bytes of any kind (a TLS handshake's first message) and takes what came, unrecorded.
inline CStep ReadSome() {
    return {CStep::READ_SOME, {}};
}

// Closes the connection at once.
inline CStep Close() {
    return {CStep::CLOSE, {}};
}

class CScriptedSmtpServer {
public:
    static constexpr std::chrono::milliseconds kPeerTimeout{10000};

    explicit CScriptedSmtpServer(std::vector<CStep> Script) : m_Script(std::move(Script)) {
        m_hListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nSize = sizeof Address;
        if (m_hListen < 0 || ::bind(m_hListen, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
            ::listen(m_hListen, 4) != 0 ||
            ::getsockname(m_hListen, reinterpret_cast<sockaddr*>(&Address), &nSize) != 0) {
            Fail("the listening socket could not be made");
            return;
        }
        m_nPort = ntohs(Address.sin_port);
        m_Thread = std::thread([this] { Run(); });
    }
    ~CScriptedSmtpServer() {
        m_bStop = true;
        if (m_Thread.joinable()) m_Thread.join();
        if (m_hListen >= 0) ::close(m_hListen);
    }
    CScriptedSmtpServer(const CScriptedSmtpServer&) = delete;
    CScriptedSmtpServer& operator=(const CScriptedSmtpServer&) = delete;

    USHORT GetPort() const { return m_nPort; }

    // Waits until the script has run and the client has closed (or the script closed); false when that did
    // not happen within the peer's time-out.
    bool WaitUntilDone() {
        std::unique_lock<std::mutex> Lock(m_Mutex);
        return m_Done.wait_for(Lock, kPeerTimeout + std::chrono::seconds(2), [this] { return m_bDone; });
    }
    // The command lines the client sent, in order, without their CR LF.
    std::vector<std::string> GetCommands() const {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        return m_Commands;
    }
    std::string GetData() const {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        return m_sData;
    }
    // What went wrong on the peer's side (empty when the script ran).
    std::string GetFailure() const {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        return m_sFailure;
    }

private:
    void Fail(const std::string& sWhat) {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        if (m_sFailure.empty()) m_sFailure = sWhat;
    }

    // Waits for readiness of hSocket, in short slices so that the destructor can stop the peer.
    bool WaitFor(int hSocket, short nEvents) {
        const auto Deadline = std::chrono::steady_clock::now() + kPeerTimeout;
        while (!m_bStop && std::chrono::steady_clock::now() < Deadline) {
            pollfd PollDescriptor{hSocket, nEvents, 0};
            if (::poll(&PollDescriptor, 1, 20) > 0) return true;
        }
        return false;
    }

    // Reads more into m_sInput; false at the end of the stream, on an error or when the time ran out.
    bool ReadMore(int hConnection) {
        if (!WaitFor(hConnection, POLLIN)) return false;
        char pBuffer[65536];
        const ssize_t nRead = ::recv(hConnection, pBuffer, sizeof pBuffer, 0);
        if (nRead <= 0) return false;
        m_sInput.append(pBuffer, static_cast<std::size_t>(nRead));
        return true;
    }

    bool ReadUntil(int hConnection, const std::string& sEnd, std::string& sRead) {
        // Each search starts where the last one could not have missed the end, so long data reads in linear time.
        for (std::size_t nFrom = 0;;) {
            const std::size_t nEnd = m_sInput.find(sEnd, nFrom);
            if (nEnd != std::string::npos) {
                sRead = m_sInput.substr(0, nEnd);
                m_sInput.erase(0, nEnd + sEnd.size());
                return true;
            }
            nFrom = m_sInput.size() < sEnd.size() ? 0 : m_sInput.size() - sEnd.size() + 1;
            if (!ReadMore(hConnection)) return false;
        }
    }

    bool SendAll(int hConnection, const std::string& sText, int nDripMilliseconds) {
        const std::size_t nChunk = nDripMilliseconds > 0 ? 1 : sText.size();
        for (std::size_t nSent = 0; nSent < sText.size();) {
            const ssize_t n =
                ::send(hConnection, sText.data() + nSent, std::min(nChunk, sText.size() - nSent), MSG_NOSIGNAL);
            if (n <= 0) return false;
            nSent += static_cast<std::size_t>(n);
            if (nDripMilliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(nDripMilliseconds));
        }
        return true;
    }

    void Record(std::string sLine) {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        m_Commands.push_back(std::move(sLine));
    }

    void Run() {
        int hConnection = -1;
        if (WaitFor(m_hListen, POLLIN)) hConnection = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (hConnection < 0) {
            Fail("no client connected");
        } else {
            RunScript(hConnection);
            if (hConnection >= 0) ::close(hConnection);
        }
        std::lock_guard<std::mutex> Lock(m_Mutex);
        m_bDone = true;
        m_Done.notify_all();
    }

    void RunScript(int& hConnection) {
        for (const CStep& Step : m_Script) {
            std::string sRead;
            switch (Step.nKind) {
                case CStep::SEND:
                    if (!SendAll(hConnection, Step.sText, Step.nDripMilliseconds)) return Fail("a send failed");
                    break;
                case CStep::READ_LINE:
                    if (!ReadUntil(hConnection, "\r\n", sRead)) return Fail("a command line did not come");
                    Record(sRead);
                    break;
                case CStep::READ_DATA:
                    if (!ReadUntil(hConnection, "\r\n.\r\n", sRead)) return Fail("the message data did not end");
                    {
                        std::lock_guard<std::mutex> Lock(m_Mutex);
                        m_sData = sRead + "\r\n";
                    }
                    break;
                case CStep::READ_SOME:
                    if (m_sInput.empty() && !ReadMore(hConnection)) return Fail("nothing came");
                    m_sInput.clear();
                    break;
                case CStep::CLOSE:
                    ::close(hConnection);
                    hConnection = -1;
                    return;
            }
        }
        // The rest of what the client sends, up to its close: complete lines are recorded as commands.
        std::string sLine;
        while (ReadUntil(hConnection, "\r\n", sLine)) Record(sLine);
        if (!m_sInput.empty()) Record(m_sInput);
    }

    std::vector<CStep> m_Script;
    int m_hListen = -1;
    USHORT m_nPort = 0;
    std::thread m_Thread;
    std::atomic<bool> m_bStop{false};
    std::string m_sInput;  // the peer thread's own

    mutable std::mutex m_Mutex;
    std::condition_variable m_Done;
    bool m_bDone = false;
    std::vector<std::string> m_Commands;
    std::string m_sData;
    std::string m_sFailure;
};

}  // namespace scripted_smtp
