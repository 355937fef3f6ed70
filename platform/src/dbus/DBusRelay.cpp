#include "DBusRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <system_error>
#include <vector>

#include "DBusFrame.h"

namespace comrt::dbus {
namespace {

// The most descriptors one message may carry (the kernel's limit for one send).
constexpr std::size_t kMaxFds = 253;
constexpr std::size_t kReadSize = 64 * 1024;
// Bytes waiting for a slow reader before the relay stops reading from the other side.
constexpr std::size_t kMaxPending = 8 * 1024 * 1024;
// Socket buffers as large as the library asks for its own socket.
constexpr int kBufferSize = 8 * 1024 * 1024;
// Serials of the relay's own error replies, far from those the library counts up from 1.
constexpr uint32_t kFirstOwnSerial = 0x80000000u;

// Bytes to send in one go, with the descriptors that travel with their first byte.
struct CChunk {
    std::string sBytes;
    std::vector<int> fds;
    std::size_t nSent = 0;
};

// One direction of the connection: what was read and not yet framed, and what waits to be written.
struct CStream {
    // Bytes read are In[nHead, nTail); the rest of its nRoom is room for the next read, left uninitialised so
    // that an idle connection's buffer costs no resident memory beyond the bytes it held.
    std::unique_ptr<uint8_t[]> In;
    std::size_t nRoom = 0;
    std::size_t nHead = 0;
    std::size_t nTail = 0;
    std::deque<int> Fds;  // received and not yet handed to a message
    // False once the bytes could not be framed: they are then carried as they come, and the library
    // ends the connection on them as it would have without the relay.
    bool bFramed = true;
    bool bEnded = false;  // the reading side is closed
    std::deque<CChunk> Out;
    std::size_t nPending = 0;

    void MakeRoom(std::size_t nBytes) {
        if (nRoom - nTail >= nBytes) return;
        const std::size_t nNewRoom = std::max(nTail + nBytes, 2 * nRoom);
        std::unique_ptr<uint8_t[]> pNew(new uint8_t[nNewRoom]);
        if (nTail > nHead) std::memcpy(pNew.get(), In.get() + nHead, nTail - nHead);
        nTail -= nHead;
        nHead = 0;
        In = std::move(pNew);
        nRoom = nNewRoom;
    }

    ~CStream() {
        for (int nFd : Fds) close(nFd);
        for (CChunk& chunk : Out)
            for (int nFd : chunk.fds) close(nFd);
    }

