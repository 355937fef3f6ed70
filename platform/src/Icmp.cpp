// ICMP echo over a datagram ICMP socket where the kernel allows one, else over a raw socket.
//
// The two kinds deliver differently. A datagram ("ping") socket gets only the answers to its own identifier,
// which the kernel assigns, without the IP header; error reports about its requests (unreachable, time
// exceeded) arrive on the socket's error queue when IP_RECVERR is on. A raw socket gets every ICMP message
// the host receives, with the IP header, so it matches echo replies by identifier, sequence and source
// address, and error reports by the copy of the original request they carry.
#include "comrt/icmp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "comrt/systemerrors.h"

namespace {

// ICMP message types and the raw socket's type filter (linux/icmp.h, whose other declarations clash with
// the C library's network headers).
constexpr BYTE ICMP_TYPE_ECHO_REPLY = 0;
constexpr BYTE ICMP_TYPE_DEST_UNREACH = 3;
constexpr BYTE ICMP_TYPE_SOURCE_QUENCH = 4;
constexpr BYTE ICMP_TYPE_ECHO = 8;
constexpr BYTE ICMP_TYPE_TIME_EXCEEDED = 11;
constexpr BYTE ICMP_TYPE_PARAMETER_PROBLEM = 12;
constexpr int ICMP_FILTER_OPTION = 1;
struct IcmpTypeFilter {
    std::uint32_t nFilteredTypes;  // bit n set: type n is not delivered
};

constexpr std::size_t ICMP_HEADER_SIZE = 8;
constexpr std::size_t MAX_IP_OPTIONS = 40;

using Clock = std::chrono::steady_clock;

struct CIcmpSocket {
    int nFd = -1;
    comrt::IcmpSocketKind eKind = comrt::IcmpSocketKind::Datagram;
    std::mutex Lock;  // one request at a time per handle
    WORD nIdentifier = 0;
    WORD nSequence = 0;

