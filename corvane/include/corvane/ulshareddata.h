// Shared data of a running application: a small record in named shared memory, a lock that serialises
// every process touching it, and a change signal readers may wait on. Creating the objects is also the
// guard against a second running instance of the same user.
//
//   CApplicationDataMapping Mapping;
//   bool bExisted = false;
//   Mapping.Initialize(u"Corvane.HarkwellServer.Application", &bExisted);   // returns holding the lock
//   if (bExisted) corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING));
//   {
//       CApplicationDataMapping::CAccessor Accessor(Mapping, true);       // adopts the lock, releases it
//       Accessor.GetData()->bApplicationMode = TRUE;
//   }
//   ...
//   Mapping.Terminate();
//
// Objects. The three names are the base name followed by ".LockMutex", ".FileMapping" and ".ChangeEvent",
// named kernel objects of comrt/sync.h. Their names are per user (each is the POSIX shared memory object
// /dev/shm/Corvane.HarkwellServer.Application.LockMutex.1000, the last part the effective user identifier):
// the system service (root) and a user's own instance never meet. Objects of the name owned by another user
// are refused (ERROR_ACCESS_DENIED) rather than used.
//
//   lock           a named mutex (recursive); mode 0666: any local user may take it to read the record
//                  consistently. A holder that dies leaves it abandoned: the next waiter writes "Mutex was
//                  abandoned by the previous owner, nWaitResult 128" and owns it.
//   data           a named file mapping of 4096 bytes; the record at offset 0, the rest zero; mode 0644: only
//                  the owner writes.
//   change signal  a named manual-reset event, not signalled when created; mode 0644: others may wait on it.
//                  Nothing in the system sets it.
//
// The modes are set when the objects are made or taken over, whatever the umask. The change signal also
// keeps the identity of the process that made it (identifier and start time), so that identity cannot be
// changed by other users.
//
// Left-over objects. Named objects outlive a process that ends without Terminate. Initialize therefore
// treats existing objects whose creator (the process identifier at offset 8, together with the start time
// the change signal keeps) no longer runs as new: it writes "Shared data \"%s\" was left by process %u,
// which no longer runs; taking it over", makes the change signal anew and initialises the record as if it
// had made the objects (existed is false). While the creator runs, the objects count as existing, even when
// the lock was abandoned by another process (that only means a reader died holding it). The data object
// and the change signal are made, opened, taken over and removed only by the holder of the lock, so two
// processes never both make or take over the same objects.
//
// The process that made (or took over) the objects removes their names in Terminate, when they still name
// its objects; a process that opened existing objects, or a child that inherited the mapping object, only
// closes them.
//
// Waits for the lock are bounded by 2000 ms on the monotonic clock (Initialize counts making or opening
// the lock into the same 2000 ms). Failures are raised as HRESULTs (Win32 errors as 0x8007nnnn) after the
// trace line "Exception 0x%08x".
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "comrt/sync.h"
#include "comrt/types.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"

namespace corvane {

namespace SharedDataText {
// Level 2: Terminate could not get the lock in time (the base name).
inline constexpr char TerminationSkipped[] =
    "Data accessor could not acquire access to mapping \"%s\", data termination skipped\n";
// Level 2: the lock was abandoned by a process or thread that ended holding it (the wait result, 128).
inline constexpr char MutexAbandoned[] = "Mutex was abandoned by the previous owner, nWaitResult %d\n";
// Level 2: objects left by a process that no longer runs are taken over (base name, process identifier).
inline constexpr char TakenOver[] = "Shared data \"%s\" was left by process %u, which no longer runs; taking it over\n";
// Level 2: an object could not be given its mode (base name, suffix, mode, the system's text of the error).
inline constexpr char ModeNotSet[] = "Shared data \"%s%s\" could not be given mode %03o: %s\n";
// Level 2: the wait for the change signal failed (base name, the system's text of the error).
inline constexpr char WaitFailed[] = "Waiting for a change of shared data \"%s\" failed: %s\n";
}  // namespace SharedDataText

// The part of the shared data mapping that does not depend on the record type: the three objects, the lock
// protocol and the change signal.
class CSharedDataObjects {
public:
    // The size of the data object and of its view.
    static constexpr std::size_t MAPPING_SIZE = 4096;
    // How long Initialize, Terminate and an accessor wait for the lock.
    static constexpr DWORD LOCK_TIMEOUT = 2000;
    // The suffixes of the three names.
    static constexpr char LOCK_SUFFIX[] = ".LockMutex";
    static constexpr char MAPPING_SUFFIX[] = ".FileMapping";
    static constexpr char CHANGE_SUFFIX[] = ".ChangeEvent";
    // The modes the objects get.
    static constexpr unsigned LOCK_MODE = 0666;
    static constexpr unsigned MAPPING_MODE = 0644;
    static constexpr unsigned CHANGE_MODE = 0644;

