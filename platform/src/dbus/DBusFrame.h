// Messages as they travel on a bus connection's byte stream: where one ends, and the few header fields that
// the relay in front of the bus library looks at (DBusRelay.h). A pure reader over bytes, fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace comrt::dbus {

// The longest message the bus library accepts; a stream that announces a longer one cannot be followed.
inline constexpr std::size_t kMaxBusMessageSize = 128u * 1024u * 1024u;
// The fixed part of every message header: byte order, type, flags, version, body length, serial and the
// length of the header fields' array.
inline constexpr std::size_t kBusHeaderSize = 16;

inline constexpr uint8_t kBusMethodCall = 1;
inline constexpr uint8_t kBusMethodError = 3;
inline constexpr uint8_t kBusNoReplyExpected = 0x1;

struct BusFrame {
    std::size_t nSize = 0;  // the whole message: fixed header, fields, padding and body
    uint8_t nType = 0;
    uint8_t nFlags = 0;
    uint32_t nSerial = 0;
    uint32_t nUnixFds = 0;        // descriptors sent with the message (UNIX_FDS)
    std::size_t nPathLength = 0;  // bytes of the PATH field, 0 without one
    std::string sSender;          // the SENDER field the bus fills in, empty without one
    // False when a header field could not be read: the fields above may then miss values. The library
    // refuses such a message itself.
    bool bFieldsRead = false;
};

enum class FrameResult {
    Incomplete,  // fewer bytes than the message has arrived so far
    Complete,    // *pFrame describes the message at the head of the bytes
    Malformed,   // the bytes cannot begin a message: the stream cannot be followed any further
};

// The message at the head of the n bytes at p.
FrameResult ReadFrame(const uint8_t* p, std::size_t n, BusFrame* pFrame);

// An error message (little-endian) answering the call described by call, with its own serial nSerial, the
// error's name and a text as its one string argument.
std::string MakeErrorReply(const BusFrame& call, uint32_t nSerial, std::string_view sName, std::string_view sText);

// What a caller is told of a path longer than nLimit bytes.
std::string OverlongPathText(std::size_t nLength, std::size_t nLimit);

}  // namespace comrt::dbus
