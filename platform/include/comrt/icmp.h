// ICMP echo in the shape of the helper calls the ping activity makes: open a handle, send one echo request
// and wait for its reply, close the handle.
//
//   HANDLE hIcmp = IcmpCreateFile();                     // INVALID_HANDLE_VALUE on failure, see GetLastError
//   IP_OPTION_INFORMATION Options{255, 0, 0, 0, nullptr};
//   BYTE Reply[1052];
//   DWORD nReplies = IcmpSendEcho(hIcmp, inet_addr("127.0.0.1"), nullptr, 0, &Options, Reply, 1024, 1000);
//   bool bAnswered = nReplies > 0 && reinterpret_cast<ICMP_ECHO_REPLY*>(Reply)->Status == IP_SUCCESS;
//   IcmpCloseHandle(hIcmp);
//
// A handle owns one ICMP socket: a datagram ICMP socket (SOCK_DGRAM, IPPROTO_ICMP) when the kernel lets the
// process's group use them (net.ipv4.ping_group_range), else a raw ICMP socket (root or CAP_NET_RAW). When
// neither can be opened, IcmpCreateFile fails with ERROR_ACCESS_DENIED: the caller then knows that no probe
// can ever succeed, rather than seeing each one time out.
//
// Replies are matched to their request by identifier and sequence number (and, for a raw socket, by the
// address they come from), so several handles and other programs' pings on the same machine do not mix.
// The wait for a reply is bounded by the time-out, whatever arrives meanwhile.
//
// Handles are checked: one that was never made or has been closed gives ERROR_INVALID_HANDLE, never a
// crash. Failures set the calling thread's last error (GetLastError).
#pragma once

#include "comrt/sync.h"
#include "comrt/types.h"

// An IPv4 address in network byte order, as inet_addr returns it.
using IPAddr = ULONG;

// Options of the request, and those the reply arrived with.
struct IP_OPTION_INFORMATION {
    BYTE Ttl;          // time-to-live; 0: the system's default
    BYTE Tos;          // type of service
    BYTE Flags;        // IP_FLAG_DF: do not fragment
    BYTE OptionsSize;  // bytes of IP options at OptionsData (at most 40)
    BYTE* OptionsData;
};
using PIP_OPTION_INFORMATION = IP_OPTION_INFORMATION*;
constexpr BYTE IP_FLAG_DF = 0x2;

// One reply, written at the start of the caller's reply buffer; the echoed data follows it in the buffer.
struct ICMP_ECHO_REPLY {
    IPAddr Address;       // who answered: the host, or the router that reported an error
    ULONG Status;         // IP_SUCCESS for an echo reply, else the IP_* code of the error report
    ULONG RoundTripTime;  // milliseconds
    USHORT DataSize;      // bytes of echoed data at Data
    USHORT Reserved;
    void* Data;                     // inside the reply buffer
    IP_OPTION_INFORMATION Options;  // Ttl: the reply's time-to-live; no IP options are reported
};
using PICMP_ECHO_REPLY = ICMP_ECHO_REPLY*;

// Reply states and last errors of IcmpSendEcho.
constexpr ULONG IP_SUCCESS = 0;
constexpr ULONG IP_BUF_TOO_SMALL = 11001;
constexpr ULONG IP_DEST_NET_UNREACHABLE = 11002;
constexpr ULONG IP_DEST_HOST_UNREACHABLE = 11003;
constexpr ULONG IP_DEST_PROT_UNREACHABLE = 11004;
constexpr ULONG IP_DEST_PORT_UNREACHABLE = 11005;
constexpr ULONG IP_NO_RESOURCES = 11006;
constexpr ULONG IP_BAD_OPTION = 11007;
constexpr ULONG IP_HW_ERROR = 11008;
constexpr ULONG IP_PACKET_TOO_BIG = 11009;
constexpr ULONG IP_REQ_TIMED_OUT = 11010;
constexpr ULONG IP_BAD_REQ = 11011;
constexpr ULONG IP_BAD_ROUTE = 11012;
constexpr ULONG IP_TTL_EXPIRED_TRANSIT = 11013;
constexpr ULONG IP_TTL_EXPIRED_REASSEM = 11014;
constexpr ULONG IP_PARAM_PROBLEM = 11015;
constexpr ULONG IP_SOURCE_QUENCH = 11016;
constexpr ULONG IP_OPTION_TOO_BIG = 11017;
constexpr ULONG IP_BAD_DESTINATION = 11018;
constexpr ULONG IP_GENERAL_FAILURE = 11050;

// Opens a handle with its socket. INVALID_HANDLE_VALUE on failure, with the last error ERROR_ACCESS_DENIED
// when the process may open neither kind of ICMP socket, ERROR_NOT_ENOUGH_MEMORY when the system has no
// memory or descriptors left, ERROR_NOT_SUPPORTED when it has no IPv4 ICMP sockets at all.
COMRT_API HANDLE IcmpCreateFile() noexcept;

// Closes a handle and its socket. FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
COMRT_API BOOL IcmpCloseHandle(HANDLE IcmpHandle) noexcept;

// Sends one echo request carrying RequestSize bytes of RequestData to DestinationAddress, with the
// time-to-live, type of service and don't-fragment flag of RequestOptions (nullptr: the system's
// defaults), and waits at most Timeout milliseconds for the answer to it.
//
// Answers the number of replies written to ReplyBuffer: 1 when the host answered (Status IP_SUCCESS) or a
// router or the host reported an error for this request (Status IP_DEST_HOST_UNREACHABLE,
// IP_TTL_EXPIRED_TRANSIT, ...; the last error is then set to that status too); 0 when nothing came back
// in time (last error IP_REQ_TIMED_OUT), when the request could not be sent (IP_DEST_NET_UNREACHABLE,
// IP_DEST_HOST_UNREACHABLE, IP_GENERAL_FAILURE, ...), for ERROR_INVALID_HANDLE, for ERROR_INVALID_PARAMETER
// (no reply buffer, one smaller than ICMP_ECHO_REPLY, or RequestData null with a non-zero RequestSize) and
// for IP_BUF_TOO_SMALL (ReplySize below sizeof(ICMP_ECHO_REPLY) + RequestSize + 8). Echoed data beyond
// ReplySize is cut.
//
// Calls on one handle are serialised; different handles may be used from different threads at once.
COMRT_API DWORD IcmpSendEcho(HANDLE IcmpHandle, IPAddr DestinationAddress, void* RequestData, WORD RequestSize,
                             PIP_OPTION_INFORMATION RequestOptions, void* ReplyBuffer, DWORD ReplySize,
                             DWORD Timeout) noexcept;

namespace comrt {

// Which kind of socket a handle uses.
enum class IcmpSocketKind { Datagram, Raw };
// The kind of socket of an open handle; false with ERROR_INVALID_HANDLE otherwise.
COMRT_API bool GetIcmpSocketKind(HANDLE IcmpHandle, IcmpSocketKind* pKind) noexcept;

}  // namespace comrt