    CSharedDataObjects() noexcept = default;
    CSharedDataObjects(const CSharedDataObjects&) = delete;
    CSharedDataObjects& operator=(const CSharedDataObjects&) = delete;
    // Closes whatever is still open, without waiting for the lock and without removing names.
    ~CSharedDataObjects();

    // The system's name of one object: "/" + base name + suffix + "." + effective user identifier.
    static std::string GetObjectName(const std::string& sBaseName, const char* pszSuffix);
    // The kernel object name of one object: base name + suffix.
    static std::u16string GetKernelObjectName(const std::string& sBaseName, const char* pszSuffix);

    // Creates or opens the objects named after pszName (UTF-16). nRecordSize bytes (at least 12) are the
    // record: a new mapping is zeroed and gets nRecordSize, MAPPING_SIZE and the process identifier at
    // offsets 0, 4 and 8. Returns holding the lock. E_POINTER for a null name, E_INVALIDARG for an empty
    // one or one holding '/', 0x800705B4 when the lock stays taken for 2000 ms, ERROR_ACCESS_DENIED for
    // objects of another user, the system error otherwise. Raises E_UNEXPECTED when already initialised.
    void Initialize(const char16_t* pszName, std::size_t nRecordSize, bool* pbExisted);
    // See CSharedDataMappingT::Terminate.
    bool Terminate();
    bool IsInitialized() const noexcept { return m_hMutex != nullptr; }

    // Waits up to nTimeout milliseconds (INFINITE: no limit) for the lock. True when acquired, also after an
    // abandoned lock (written to the trace and made consistent); false with last error ERROR_TIMEOUT when
    // the time ran out. Raises other failures (E_HANDLE when not initialised). The lock is recursive: a
    // thread holding it gets it again at once.
    bool WaitMutex(DWORD nTimeout);
    // Releases one hold of the lock taken through this object by the calling thread; false with last error
    // ERROR_NOT_OWNER (288) when it holds none.
    bool ReleaseMutex() noexcept;

    // The view of the data object; nullptr when not initialised.
    void* GetView() const noexcept { return m_pView; }
    // The base name (UTF-8); empty when not initialised.
    const std::string& GetBaseName() const noexcept { return m_sBaseName; }
    // Whether this object made (or took over) the objects, and so removes their names in Terminate.
    bool IsCreator() const noexcept { return m_bCreator; }

    // The change signal: Set signals it and wakes every waiter, Reset clears it; false with ERROR_ACCESS_DENIED
    // for a view opened read-only, E_HANDLE's error when not initialised.
    bool SetChangeEvent() noexcept;
    bool ResetChangeEvent() noexcept;
    // WAIT_OBJECT_0 once the signal is set, WAIT_TIMEOUT after nTimeout milliseconds (INFINITE: no limit),
    // WAIT_FAILED (last error ERROR_INVALID_HANDLE) when not initialised.
    DWORD WaitChangeEvent(DWORD nTimeout) noexcept;

    // Whether process nProcess, started at nStartTime (clock ticks after boot, as /proc/<pid>/stat field 22
    // tells; 0: unknown), still runs. A zombie no longer runs.
    static bool ProcessRuns(DWORD nProcess, std::uint64_t nStartTime) noexcept;
    // The start time of process nProcess; 0 when it cannot be read.
    static std::uint64_t GetProcessStartTime(DWORD nProcess) noexcept;

private:
    void CloseAll() noexcept;
    void RemoveNames() noexcept;
    // Gives an object its mode; on failure writes the trace line, removes the object's name when bCreated
    // (this run made it) and raises the error.
    void SetMode(HANDLE hObject, bool bCreated, unsigned nMode, const char* pszSuffix);

    std::string m_sBaseName;
    HANDLE m_hMutex = nullptr;
    HANDLE m_hMapping = nullptr;
    HANDLE m_hChange = nullptr;
    void* m_pView = nullptr;
    bool m_bCreator = false;
    DWORD m_nCreatorProcess = 0;
    // The holds of the lock taken through this object and not yet released, per thread (the lock belongs
    // to a thread; a thread that ended holding it leaves an entry nobody uses again).
    void AddHold();
    bool RemoveHold() noexcept;
    int TakeHolds() noexcept;
    std::mutex m_HoldsLock;
    std::vector<std::pair<DWORD, int>> m_Holds;
};

}  // namespace corvane