    void Queue(const uint8_t* p, std::size_t n, std::vector<int> fds) {
        if (n == 0) return;
        if (!fds.empty() || Out.empty()) Out.push_back({});
        // Descriptors go with the first byte of their message: a message with some starts a chunk of its own.
        if (!fds.empty()) Out.back().fds = std::move(fds);
        Out.back().sBytes.append(reinterpret_cast<const char*>(p), n);
        nPending += n;
    }
    void CloseOutput() {
        for (CChunk& chunk : Out)
            for (int nFd : chunk.fds) close(nFd);
        Out.clear();
        nPending = 0;
    }
};

// Reads what the socket has, with the descriptors sent with it; false at its end or on an error.
bool ReadSome(int nFd, CStream& stream) {
    for (int nRound = 0; nRound < 16; ++nRound) {
        stream.MakeRoom(kReadSize);
        iovec io{stream.In.get() + stream.nTail, kReadSize};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t nRead = recvmsg(nFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (nRead > 0) stream.nTail += static_cast<std::size_t>(nRead);
        for (cmsghdr* p = CMSG_FIRSTHDR(&message); nRead >= 0 && p != nullptr; p = CMSG_NXTHDR(&message, p)) {
            if (p->cmsg_level != SOL_SOCKET || p->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t nFds = (p->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < nFds; ++i) {
                int nReceived = -1;
                std::memcpy(&nReceived, CMSG_DATA(p) + i * sizeof(int), sizeof(int));
                stream.Fds.push_back(nReceived);
            }
        }
        if (nRead < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (nRead == 0) return false;
        if (static_cast<std::size_t>(nRead) < kReadSize) return true;
    }
    return true;
}

// Writes what waits as far as the socket takes it; false on an error (the peer is gone).
bool WriteSome(int nFd, CStream& stream) {
    while (!stream.Out.empty()) {
        CChunk& chunk = stream.Out.front();
        iovec io{chunk.sBytes.data() + chunk.nSent, chunk.sBytes.size() - chunk.nSent};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        if (!chunk.fds.empty()) {
            message.msg_control = control;
            message.msg_controllen = CMSG_SPACE(sizeof(int) * chunk.fds.size());
            cmsghdr* p = CMSG_FIRSTHDR(&message);
            p->cmsg_level = SOL_SOCKET;
            p->cmsg_type = SCM_RIGHTS;
            p->cmsg_len = CMSG_LEN(sizeof(int) * chunk.fds.size());
            std::memcpy(CMSG_DATA(p), chunk.fds.data(), sizeof(int) * chunk.fds.size());
        }
        const ssize_t nWritten = sendmsg(nFd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (nWritten < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        // The peer holds its own copies of the descriptors now.
        for (int nSent : chunk.fds) close(nSent);
        chunk.fds.clear();
        chunk.nSent += static_cast<std::size_t>(nWritten);
        stream.nPending -= static_cast<std::size_t>(nWritten);
        if (chunk.nSent == chunk.sBytes.size()) stream.Out.pop_front();
    }
    return true;
}

std::vector<int> TakeFds(CStream& stream, std::size_t nCount) {
    std::vector<int> fds;
    while (nCount-- > 0 && !stream.Fds.empty()) {
        fds.push_back(stream.Fds.front());
        stream.Fds.pop_front();
    }
    return fds;
}

// What the relay does with the messages read in one direction: they move to the direction's output, except
// refused calls, whose error replies go to pReplies (the other direction's output) when the caller waits.
struct CRelayRules {
    std::size_t nMaxPathLength = 0;  // 0: nothing is refused
    const std::string* psErrorName = nullptr;
    uint32_t* pnNextSerial = nullptr;
};

// Moves the whole messages read so far to the output; returns the calls refused.
std::size_t Forward(CStream& stream, const CRelayRules& rules, CStream* pReplies) {
    std::size_t nRefused = 0;
    while (stream.nHead < stream.nTail) {
        const uint8_t* p = stream.In.get() + stream.nHead;
        const std::size_t n = stream.nTail - stream.nHead;
        BusFrame frame;
        const FrameResult result = stream.bFramed ? ReadFrame(p, n, &frame) : FrameResult::Malformed;
        if (result == FrameResult::Incomplete) break;
        if (result == FrameResult::Malformed) {
            stream.bFramed = false;
            stream.Queue(p, n, TakeFds(stream, stream.Fds.size()));
            stream.nHead += n;
            break;
        }
        std::vector<int> fds = TakeFds(stream, std::min<std::size_t>(frame.nUnixFds, kMaxFds));
        if (rules.nMaxPathLength != 0 && frame.nType == kBusMethodCall && frame.nPathLength > rules.nMaxPathLength) {
            ++nRefused;
            for (int nFd : fds) close(nFd);
            if ((frame.nFlags & kBusNoReplyExpected) == 0 && pReplies->bFramed) {
                const std::string sReply = MakeErrorReply(frame, (*rules.pnNextSerial)++, *rules.psErrorName,
                                                          OverlongPathText(frame.nPathLength, rules.nMaxPathLength));
                pReplies->Queue(reinterpret_cast<const uint8_t*>(sReply.data()), sReply.size(), {});
            }
        } else {
            stream.Queue(p, frame.nSize, std::move(fds));
        }
        stream.nHead += frame.nSize;
    }
    // The bytes handed on leave the buffer; what is left of a message moves to its start.
    if (stream.nHead > 0) {
        std::memmove(stream.In.get(), stream.In.get() + stream.nHead, stream.nTail - stream.nHead);
        stream.nTail -= stream.nHead;
        stream.nHead = 0;
    }
    // Room taken by one large message is given back once it has gone.
    if (stream.nTail == 0 && stream.nRoom > 4 * kReadSize) {
        stream.In.reset();
        stream.nRoom = 0;
    }
    return nRefused;
}

}  // namespace

std::unique_ptr<CBusRelay> CBusRelay::Insert(int nSocket, std::size_t nMaxPathLength, std::string sErrorName) {
    // Only a connection that reads and writes one local stream socket (not a pair of pipes to a program
    // that carries the bus on) has its whole stream behind that one number.
    int nDomain = 0, nType = 0;
    socklen_t nLength = sizeof nDomain;
    if (getsockopt(nSocket, SOL_SOCKET, SO_DOMAIN, &nDomain, &nLength) < 0 || nDomain != AF_UNIX) return nullptr;
    nLength = sizeof nType;
    if (getsockopt(nSocket, SOL_SOCKET, SO_TYPE, &nType, &nLength) < 0 || nType != SOCK_STREAM) return nullptr;
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) return nullptr;
    for (int nFd : pair) {
        setsockopt(nFd, SOL_SOCKET, SO_SNDBUF, &kBufferSize, sizeof kBufferSize);
        setsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &kBufferSize, sizeof kBufferSize);
    }
    const int nBus = fcntl(nSocket, F_DUPFD_CLOEXEC, 3);
    const int nWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int nBusFlags = nBus >= 0 ? fcntl(nBus, F_GETFL) : -1;
    // The bus socket is the library's non-blocking one; the relay's writes and reads do not block either.
    if (nBus < 0 || nWake < 0 || nBusFlags < 0 || fcntl(nBus, F_SETFL, nBusFlags | O_NONBLOCK) < 0 ||
        dup3(pair[0], nSocket, O_CLOEXEC) < 0) {
        for (int nFd : {pair[0], pair[1], nBus, nWake})
            if (nFd >= 0) close(nFd);
        return nullptr;
    }
    close(pair[0]);
    try {
        std::unique_ptr<CBusRelay> pRelay(new CBusRelay(nBus, pair[1], nWake, nMaxPathLength, std::move(sErrorName)));
        pRelay->m_Thread = std::thread([p = pRelay.get()] { p->Main(); });
        return pRelay;
    } catch (const std::exception&) {
        // The library's socket number refers to the bus again, as though nothing had happened.
        dup3(nBus, nSocket, O_CLOEXEC);
        for (int nFd : {pair[1], nBus, nWake}) close(nFd);
        return nullptr;
    }
}

CBusRelay::CBusRelay(int nBus, int nLibrary, int nWake, std::size_t nMaxPathLength, std::string sErrorName)
    : m_nBus(nBus),
      m_nLibrary(nLibrary),
      m_nWake(nWake),
      m_nMaxPathLength(nMaxPathLength),
      m_sErrorName(std::move(sErrorName)) {}

CBusRelay::~CBusRelay() {
    if (m_Thread.joinable()) {
        const uint64_t nOne = 1;
        if (write(m_nWake, &nOne, sizeof nOne) < 0) {
            // An eventfd takes a write unless its count is at its maximum, which means it is set already.
        }
        m_Thread.join();
    }
    close(m_nBus);
    close(m_nLibrary);
    close(m_nWake);
}

void CBusRelay::Main() {
    CStream fromBus, fromLibrary;
    uint32_t nNextSerial = kFirstOwnSerial;
    const CRelayRules incoming{m_nMaxPathLength, &m_sErrorName, &nNextSerial};
    const CRelayRules outgoing{};
    bool bStop = false;
    while (!bStop) {
        pollfd fds[3] = {{m_nBus, 0, 0}, {m_nLibrary, 0, 0}, {m_nWake, POLLIN, 0}};
        if (!fromBus.bEnded && fromBus.nPending < kMaxPending) fds[0].events |= POLLIN;
        if (!fromLibrary.Out.empty()) fds[0].events |= POLLOUT;
        if (!fromLibrary.bEnded && fromLibrary.nPending < kMaxPending) fds[1].events |= POLLIN;
        if (!fromBus.Out.empty()) fds[1].events |= POLLOUT;
        // A socket whose reading side ended and that has nothing to write is not watched: its hang-up
        // would wake the poll for ever.
        if (fds[0].events == 0) fds[0].fd = -1;
        if (fds[1].events == 0) fds[1].fd = -1;
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[2].revents != 0) bStop = true;
        if (fds[0].revents != 0 && !fromBus.bEnded && !ReadSome(m_nBus, fromBus)) fromBus.bEnded = true;
        if (fds[1].revents != 0 && !fromLibrary.bEnded && !ReadSome(m_nLibrary, fromLibrary)) fromLibrary.bEnded = true;
        m_nRefused += Forward(fromBus, incoming, &fromLibrary);
        Forward(fromLibrary, outgoing, nullptr);
        if (!WriteSome(m_nBus, fromLibrary)) {
            // The bus is gone: the library is told by the end of its socket.
            fromBus.bEnded = true;
            fromLibrary.CloseOutput();
        }
        if (!WriteSome(m_nLibrary, fromBus)) {
            fromLibrary.bEnded = true;
            fromBus.CloseOutput();
        }
        // The bus closed the connection and the library has everything it sent before: the library sees the
        // end of its socket as it would have seen the bus's.
        if (fromBus.bEnded && fromBus.Out.empty()) {
            shutdown(m_nLibrary, SHUT_RDWR);
            break;
        }
        // The library closed its connection and its last messages are on their way.
        if (fromLibrary.bEnded && fromLibrary.Out.empty()) {
            shutdown(m_nBus, SHUT_RDWR);
            break;
        }
    }
}

}  // namespace comrt::dbus
