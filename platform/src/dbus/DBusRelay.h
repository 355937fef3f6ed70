// A reader in front of the bus library. The library drops a message whose object path is longer than it takes
// (64 KiB) before any handler of ours sees it, so the caller of such a call would wait for its time-out. The
// relay stands between the connection's socket and the library: it carries the byte stream and the
// descriptors sent with it both ways, message by message, and answers a call on a path over the bridge's
// own limit with an error itself, never handing it on.
//
// It runs on a thread of its own, so that a call made on any thread (a blocking one on the event loop's
// thread included) sees a socket that behaves as before, only one hand-over later.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace comrt::dbus {

class CBusRelay {
public:
    // Puts a relay in front of the connection whose socket the library holds as nSocket. The library must
    // stand between two messages in both directions (everything it had to send written, no part of a
    // message read), as it does after a blocking call returned and its output was flushed. Afterwards
    // nSocket refers to one end of a socket pair, and the relay carries the other end to the bus and back.
    // Calls on paths longer than nMaxPathLength get the error sErrorName with OverlongPathText.
    // Null when the pair or the thread cannot be made; the connection then works on without a relay.
    static std::unique_ptr<CBusRelay> Insert(int nSocket, std::size_t nMaxPathLength, std::string sErrorName);

    // Ends the relay's thread. The library's connection should be closed first: what it wrote last is
    // carried to the bus before the thread sees the end of its socket.
    ~CBusRelay();
    CBusRelay(const CBusRelay&) = delete;
    CBusRelay& operator=(const CBusRelay&) = delete;

    // Calls answered by the relay so far.
    std::size_t RefusedCount() const { return m_nRefused.load(); }

private:
    CBusRelay(int nBus, int nLibrary, int nWake, std::size_t nMaxPathLength, std::string sErrorName);
    void Main();

    int m_nBus;      // the connection's own socket
    int m_nLibrary;  // our end of the pair whose other end the library holds
    int m_nWake;     // an eventfd that asks the thread to end
    std::size_t m_nMaxPathLength;
    std::string m_sErrorName;
    std::atomic<std::size_t> m_nRefused{0};
    std::thread m_Thread;
};

}  // namespace comrt::dbus
