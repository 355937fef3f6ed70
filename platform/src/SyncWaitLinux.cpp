// WaitForSingleObject and WaitForMultipleObjects over poll.
//
// A wait decides under each object's lock whether the object satisfies it, and sleeps in ppoll on the
// objects' descriptors otherwise. Waking up only means "look again": the decision is always made under the
// lock, so two threads waiting for one auto-reset event cannot both take its signal. A wait for all objects
// locks all of them (in address order, so two such waits cannot deadlock) and takes them together. Named
// mutexes and events, shared with other processes, have no descriptor: a wait for one of them alone is the
// object's own (in the kernel), and a wait among other objects looks at them again every millisecond.
#include <errno.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <array>

#include "SyncObjects.h"

using namespace comrt::internal;

namespace {

using ObjectArray = std::array<std::shared_ptr<CWaitableObject>, MAXIMUM_WAIT_OBJECTS>;

constexpr long NANOSECONDS_PER_SECOND = 1000000000L;

timespec Now() noexcept {
    timespec Time{};
    clock_gettime(CLOCK_MONOTONIC, &Time);
    return Time;
}

timespec AddMilliseconds(timespec Time, DWORD nMilliseconds) noexcept {
    Time.tv_sec += static_cast<time_t>(nMilliseconds / 1000);
    Time.tv_nsec += static_cast<long>(nMilliseconds % 1000) * 1000000L;
    if (Time.tv_nsec >= NANOSECONDS_PER_SECOND) {
        Time.tv_nsec -= NANOSECONDS_PER_SECOND;
        ++Time.tv_sec;
    }
    return Time;
}

// The time from now until Deadline; false when the deadline has been reached.
bool Remaining(const timespec& Deadline, timespec& Left) noexcept {
    const timespec Time = Now();
    Left.tv_sec = Deadline.tv_sec - Time.tv_sec;
    Left.tv_nsec = Deadline.tv_nsec - Time.tv_nsec;
    if (Left.tv_nsec < 0) {
        Left.tv_nsec += NANOSECONDS_PER_SECOND;
        --Left.tv_sec;
    }
    return Left.tv_sec > 0 || (Left.tv_sec == 0 && Left.tv_nsec > 0);
}

// The lowest index whose object is signalled, its signal taken; -1 when none is. With bAnnounce, the wait is
// announced on each object found not signalled (marked in pbAnnounced), under that object's lock.
// *pbAbandoned tells whether the object taken was a mutex whose holder had ended.
int TakeAny(const ObjectArray& Objects, DWORD nCount, bool bAnnounce, bool* pbAnnounced, bool* pbAbandoned) noexcept {
    for (DWORD i = 0; i < nCount; ++i) {
        CWaitableObject& Object = *Objects[i];
        std::lock_guard Guard(Object.Lock());
        if (Object.IsSignaledLocked()) {
            Object.AcquireLocked();
            *pbAbandoned = Object.TakeAbandonedLocked();
            return static_cast<int>(i);
        }
        if (bAnnounce) {
            Object.AddPollerLocked();
            pbAnnounced[i] = true;
        }
    }
    return -1;
}

// Takes all objects when all are signalled together. Otherwise, with bAnnounce, announces the wait on the
// ones that are not (marked in pbAnnounced): only those are polled, the signalled ones would wake the poll
// at once.
bool TakeAll(const ObjectArray& Objects, DWORD nCount, bool bAnnounce, bool* pbAnnounced) noexcept {
    std::array<CWaitableObject*, MAXIMUM_WAIT_OBJECTS> Ordered{};
    for (DWORD i = 0; i < nCount; ++i) Ordered[i] = Objects[i].get();
    std::sort(Ordered.begin(), Ordered.begin() + nCount);
    for (DWORD i = 0; i < nCount; ++i) Ordered[i]->Lock().lock();
    bool bAll = true;
    for (DWORD i = 0; i < nCount; ++i) bAll = bAll && Objects[i]->IsSignaledLocked();
    if (bAll) {
        for (DWORD i = 0; i < nCount; ++i) Objects[i]->AcquireLocked();
    } else if (bAnnounce) {
        for (DWORD i = 0; i < nCount; ++i)
            if (!Objects[i]->IsSignaledLocked()) {
                Objects[i]->AddPollerLocked();
                pbAnnounced[i] = true;
            }
    }
    for (DWORD i = nCount; i-- > 0;) Ordered[i]->Lock().unlock();
    return bAll;
}

// Withdraws the announcements TakeAny or TakeAll made.
void Withdraw(const ObjectArray& Objects, DWORD nCount, const bool* pbAnnounced) noexcept {
    for (DWORD i = 0; i < nCount; ++i) {
        if (!pbAnnounced[i]) continue;
        std::lock_guard Guard(Objects[i]->Lock());
        Objects[i]->RemovePollerLocked();
    }
}

}  // namespace

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) noexcept {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) noexcept {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    ObjectArray Objects;
    for (DWORD i = 0; i < nCount; ++i) {
        Objects[i] = LookupHandleOf<CWaitableObject>(lpHandles[i]);
        if (!Objects[i]) return WAIT_FAILED;
    }
    bool bPolled = false;
    for (DWORD i = 0; i < nCount; ++i) bPolled = bPolled || Objects[i]->IsPolled();
    if (bWaitAll && bPolled) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    if (nCount == 1) {
        DWORD dwResult = WAIT_FAILED;
        if (Objects[0]->WaitAlone(dwMilliseconds, &dwResult)) return dwResult;
    }
    if (bWaitAll) {
        for (DWORD i = 0; i < nCount; ++i)
            for (DWORD j = i + 1; j < nCount; ++j)
                if (Objects[i] == Objects[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }

    const bool bInfinite = dwMilliseconds == INFINITE;
    const timespec Deadline = AddMilliseconds(Now(), bInfinite ? 0 : dwMilliseconds);
    std::array<pollfd, MAXIMUM_WAIT_OBJECTS> Descriptors{};
    std::array<bool, MAXIMUM_WAIT_OBJECTS> Announced{};
    for (;;) {
        timespec Left{};
        // A wait that cannot sleep any more only looks; it announces nothing.
        const bool bCanWait = bInfinite || Remaining(Deadline, Left);
        Announced.fill(false);
        if (bWaitAll) {
            if (TakeAll(Objects, nCount, bCanWait, Announced.data())) return WAIT_OBJECT_0;
        } else {
            bool bAbandoned = false;
            const int iTaken = TakeAny(Objects, nCount, bCanWait, Announced.data(), &bAbandoned);
            if (iTaken >= 0) {
                Withdraw(Objects, nCount, Announced.data());
                return (bAbandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + static_cast<DWORD>(iTaken);
            }
        }
        if (!bCanWait) return WAIT_TIMEOUT;

        nfds_t nDescriptors = 0;
        for (DWORD i = 0; i < nCount; ++i)
            if (Announced[i]) Descriptors[nDescriptors++] = Objects[i]->GetPollDescriptor();
        if (!bInfinite && !Remaining(Deadline, Left)) {
            Withdraw(Objects, nCount, Announced.data());
            return WAIT_TIMEOUT;
        }
        // Objects of other processes are looked at again after a millisecond at most.
        const timespec POLL_INTERVAL{0, 1000000L};
        const timespec* pTimeout = bInfinite ? nullptr : &Left;
        if (bPolled && (pTimeout == nullptr || Left.tv_sec > 0 || Left.tv_nsec > POLL_INTERVAL.tv_nsec))
            pTimeout = &POLL_INTERVAL;
        const int nReady = ppoll(Descriptors.data(), nDescriptors, pTimeout, nullptr);
        const int nError = errno;
        Withdraw(Objects, nCount, Announced.data());
        if (nReady < 0 && nError != EINTR) {
            SetLastError(comrt::Win32ErrorFromErrno(nError));
            return WAIT_FAILED;
        }
    }
}