// The shared data mapping for the record type TData (trivially copyable, at least the three 32-bit fields
// Initialize writes, at most 4096 bytes). T is the derived class.
template <class T, class TData>
class CSharedDataMappingT {
    static_assert(std::endian::native == std::endian::little, "the record is little-endian");
    static_assert(std::is_trivially_copyable_v<TData>, "the record lives in shared memory");
    static_assert(sizeof(TData) >= 12 && sizeof(TData) <= corvane::CSharedDataObjects::MAPPING_SIZE,
                  "the record holds its size, the mapping size and the process identifier, within the mapping");

public:
    CSharedDataMappingT() noexcept = default;
    CSharedDataMappingT(const CSharedDataMappingT&) = delete;
    CSharedDataMappingT& operator=(const CSharedDataMappingT&) = delete;
    ~CSharedDataMappingT() {
        bool bTerminated = false;
        UL_CATCH_ALL_BEGIN
        bTerminated = Terminate();
        UL_CATCH_ALL_END
        UL_ASSERT(bTerminated);
    }

    // Creates or opens the three objects named after pszName; on success the caller holds the lock.
    // *pbExisted tells whether a live instance's objects existed already. Raises failures (HRESULT) after
    // "Exception 0x%08x\n".
    void Initialize(const char16_t* pszName, bool* pbExisted = nullptr) {
        m_Objects.Initialize(pszName, sizeof(TData), pbExisted);
    }
    // Releases everything: waits at most 2000 ms for the lock (traces and goes on when it cannot get it),
    // releases every hold the calling thread took through this object (Initialize's included), removes the
    // names when this process made the objects, unmaps and closes; raises a failure to unmap or close. Does
    // nothing when not initialised. True when it completed. Not to be called while other threads use the
    // object; accessors of several threads on one object are fine otherwise.
    bool Terminate() { return m_Objects.Terminate(); }
    bool IsInitialized() const noexcept { return m_Objects.IsInitialized(); }

    // Waits for the lock: true when acquired (also after an abandoned lock, with a trace line); false with
    // last error ERROR_TIMEOUT when nTimeout ran out; other failures are raised.
    bool WaitMutex(DWORD nTimeout) { return m_Objects.WaitMutex(nTimeout); }
    bool ReleaseMutex() noexcept { return m_Objects.ReleaseMutex(); }

    // The change signal (nothing in the system sets it; readers may wait on it).
    bool SetChangeEvent() noexcept { return m_Objects.SetChangeEvent(); }
    bool ResetChangeEvent() noexcept { return m_Objects.ResetChangeEvent(); }
    DWORD WaitChangeEvent(DWORD nTimeout) noexcept { return m_Objects.WaitChangeEvent(nTimeout); }

    const std::string& GetBaseName() const noexcept { return m_Objects.GetBaseName(); }
    corvane::CSharedDataObjects& GetObjects() noexcept { return m_Objects; }

    // A scoped holder of the lock.
    class CAccessor {
    public:
        // bAcquired: the lock is held already (as after Initialize); false: waits for it for 2000 ms and
        // raises 0x800705B4 (ERROR_TIMEOUT) when it cannot get it. bRelease: release it when destroyed.
        CAccessor(CSharedDataMappingT& Mapping, bool bAcquired, bool bRelease = true)
            : m_Mapping(Mapping), m_bAcquired(bAcquired), m_bRelease(bRelease) {
            if (!m_bAcquired) {
                if (!m_Mapping.WaitMutex(corvane::CSharedDataObjects::LOCK_TIMEOUT))
                    corvane::ThrowHResult(HRESULT_FROM_WIN32(::GetLastError()));
                m_bAcquired = true;
            }
        }
        CAccessor(const CAccessor&) = delete;
        CAccessor& operator=(const CAccessor&) = delete;
        ~CAccessor() {
            if (m_bAcquired && m_bRelease) UL_ASSERT(m_Mapping.ReleaseMutex());
            m_bAcquired = false;
        }

        TData* GetData() {
            UL_ASSERT(m_bAcquired);
            return static_cast<TData*>(m_Mapping.m_Objects.GetView());
        }

    private:
        CSharedDataMappingT& m_Mapping;
        bool m_bAcquired;
        bool m_bRelease;
    };

protected:
    corvane::CSharedDataObjects m_Objects;
};