    ~CIcmpSocket() {
        if (nFd >= 0) close(nFd);
    }
};

// Open handles by value. Values are never reused and lie far from those of the kernel objects, so a
// stale or foreign handle is refused rather than taken for another socket.
class CIcmpHandleTable {
public:
    HANDLE Add(std::shared_ptr<CIcmpSocket> pSocket) {
        std::lock_guard Guard(m_Lock);
        const std::uintptr_t nValue = m_nNextValue;
        m_nNextValue += 4;
        m_Sockets.emplace(nValue, std::move(pSocket));
        return reinterpret_cast<HANDLE>(nValue);
    }
    std::shared_ptr<CIcmpSocket> Find(HANDLE hHandle) {
        std::lock_guard Guard(m_Lock);
        const auto it = m_Sockets.find(reinterpret_cast<std::uintptr_t>(hHandle));
        return it != m_Sockets.end() ? it->second : nullptr;
    }
    std::shared_ptr<CIcmpSocket> Remove(HANDLE hHandle) {
        std::lock_guard Guard(m_Lock);
        const auto it = m_Sockets.find(reinterpret_cast<std::uintptr_t>(hHandle));
        if (it == m_Sockets.end()) return nullptr;
        std::shared_ptr<CIcmpSocket> pSocket = std::move(it->second);
        m_Sockets.erase(it);
        return pSocket;
    }

private:
    std::mutex m_Lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<CIcmpSocket>> m_Sockets;
    std::uintptr_t m_nNextValue = static_cast<std::uintptr_t>(0x1C4D0000);
};

CIcmpHandleTable& Handles() {
    static CIcmpHandleTable* const pTable = new CIcmpHandleTable;  // outlives every static destructor
    return *pTable;
}

// Identifiers of raw sockets: the process and a counter, so that two handles of one process differ too.
WORD NextRawIdentifier() {
    static std::atomic<unsigned> nCounter{0};
    return static_cast<WORD>(static_cast<unsigned>(getpid()) * 0x9E37u + nCounter.fetch_add(1) * 0x61u);
}

bool IsPermissionError(int nError) {
    return nError == EACCES || nError == EPERM;
}

// The reply state of an error report.
ULONG StatusOfErrorReport(BYTE nType, BYTE nCode) {
    switch (nType) {
        case ICMP_TYPE_DEST_UNREACH:
            switch (nCode) {
                case 0:   // network unreachable
                case 6:   // network unknown
                case 9:   // network administratively prohibited
                case 11:  // network unreachable for the type of service
                    return IP_DEST_NET_UNREACHABLE;
                case 2:
                    return IP_DEST_PROT_UNREACHABLE;
                case 3:
                    return IP_DEST_PORT_UNREACHABLE;
                case 4:
                    return IP_PACKET_TOO_BIG;
                case 5:
                    return IP_BAD_ROUTE;
                default:  // host unreachable, unknown, prohibited
                    return IP_DEST_HOST_UNREACHABLE;
            }
        case ICMP_TYPE_TIME_EXCEEDED:
            return nCode == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
        case ICMP_TYPE_PARAMETER_PROBLEM:
            return IP_PARAM_PROBLEM;
        case ICMP_TYPE_SOURCE_QUENCH:
            return IP_SOURCE_QUENCH;
        default:
            return IP_GENERAL_FAILURE;
    }
}

// The reply state of a request that could not be sent.
ULONG StatusOfSendError(int nError) {
    switch (nError) {
        case ENETUNREACH:
        case ENETDOWN:
            return IP_DEST_NET_UNREACHABLE;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return IP_DEST_HOST_UNREACHABLE;
        case EMSGSIZE:
            return IP_PACKET_TOO_BIG;
        case ENOBUFS:
        case ENOMEM:
            return IP_NO_RESOURCES;
        case EACCES:  // a broadcast address without SO_BROADCAST
        case EINVAL:
        case EADDRNOTAVAIL:
            return IP_BAD_DESTINATION;
        default:
            return IP_GENERAL_FAILURE;
    }
}

WORD ReadWord(const BYTE* p) {
    return static_cast<WORD>((p[0] << 8) | p[1]);
}
void WriteWord(BYTE* p, WORD n) {
    p[0] = static_cast<BYTE>(n >> 8);
    p[1] = static_cast<BYTE>(n);
}
IPAddr ReadAddress(const BYTE* p) {
    IPAddr nAddress;
    std::memcpy(&nAddress, p, sizeof nAddress);
    return nAddress;
}

WORD InternetChecksum(const BYTE* p, std::size_t nSize) {
    std::uint32_t nSum = 0;
    for (std::size_t i = 0; i + 1 < nSize; i += 2) nSum += ReadWord(p + i);
    if (nSize % 2 != 0) nSum += static_cast<std::uint32_t>(p[nSize - 1]) << 8;
    while ((nSum >> 16) != 0) nSum = (nSum & 0xFFFF) + (nSum >> 16);
    return static_cast<WORD>(~nSum);
}

// What one received message says about the request being waited for.
struct CMatch {
    bool bMatched = false;
    ULONG nStatus = IP_SUCCESS;
    IPAddr nAddress = 0;
    BYTE nTtl = 0;
    const BYTE* pData = nullptr;
    std::size_t nDataSize = 0;
};

// An echo request header (type, code, checksum, identifier, sequence) that is ours.
bool IsOurRequest(const BYTE* pIcmp, std::size_t nSize, WORD nIdentifier, WORD nSequence, bool bCheckIdentifier) {
    return nSize >= ICMP_HEADER_SIZE && pIcmp[0] == ICMP_TYPE_ECHO && pIcmp[1] == 0 &&
           (!bCheckIdentifier || ReadWord(pIcmp + 4) == nIdentifier) && ReadWord(pIcmp + 6) == nSequence;
}

bool IsErrorReport(BYTE nType) {
    return nType == ICMP_TYPE_DEST_UNREACH || nType == ICMP_TYPE_TIME_EXCEEDED ||
           nType == ICMP_TYPE_PARAMETER_PROBLEM || nType == ICMP_TYPE_SOURCE_QUENCH;
}

// A raw socket's message: IP header, then ICMP. An error report carries the IP header and the first eight
// bytes of the request it is about.
CMatch MatchRaw(const BYTE* p, std::size_t nSize, IPAddr nDestination, WORD nIdentifier, WORD nSequence) {
    CMatch Match;
    if (nSize < 20 || (p[0] >> 4) != 4) return Match;
    const std::size_t nHeader = static_cast<std::size_t>(p[0] & 0x0F) * 4;
    if (nHeader < 20 || nSize < nHeader + ICMP_HEADER_SIZE) return Match;
    const IPAddr nSource = ReadAddress(p + 12);
    const BYTE* pIcmp = p + nHeader;
    const std::size_t nIcmpSize = nSize - nHeader;
    if (pIcmp[0] == ICMP_TYPE_ECHO_REPLY) {
        if (ReadWord(pIcmp + 4) != nIdentifier || ReadWord(pIcmp + 6) != nSequence || nSource != nDestination)
            return Match;
        Match.bMatched = true;
        Match.nStatus = IP_SUCCESS;
        Match.pData = pIcmp + ICMP_HEADER_SIZE;
        Match.nDataSize = nIcmpSize - ICMP_HEADER_SIZE;
    } else if (IsErrorReport(pIcmp[0])) {
        const BYTE* pInner = pIcmp + ICMP_HEADER_SIZE;
        const std::size_t nInnerSize = nIcmpSize - ICMP_HEADER_SIZE;
        if (nInnerSize < 20 || (pInner[0] >> 4) != 4) return Match;
        const std::size_t nInnerHeader = static_cast<std::size_t>(pInner[0] & 0x0F) * 4;
        if (nInnerHeader < 20 || nInnerSize < nInnerHeader + ICMP_HEADER_SIZE) return Match;
        if (pInner[9] != IPPROTO_ICMP || ReadAddress(pInner + 16) != nDestination) return Match;
        if (!IsOurRequest(pInner + nInnerHeader, nInnerSize - nInnerHeader, nIdentifier, nSequence, true)) return Match;
        Match.bMatched = true;
        Match.nStatus = StatusOfErrorReport(pIcmp[0], pIcmp[1]);
    } else {
        return Match;
    }
    Match.nAddress = nSource;
    Match.nTtl = p[8];
    return Match;
}

// A datagram socket's message: ICMP only; the kernel delivers only replies to the socket's identifier.
CMatch MatchDatagram(const BYTE* p, std::size_t nSize, IPAddr nSource, BYTE nTtl, WORD nSequence) {
    CMatch Match;
    if (nSize < ICMP_HEADER_SIZE || p[0] != ICMP_TYPE_ECHO_REPLY || ReadWord(p + 6) != nSequence) return Match;
    Match.bMatched = true;
    Match.nStatus = IP_SUCCESS;
    Match.nAddress = nSource;
    Match.nTtl = nTtl;
    Match.pData = p + ICMP_HEADER_SIZE;
    Match.nDataSize = nSize - ICMP_HEADER_SIZE;
    return Match;
}

// One entry of a datagram socket's error queue: the request it is about, and the report.
CMatch MatchDatagramError(int nFd, WORD nSequence, bool* pbQueueEmpty) {
    CMatch Match;
    BYTE Packet[576];
    alignas(cmsghdr) BYTE Control[512];
    sockaddr_in Source{};
    iovec Vector{Packet, sizeof Packet};
    msghdr Message{};
    Message.msg_name = &Source;
    Message.msg_namelen = sizeof Source;
    Message.msg_iov = &Vector;
    Message.msg_iovlen = 1;
    Message.msg_control = Control;
    Message.msg_controllen = sizeof Control;
    const ssize_t nRead = recvmsg(nFd, &Message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (nRead < 0) {
        *pbQueueEmpty = true;
        return Match;
    }
    *pbQueueEmpty = false;
    if (!IsOurRequest(Packet, static_cast<std::size_t>(nRead), 0, nSequence, false)) return Match;
    for (cmsghdr* pHeader = CMSG_FIRSTHDR(&Message); pHeader != nullptr; pHeader = CMSG_NXTHDR(&Message, pHeader)) {
        if (pHeader->cmsg_level != SOL_IP || pHeader->cmsg_type != IP_RECVERR) continue;
        sock_extended_err Error;
        std::memcpy(&Error, CMSG_DATA(pHeader), sizeof Error);
        Match.bMatched = true;
        if (Error.ee_origin == SO_EE_ORIGIN_ICMP) {
            Match.nStatus = StatusOfErrorReport(Error.ee_type, Error.ee_code);
            sockaddr_in Offender;
            std::memcpy(&Offender, SO_EE_OFFENDER(reinterpret_cast<sock_extended_err*>(CMSG_DATA(pHeader))),
                        sizeof Offender);
            Match.nAddress = Offender.sin_family == AF_INET ? Offender.sin_addr.s_addr : 0;
        } else {
            Match.nStatus = StatusOfSendError(static_cast<int>(Error.ee_errno));
        }
        return Match;
    }
    return Match;
}

// Reads and so clears an error pending on the socket, which would otherwise keep poll reporting POLLERR.
void ClearPendingError(int nFd) {
    int nError = 0;
    socklen_t nSize = sizeof nError;
    getsockopt(nFd, SOL_SOCKET, SO_ERROR, &nError, &nSize);
}

bool ApplyOptions(const CIcmpSocket& Socket, const IP_OPTION_INFORMATION* pOptions) {
    const int nTtl = pOptions != nullptr && pOptions->Ttl != 0 ? pOptions->Ttl : -1;  // -1: the route's default
    const int nTos = pOptions != nullptr ? pOptions->Tos : 0;
    const int nDiscover =
        pOptions != nullptr && (pOptions->Flags & IP_FLAG_DF) != 0 ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
    if (setsockopt(Socket.nFd, SOL_IP, IP_TTL, &nTtl, sizeof nTtl) != 0) return false;
    if (setsockopt(Socket.nFd, SOL_IP, IP_TOS, &nTos, sizeof nTos) != 0) return false;
    if (setsockopt(Socket.nFd, SOL_IP, IP_MTU_DISCOVER, &nDiscover, sizeof nDiscover) != 0) return false;
    const BYTE nOptionsSize = pOptions != nullptr ? pOptions->OptionsSize : 0;
    return setsockopt(Socket.nFd, SOL_IP, IP_OPTIONS, nOptionsSize != 0 ? pOptions->OptionsData : nullptr,
                      nOptionsSize) == 0;
}

DWORD Fail(DWORD nError) {
    SetLastError(nError);
    return 0;
}

DWORD SendEcho(CIcmpSocket& Socket, IPAddr nDestination, const void* pRequestData, WORD nRequestSize,
               const IP_OPTION_INFORMATION* pOptions, BYTE* pReplyBuffer, DWORD nReplySize, DWORD nTimeout) {
    if (pOptions != nullptr && pOptions->OptionsSize > MAX_IP_OPTIONS) return Fail(IP_OPTION_TOO_BIG);
    if (pOptions != nullptr && pOptions->OptionsSize != 0 && pOptions->OptionsData == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!ApplyOptions(Socket, pOptions)) return Fail(IP_BAD_OPTION);

    const bool bRaw = Socket.eKind == comrt::IcmpSocketKind::Raw;
    // Reports about earlier requests that were no longer waited for must not be taken for this one's.
    bool bQueueEmpty = false;
    if (!bRaw)
        while (!bQueueEmpty) MatchDatagramError(Socket.nFd, 0, &bQueueEmpty);

    const WORD nSequence = ++Socket.nSequence;
    std::vector<BYTE> Request(ICMP_HEADER_SIZE + nRequestSize);
    Request[0] = ICMP_TYPE_ECHO;
    WriteWord(&Request[4], Socket.nIdentifier);  // a datagram socket's kernel puts its own identifier here
    WriteWord(&Request[6], nSequence);
    if (nRequestSize != 0) std::memcpy(&Request[ICMP_HEADER_SIZE], pRequestData, nRequestSize);
    WriteWord(&Request[2], InternetChecksum(Request.data(), Request.size()));

    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = nDestination;
    const Clock::time_point Start = Clock::now();
    if (sendto(Socket.nFd, Request.data(), Request.size(), 0, reinterpret_cast<const sockaddr*>(&Address),
               sizeof Address) < 0)
        return Fail(StatusOfSendError(errno));
    if (!bRaw && Socket.nIdentifier == 0) {
        // The kernel bound the socket to an identifier at the first send.
        sockaddr_in Bound{};
        socklen_t nBoundSize = sizeof Bound;
        if (getsockname(Socket.nFd, reinterpret_cast<sockaddr*>(&Bound), &nBoundSize) == 0)
            Socket.nIdentifier = ntohs(Bound.sin_port);
    }

    const Clock::time_point Deadline = Start + std::chrono::milliseconds(nTimeout);
    std::vector<BYTE> Packet(65536);
    for (;;) {
        const Clock::time_point Now = Clock::now();
        if (Now >= Deadline) return Fail(IP_REQ_TIMED_OUT);
        // Rounded up, so the wait never ends before the time-out.
        const auto nRemaining = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Now).count();
        pollfd Poll{Socket.nFd, POLLIN, 0};
        const int nReady = poll(&Poll, 1, static_cast<int>(nRemaining));
        if (nReady < 0 && errno != EINTR) return Fail(IP_GENERAL_FAILURE);
        if (nReady <= 0) continue;

        CMatch Match;
        if (!bRaw && (Poll.revents & POLLERR) != 0) {
            Match = MatchDatagramError(Socket.nFd, nSequence, &bQueueEmpty);
            if (bQueueEmpty) ClearPendingError(Socket.nFd);
        } else if ((Poll.revents & POLLIN) == 0 && (Poll.revents & POLLERR) != 0) {
            // An error reported on the socket itself rather than as a message; the wait goes on.
            ClearPendingError(Socket.nFd);
            continue;
        } else if ((Poll.revents & POLLIN) != 0) {
            alignas(cmsghdr) BYTE Control[256];
            sockaddr_in Source{};
            iovec Vector{Packet.data(), Packet.size()};
            msghdr Message{};
            Message.msg_name = &Source;
            Message.msg_namelen = sizeof Source;
            Message.msg_iov = &Vector;
            Message.msg_iovlen = 1;
            Message.msg_control = Control;
            Message.msg_controllen = sizeof Control;
            const ssize_t nRead = recvmsg(Socket.nFd, &Message, MSG_DONTWAIT);
            if (nRead < 0) continue;
            if (bRaw) {
                Match = MatchRaw(Packet.data(), static_cast<std::size_t>(nRead), nDestination, Socket.nIdentifier,
                                 nSequence);
            } else {
                BYTE nTtl = 0;
                for (cmsghdr* pHeader = CMSG_FIRSTHDR(&Message); pHeader != nullptr;
                     pHeader = CMSG_NXTHDR(&Message, pHeader)) {
                    if (pHeader->cmsg_level == SOL_IP && pHeader->cmsg_type == IP_TTL) {
                        int nValue = 0;
                        std::memcpy(&nValue, CMSG_DATA(pHeader), sizeof nValue);
                        nTtl = static_cast<BYTE>(nValue);
                    }
                }
                Match = MatchDatagram(Packet.data(), static_cast<std::size_t>(nRead), Source.sin_addr.s_addr, nTtl,
                                      nSequence);
            }
        } else {
            // Hang-up or an error without queue entry: nothing more will come on this socket.
            return Fail(IP_GENERAL_FAILURE);
        }
        if (!Match.bMatched) continue;

        ICMP_ECHO_REPLY Reply{};
        Reply.Address = Match.nAddress;
        Reply.Status = Match.nStatus;
        Reply.RoundTripTime =
            static_cast<ULONG>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count());
        BYTE* pData = pReplyBuffer + sizeof(ICMP_ECHO_REPLY);
        const std::size_t nRoom = nReplySize - sizeof(ICMP_ECHO_REPLY);
        const std::size_t nDataSize = std::min({Match.nDataSize, nRoom, static_cast<std::size_t>(0xFFFF)});
        if (nDataSize != 0) std::memcpy(pData, Match.pData, nDataSize);
        Reply.DataSize = static_cast<USHORT>(nDataSize);
        Reply.Data = pData;
        Reply.Options.Ttl = Match.nTtl;
        std::memcpy(pReplyBuffer, &Reply, sizeof Reply);
        if (Match.nStatus != IP_SUCCESS) SetLastError(Match.nStatus);
        return 1;
    }
}

}  // namespace

