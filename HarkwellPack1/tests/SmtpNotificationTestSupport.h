// What the e-mail notification's tests share: owned BSTRs, a notification object made as its class factory
// makes it, memory streams, and an SMTP server on the loopback interface that takes every message.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "FixedActivityEvent.h"
#include "OwnedBstr.h"
#include "SmtpNotification.h"
#include "comrt/oleauto.h"
#include "corvane/ulmemorystream.h"

namespace {

using namespace std::chrono_literals;

// The text of a BSTR out value, freeing it.
std::u16string Take(BSTR s) {
    std::u16string sText = s ? std::u16string(s, SysStringLen(s)) : std::u16string();
    SysFreeString(s);
    return sText;
}

// A notification object created the way its class factory creates it, released with the holder.
class CNotificationHolder {
public:
    CNotificationHolder() { EXPECT_EQ(CComObjectT<CSmtpNotification>::CreateInstance(&m_p), S_OK); }
    ~CNotificationHolder() { Release(); }
    CNotificationHolder(const CNotificationHolder&) = delete;
    CNotificationHolder& operator=(const CNotificationHolder&) = delete;
    CComObjectT<CSmtpNotification>* operator->() const { return m_p; }
    CComObjectT<CSmtpNotification>* Get() const { return m_p; }
    void Release() {
        if (m_p) std::exchange(m_p, nullptr)->Release();
    }

