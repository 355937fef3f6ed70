// WaitForSingleObject and WaitForMultipleObjects over poll.
//
// A wait decides under each object's lock whether the object satisfies it, and sleeps in ppoll on the
// objects' descriptors otherwise. Waking up only means "look again": the decision is always made under the
// lock, so two threads waiting for one auto-reset event cannot both take its signal. A wait for all objects
// locks all of them (in address order, so two such waits cannot deadlock) and takes them together.
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

// The lowest index whose object is signalled, its signal taken; -1 when none is.
int TakeAny(const ObjectArray& Objects, DWORD nCount) noexcept {
    for (DWORD i = 0; i < nCount; ++i) {
        CWaitableObject& Object = *Objects[i];
        std::lock_guard Guard(Object.Lock());
        if (Object.IsSignaledLocked()) {
            Object.AcquireLocked();
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Takes all objects when all are signalled together. Otherwise marks the ones that are not in pbWaiting, so
// that only those are polled: the signalled ones would wake the poll at once.
bool TakeAll(const ObjectArray& Objects, DWORD nCount, bool* pbWaiting) noexcept {
    std::array<CWaitableObject*, MAXIMUM_WAIT_OBJECTS> Ordered{};
    for (DWORD i = 0; i < nCount; ++i) Ordered[i] = Objects[i].get();
    std::sort(Ordered.begin(), Ordered.begin() + nCount);
    for (DWORD i = 0; i < nCount; ++i) Ordered[i]->Lock().lock();
    bool bAll = true;
    for (DWORD i = 0; i < nCount; ++i) {
        pbWaiting[i] = !Objects[i]->IsSignaledLocked();
        bAll = bAll && !pbWaiting[i];
    }
    if (bAll)
        for (DWORD i = 0; i < nCount; ++i) Objects[i]->AcquireLocked();
    for (DWORD i = nCount; i-- > 0;) Ordered[i]->Lock().unlock();
    return bAll;
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
    std::array<bool, MAXIMUM_WAIT_OBJECTS> Waiting{};
    for (;;) {
        nfds_t nDescriptors = 0;
        if (bWaitAll) {
            if (TakeAll(Objects, nCount, Waiting.data())) return WAIT_OBJECT_0;
            for (DWORD i = 0; i < nCount; ++i)
                if (Waiting[i]) Descriptors[nDescriptors++] = Objects[i]->GetPollDescriptor();
        } else {
            const int iTaken = TakeAny(Objects, nCount);
            if (iTaken >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(iTaken);
            for (DWORD i = 0; i < nCount; ++i) Descriptors[nDescriptors++] = Objects[i]->GetPollDescriptor();
        }

        timespec Left{};
        if (!bInfinite && !Remaining(Deadline, Left)) return WAIT_TIMEOUT;
        const int nReady = ppoll(Descriptors.data(), nDescriptors, bInfinite ? nullptr : &Left, nullptr);
        if (nReady < 0 && errno != EINTR) {
            SetLastError(Win32ErrorFromErrno(errno));
            return WAIT_FAILED;
        }
    }
}