HANDLE IcmpCreateFile() noexcept {
    try {
        auto pSocket = std::make_shared<CIcmpSocket>();
        pSocket->nFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (pSocket->nFd >= 0) {
            pSocket->eKind = comrt::IcmpSocketKind::Datagram;
            const int nOn = 1;
            if (setsockopt(pSocket->nFd, SOL_IP, IP_RECVERR, &nOn, sizeof nOn) != 0 ||
                setsockopt(pSocket->nFd, SOL_IP, IP_RECVTTL, &nOn, sizeof nOn) != 0) {
                SetLastError(ERROR_NOT_SUPPORTED);
                return INVALID_HANDLE_VALUE;
            }
        } else {
            const int nDatagramError = errno;
            pSocket->nFd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            if (pSocket->nFd < 0) {
                const int nRawError = errno;
                // Refused on both counts is a question of permission; otherwise report what the system lacked.
                SetLastError(IsPermissionError(nDatagramError) && IsPermissionError(nRawError)
                                 ? ERROR_ACCESS_DENIED
                                 : comrt::Win32ErrorFromErrno(IsPermissionError(nRawError) ? nDatagramError : nRawError,
                                                              ERROR_NOT_ENOUGH_MEMORY));
                return INVALID_HANDLE_VALUE;
            }
            pSocket->eKind = comrt::IcmpSocketKind::Raw;
            pSocket->nIdentifier = NextRawIdentifier();
            // Only echo replies and error reports: a busy host's other ICMP traffic is not even read.
            const IcmpTypeFilter Filter{~((1u << ICMP_TYPE_ECHO_REPLY) | (1u << ICMP_TYPE_DEST_UNREACH) |
                                          (1u << ICMP_TYPE_SOURCE_QUENCH) | (1u << ICMP_TYPE_TIME_EXCEEDED) |
                                          (1u << ICMP_TYPE_PARAMETER_PROBLEM))};
            setsockopt(pSocket->nFd, SOL_RAW, ICMP_FILTER_OPTION, &Filter, sizeof Filter);  // a speed-up only
        }
        pSocket->nSequence = static_cast<WORD>(Clock::now().time_since_epoch().count());
        return Handles().Add(std::move(pSocket));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL IcmpCloseHandle(HANDLE IcmpHandle) noexcept {
    if (!Handles().Remove(IcmpHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD IcmpSendEcho(HANDLE IcmpHandle, IPAddr DestinationAddress, void* RequestData, WORD RequestSize,
                   PIP_OPTION_INFORMATION RequestOptions, void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) noexcept {
    try {
        const std::shared_ptr<CIcmpSocket> pSocket = Handles().Find(IcmpHandle);
        if (!pSocket) return Fail(ERROR_INVALID_HANDLE);
        if (ReplyBuffer == nullptr || ReplySize < sizeof(ICMP_ECHO_REPLY) ||
            (RequestData == nullptr && RequestSize != 0))
            return Fail(ERROR_INVALID_PARAMETER);
        // Room for the reply, the echoed data and the eight bytes an error report quotes, as the header promises.
        if (ReplySize < sizeof(ICMP_ECHO_REPLY) + RequestSize + 8) return Fail(IP_BUF_TOO_SMALL);
        std::lock_guard Guard(pSocket->Lock);
        return SendEcho(*pSocket, DestinationAddress, RequestData, RequestSize, RequestOptions,
                        static_cast<BYTE*>(ReplyBuffer), ReplySize, Timeout);
    } catch (...) {
        return Fail(IP_NO_RESOURCES);
    }
}

namespace comrt {

bool GetIcmpSocketKind(HANDLE IcmpHandle, IcmpSocketKind* pKind) noexcept {
    const std::shared_ptr<CIcmpSocket> pSocket = Handles().Find(IcmpHandle);
    if (!pSocket || pKind == nullptr) {
        SetLastError(pSocket ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return false;
    }
    *pKind = pSocket->eKind;
    return true;
}

}  // namespace comrt