    std::u16string Title() {
        BSTR s = nullptr;
        EXPECT_EQ(m_p->get_Title(&s), S_OK);
        return Take(s);
    }
    bool IsDirty() { return static_cast<IPersistStreamInit*>(m_p)->IsDirty() == S_OK; }
    // Saves into a new memory stream, clearing the changed state.
    CComPtr<IStream> Save() {
        CMemoryStreamObject* pStream = nullptr;
        EXPECT_EQ(CMemoryStreamObject::CreateInstance(&pStream), S_OK);
        CComPtr<IStream> pResult(static_cast<IStream*>(pStream));
        pStream->Release();
        EXPECT_EQ(static_cast<IPersistStreamInit*>(m_p)->Save(pResult, TRUE), S_OK);
        return pResult;
    }
    void Put(HRESULT (CSmtpNotification::*pPut)(BSTR), std::u16string_view sValue, HRESULT nExpected = S_OK) {
        EXPECT_EQ((m_p->*pPut)(CBstr(sValue)), nExpected);
    }
    std::u16string Get(HRESULT (CSmtpNotification::*pGet)(BSTR*)) {
        BSTR s = nullptr;
        EXPECT_EQ((m_p->*pGet)(&s), S_OK);
        return Take(s);
    }

private:
    CComObjectT<CSmtpNotification>* m_p = nullptr;
};

std::string StreamBytes(IStream* pStream) {
    auto* pMemory = static_cast<CMemoryStream*>(pStream);
    return std::string(reinterpret_cast<const char*>(pMemory->GetData()), pMemory->GetSize());
}

void Rewind(IStream* pStream) {
    LARGE_INTEGER Zero{};
    EXPECT_EQ(pStream->Seek(Zero, STREAM_SEEK_SET, nullptr), S_OK);
}

HRESULT HandleEvent(CSmtpNotification* p, std::u16string_view sSubject, std::u16string_view sBody,
                    HRESULT nSubjectResult = S_OK) {
    CComPtr<IActivityEvent> pEvent = testing_support::CFixedActivityEvent::Create(sSubject, sBody, nSubjectResult);
    EXPECT_TRUE(pEvent);
    return static_cast<INotification*>(p)->Handle(nullptr, pEvent);
}

// An SMTP server on the loopback interface serving one connection at a time: it answers every command with
// 250 and records each message's data. Without a greeting it accepts and then stays silent.
class CLoopbackSmtpServer {
public:
    // nPort 0 listens on a port of the system's choice.
    explicit CLoopbackSmtpServer(bool bGreet = true, USHORT nPort = 0) : m_bGreet(bGreet) {
        m_nListen = socket(AF_INET, SOCK_STREAM, 0);
        const int nReuse = 1;
        setsockopt(m_nListen, SOL_SOCKET, SO_REUSEADDR, &nReuse, sizeof nReuse);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(nPort);
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLength = sizeof Address;
        if (bind(m_nListen, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 || listen(m_nListen, 8) != 0 ||
            getsockname(m_nListen, reinterpret_cast<sockaddr*>(&Address), &nLength) != 0)
            ADD_FAILURE() << "no listening socket";
        m_nPort = ntohs(Address.sin_port);
        m_Thread = std::thread([this] { Run(); });
    }
    ~CLoopbackSmtpServer() {
        m_bStop = true;
        m_Thread.join();
        close(m_nListen);
        for (const int nSocket : m_Silent) close(nSocket);
    }

    USHORT GetPort() const { return m_nPort; }
    // Waits until n messages have arrived (or 30 seconds have passed) and returns those there are.
    std::vector<std::string> WaitForMessages(std::size_t n) {
        std::unique_lock Lock(m_Mutex);
        m_Changed.wait_for(Lock, 30s, [&] { return m_Messages.size() >= n; });
        return m_Messages;
    }
    // Waits until the silent server has accepted a connection and returns its socket.
    int WaitForSilentConnection() {
        std::unique_lock Lock(m_Mutex);
        m_Changed.wait_for(Lock, 30s, [&] { return !m_Silent.empty(); });
        return m_Silent.empty() ? -1 : m_Silent.front();
    }
    int GetConnectionCount() {
        std::lock_guard Lock(m_Mutex);
        return m_nConnections;
    }
    // The next nCount MAIL FROM commands are answered with sReply instead of 250.
    void FailMail(std::string sReply, int nCount) {
        std::lock_guard Lock(m_Mutex);
        m_sMailReply = std::move(sReply);
        m_nMailFailures = nCount;
    }

private:
    void Run() {
        while (!m_bStop) {
            pollfd Poll{m_nListen, POLLIN, 0};
            if (poll(&Poll, 1, 50) <= 0) continue;
            const int nSocket = accept(m_nListen, nullptr, nullptr);
            if (nSocket < 0) continue;
            {
                std::lock_guard Lock(m_Mutex);
                ++m_nConnections;
                if (!m_bGreet) m_Silent.push_back(nSocket);
            }
            m_Changed.notify_all();
            if (m_bGreet) {
                Serve(nSocket);
                close(nSocket);
            }
        }
    }
    void Serve(int nSocket) {
        std::string sBuffer;
        bool bData = false;
        const auto Send = [&](std::string_view s) { (void)send(nSocket, s.data(), s.size(), MSG_NOSIGNAL); };
        Send("220 loopback ready\r\n");
        for (;;) {
            if (bData) {
                const std::size_t nEnd = sBuffer.find("\r\n.\r\n");
                if (nEnd != std::string::npos) {
                    {
                        std::lock_guard Lock(m_Mutex);
                        m_Messages.push_back(sBuffer.substr(0, nEnd + 2));
                    }
                    m_Changed.notify_all();
                    sBuffer.erase(0, nEnd + 5);
                    bData = false;
                    Send("250 queued\r\n");
                    continue;
                }
            } else if (const std::size_t nEnd = sBuffer.find("\r\n"); nEnd != std::string::npos) {
                const std::string sLine = sBuffer.substr(0, nEnd);
                sBuffer.erase(0, nEnd + 2);
                if (sLine == "DATA") {
                    bData = true;
                    Send("354 go ahead\r\n");
                } else if (sLine == "QUIT") {
                    Send("221 bye\r\n");
                    return;
                } else if (std::string sReply = TakeMailFailure(sLine); !sReply.empty()) {
                    Send(sReply);
                } else {
                    Send("250 ok\r\n");
                }
                continue;
            }
            pollfd Poll{nSocket, POLLIN, 0};
            if (poll(&Poll, 1, 10000) <= 0) return;
            char pBuffer[4096];
            const ssize_t nRead = recv(nSocket, pBuffer, sizeof pBuffer, 0);
            if (nRead <= 0) return;
            sBuffer.append(pBuffer, static_cast<std::size_t>(nRead));
        }
    }

    std::string TakeMailFailure(const std::string& sLine) {
        std::lock_guard Lock(m_Mutex);
        if (sLine.rfind("MAIL FROM:", 0) != 0 || m_nMailFailures == 0) return {};
        --m_nMailFailures;
        return m_sMailReply;
    }

    const bool m_bGreet;
    std::string m_sMailReply;
    int m_nMailFailures = 0;
    int m_nListen = -1;
    USHORT m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Messages;
    std::vector<int> m_Silent;
    int m_nConnections = 0;
    std::thread m_Thread;
};

std::string HeaderLine(const std::string& sMessage, std::string_view sName) {
    const std::size_t nStart = sMessage.find(std::string("\r\n") + std::string(sName) + ": ");
    if (nStart == std::string::npos) return "<none>";
    const std::size_t nValue = nStart + 2 + sName.size() + 2;
    return sMessage.substr(nValue, sMessage.find("\r\n", nValue) - nValue);
}

void PointAt(CNotificationHolder& p, const CLoopbackSmtpServer& Server) {
    p.Put(&CSmtpNotification::put_ServerHost, u"127.0.0.1");
    EXPECT_EQ(p->put_ServerPort(Server.GetPort()), S_OK);
    p.Put(&CSmtpNotification::put_Sender, u"Harkwell <harkwell@x.org>");
    EXPECT_EQ(p->put_Timeout(20000), S_OK);
}

}  // namespace
