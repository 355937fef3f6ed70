// The shared data mapping: the record's bytes and the objects' modes, a second instance in another process,
// abandoned locks, objects left by a creator that crashed, Terminate while another process holds the lock,
// the change signal, and bad input. Every test uses names of its own and removes them when it ends.
#include "corvane/ulshareddata.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "comrt/text.h"
#include "tracelog.h"

// This program's fchmod: fails with EPERM while g_bFailFchmod is set, as it does on objects another user
// owns; otherwise the system call itself. It and syscall below are exported (see corvane/CMakeLists.txt), so
// that the runtime library's calls reach them.
bool g_bFailFchmod = false;
extern "C" __attribute__((visibility("default"))) int fchmod(int nFd, mode_t nMode) {
    if (g_bFailFchmod) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fchmod, nFd, nMode));
}

// This program's syscall: a futex wait fails with g_nFutexWaitError while it is not 0, as it does for a word
// or a time the kernel refuses; every other call goes to the system's. The callers here pass at most six
// arguments, all of register size, and all six are passed on.
int g_nFutexWaitError = 0;
extern "C" __attribute__((visibility("default"))) long syscall(long nNumber, ...) {
    long pnArguments[6];
    va_list Arguments;
    va_start(Arguments, nNumber);
    for (long& nArgument : pnArguments) nArgument = va_arg(Arguments, long);
    va_end(Arguments);
    if (nNumber == SYS_futex && g_nFutexWaitError != 0 &&
        (static_cast<int>(pnArguments[1]) & FUTEX_CMD_MASK) == FUTEX_WAIT_BITSET) {
        errno = g_nFutexWaitError;
        return -1;
    }
    static const auto pfnSystemCall = reinterpret_cast<long (*)(long, ...)>(dlsym(RTLD_NEXT, "syscall"));
    return pfnSystemCall(nNumber, pnArguments[0], pnArguments[1], pnArguments[2], pnArguments[3], pnArguments[4],
                         pnArguments[5]);
}

namespace {

struct TestRecord {
    std::uint32_t nSize;
    std::uint32_t nMappingSize;
    std::uint32_t nProcessIdentifier;
    std::uint32_t bApplicationMode;
    std::uint32_t nNotifyIconWindow;
};

class CTestMapping : public CSharedDataMappingT<CTestMapping, TestRecord> {};

using corvane::CSharedDataObjects;

constexpr HRESULT TIMEOUT_RESULT = static_cast<HRESULT>(0x800705B4);
constexpr char ABANDONED_LINE[] = "Mutex was abandoned by the previous owner, nWaitResult 128";

// Exit codes of child processes.
constexpr int CHILD_OK = 0;
constexpr int CHILD_WRONG = 1;
constexpr int CHILD_THREW = 2;

HRESULT ResultOf(const std::function<void()>& Body) {
    try {
        Body();
        return S_OK;
    } catch (const corvane::CHResultException& Exception) {
        return Exception.GetResult();
    }
}

// Runs Body in a child process and returns its identifier; the child ends with Body's result, or CHILD_THREW.
pid_t StartChild(const std::function<int()>& Body) {
    const pid_t nChild = fork();
    if (nChild == 0) {
        int nResult = CHILD_THREW;
        try {
            nResult = Body();
        } catch (...) {
        }
        _exit(nResult);
    }
    return nChild;
}

// The child's exit code; -1 when it did not exit normally.
int WaitChild(pid_t nChild) {
    int nStatus = 0;
    if (waitpid(nChild, &nStatus, 0) != nChild) return -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// A pipe for telling the other process that a step is done.
struct CSignal {
    int pnFds[2] = {-1, -1};
    CSignal() { EXPECT_EQ(pipe(pnFds), 0); }
    ~CSignal() {
        for (int nFd : pnFds)
            if (nFd >= 0) close(nFd);
    }
    void Post() { EXPECT_EQ(write(pnFds[1], "x", 1), 1); }
    bool Wait() {
        char c;
        return read(pnFds[0], &c, 1) == 1;
    }
};

class SharedDataTest : public tracelog::CTraceTest {
protected:
    // A child process creates the objects, takes and gives back the lock once, and ends without Terminate;
    // the child's exit code.
    int EndCreatorWithoutTerminate() {
        const std::u16string sName = m_sName;
        return WaitChild(StartChild([&] {
            CTestMapping Ending;
            Ending.Initialize(sName.c_str());
            { CTestMapping::CAccessor Accessor(Ending, true); }
            _exit(CHILD_OK);
            return CHILD_WRONG;
        }));
    }
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_sBaseName = std::string("Corvane.Test.SharedData.") + std::to_string(getpid()) + "." + pInfo->name();
        m_sName = comrt::ToUtf16(m_sBaseName);
    }
    void TearDown() override {
        for (const char* pszSuffix :
             {CSharedDataObjects::LOCK_SUFFIX, CSharedDataObjects::MAPPING_SUFFIX, CSharedDataObjects::CHANGE_SUFFIX})
            shm_unlink(ObjectName(pszSuffix).c_str());
        tracelog::CTraceTest::TearDown();
    }

    const char16_t* Name() const { return m_sName.c_str(); }
    std::string ObjectName(const char* pszSuffix) const {
        return CSharedDataObjects::GetObjectName(m_sBaseName, pszSuffix);
    }
    bool ObjectExists(const char* pszSuffix) const {
        const int nFd = shm_open(ObjectName(pszSuffix).c_str(), O_RDONLY, 0);
        if (nFd < 0) return false;
        close(nFd);
        return true;
    }
    unsigned ObjectMode(const char* pszSuffix) const {
        const int nFd = shm_open(ObjectName(pszSuffix).c_str(), O_RDONLY, 0);
        if (nFd < 0) return 0;
        struct stat Status {};
        fstat(nFd, &Status);
        close(nFd);
        return Status.st_mode & 07777;
    }
    // The data object's 4096 bytes, read without the mapping class.
    std::vector<unsigned char> MappingBytes() const {
        std::vector<unsigned char> Bytes;
        const int nFd = shm_open(ObjectName(CSharedDataObjects::MAPPING_SUFFIX).c_str(), O_RDONLY, 0);
        if (nFd < 0) return Bytes;
        void* pView = mmap(nullptr, CSharedDataObjects::MAPPING_SIZE, PROT_READ, MAP_SHARED, nFd, 0);
        close(nFd);
        if (pView == MAP_FAILED) return Bytes;
        const auto* pBytes = static_cast<const unsigned char*>(pView);
        Bytes.assign(pBytes, pBytes + CSharedDataObjects::MAPPING_SIZE);
        munmap(pView, CSharedDataObjects::MAPPING_SIZE);
        return Bytes;
    }
    static std::uint32_t Field(const std::vector<unsigned char>& Bytes, std::size_t nOffset) {
        return static_cast<std::uint32_t>(Bytes.at(nOffset)) | static_cast<std::uint32_t>(Bytes.at(nOffset + 1)) << 8 |
               static_cast<std::uint32_t>(Bytes.at(nOffset + 2)) << 16 |
               static_cast<std::uint32_t>(Bytes.at(nOffset + 3)) << 24;
    }
    int CountLines(const std::string& sText) const {
        int nCount = 0;
        for (const std::string& sLine : ReadLines())
            if (sLine.find(sText) != std::string::npos) ++nCount;
        return nCount;
    }
    // Initializes Mapping as the first instance and lets go of the lock, as the owner does after writing.
    void StartOwner(CTestMapping& Mapping, std::uint32_t nWindow) {
        bool bExisted = true;
        Mapping.Initialize(Name(), &bExisted);
        ASSERT_FALSE(bExisted);
        CTestMapping::CAccessor Accessor(Mapping, true);
        Accessor.GetData()->bApplicationMode = 1;
        Accessor.GetData()->nNotifyIconWindow = nWindow;
    }

    std::string m_sBaseName;
    std::u16string m_sName;
};

TEST_F(SharedDataTest, NewMappingHoldsTheRecordAndTheObjectsHaveTheirModes) {
    CTestMapping Mapping;
    EXPECT_FALSE(Mapping.IsInitialized());
    bool bExisted = true;
    Mapping.Initialize(Name(), &bExisted);
    EXPECT_FALSE(bExisted);
    EXPECT_TRUE(Mapping.IsInitialized());
    EXPECT_EQ(Mapping.GetBaseName(), m_sBaseName);

    // The names carry the suffixes and the user.
    EXPECT_EQ(ObjectName(CSharedDataObjects::LOCK_SUFFIX),
              "/" + m_sBaseName + ".LockMutex." + std::to_string(geteuid()));
    EXPECT_EQ(ObjectMode(CSharedDataObjects::LOCK_SUFFIX), 0666u);
    EXPECT_EQ(ObjectMode(CSharedDataObjects::MAPPING_SUFFIX), 0644u);
    EXPECT_EQ(ObjectMode(CSharedDataObjects::CHANGE_SUFFIX), 0644u);

    std::vector<unsigned char> Bytes = MappingBytes();
    ASSERT_EQ(Bytes.size(), 4096u);
    EXPECT_EQ(Field(Bytes, 0), 20u);
    EXPECT_EQ(Field(Bytes, 4), 4096u);
    EXPECT_EQ(Field(Bytes, 8), static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(Field(Bytes, 12), 0u);
    EXPECT_EQ(Field(Bytes, 16), 0u);

    {
        CTestMapping::CAccessor Accessor(Mapping, true);
        Accessor.GetData()->bApplicationMode = 1;
        Accessor.GetData()->nNotifyIconWindow = 0x01020304;
    }
    Bytes = MappingBytes();
    const unsigned char Expected[20] = {20, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 4, 3, 2, 1};
    std::uint32_t nProcess = static_cast<std::uint32_t>(getpid());
    unsigned char ExpectedWithProcess[20];
    std::memcpy(ExpectedWithProcess, Expected, sizeof Expected);
    std::memcpy(ExpectedWithProcess + 8, &nProcess, 4);
    EXPECT_EQ(std::memcmp(Bytes.data(), ExpectedWithProcess, 20), 0);
    for (std::size_t i = 20; i < Bytes.size(); ++i) ASSERT_EQ(Bytes[i], 0) << "offset " << i;

    // The accessor released the lock: another accessor gets it at once.
    { CTestMapping::CAccessor Accessor(Mapping, false); }

    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_FALSE(Mapping.IsInitialized());
    EXPECT_FALSE(ObjectExists(CSharedDataObjects::LOCK_SUFFIX));
    EXPECT_FALSE(ObjectExists(CSharedDataObjects::MAPPING_SUFFIX));
    EXPECT_FALSE(ObjectExists(CSharedDataObjects::CHANGE_SUFFIX));
}

TEST_F(SharedDataTest, SecondInstanceTimesOutWhileTheFirstHoldsTheLockThenSeesItExisting) {
    CTestMapping Mapping;
    bool bExisted = true;
    Mapping.Initialize(Name(), &bExisted);  // holds the lock
    ASSERT_FALSE(bExisted);
    const std::vector<unsigned char> Before = MappingBytes();

    const std::u16string sName = m_sName;
    const pid_t nBlocked = StartChild([&] {
        CTestMapping Second;
        const HRESULT hr = ResultOf([&] { Second.Initialize(sName.c_str()); });
        return hr == TIMEOUT_RESULT && !Second.IsInitialized() ? CHILD_OK : CHILD_WRONG;
    });
    EXPECT_EQ(WaitChild(nBlocked), CHILD_OK);
    EXPECT_EQ(MappingBytes(), Before);

    {
        CTestMapping::CAccessor Accessor(Mapping, true);
        Accessor.GetData()->bApplicationMode = 1;
        Accessor.GetData()->nNotifyIconWindow = 7;
    }
    const std::vector<unsigned char> Written = MappingBytes();
    const std::uint32_t nOwner = static_cast<std::uint32_t>(getpid());
    const pid_t nSecond = StartChild([&] {
        CTestMapping Second;
        bool bSecondExisted = false;
        Second.Initialize(sName.c_str(), &bSecondExisted);
        bool bSeen = false;
        {
            CTestMapping::CAccessor Accessor(Second, true);
            const TestRecord* pRecord = Accessor.GetData();
            bSeen = pRecord->nProcessIdentifier == nOwner && pRecord->nNotifyIconWindow == 7;
        }
        return bSecondExisted && bSeen && Second.Terminate() ? CHILD_OK : CHILD_WRONG;
    });
    EXPECT_EQ(WaitChild(nSecond), CHILD_OK);

    // The second instance neither changed the record nor removed the names.
    EXPECT_EQ(MappingBytes(), Written);
    EXPECT_TRUE(ObjectExists(CSharedDataObjects::LOCK_SUFFIX));
    EXPECT_TRUE(ObjectExists(CSharedDataObjects::MAPPING_SUFFIX));
    EXPECT_TRUE(ObjectExists(CSharedDataObjects::CHANGE_SUFFIX));
    { CTestMapping::CAccessor Accessor(Mapping, false); }
    EXPECT_EQ(CountLines(ABANDONED_LINE), 0);
    EXPECT_TRUE(Mapping.Terminate());
}

TEST_F(SharedDataTest, LockAbandonedByAnotherProcessIsTakenAfterOneLine) {
    CTestMapping Mapping;
    StartOwner(Mapping, 9);
    const std::vector<unsigned char> Before = MappingBytes();

    const std::u16string sName = m_sName;
    const pid_t nChild = StartChild([&] {
        CTestMapping Reader;
        bool bExisted = false;
        Reader.Initialize(sName.c_str(), &bExisted);
        _exit(bExisted ? CHILD_OK : CHILD_WRONG);  // ends holding the lock
        return CHILD_WRONG;
    });
    ASSERT_EQ(WaitChild(nChild), CHILD_OK);
    EXPECT_EQ(CountLines(ABANDONED_LINE), 0);

    {
        CTestMapping::CAccessor Accessor(Mapping, false);
        EXPECT_EQ(Accessor.GetData()->nNotifyIconWindow, 9u);
    }
    EXPECT_EQ(CountLines(ABANDONED_LINE), 1);
    // The lock is consistent again: taking it once more writes nothing.
    { CTestMapping::CAccessor Accessor(Mapping, false); }
    EXPECT_EQ(CountLines(ABANDONED_LINE), 1);
    EXPECT_EQ(MappingBytes(), Before);

    // While its creator runs, the objects still belong to it: a later instance finds them existing.
    const pid_t nLater = StartChild([&] {
        CTestMapping Later;
        bool bExisted = false;
        Later.Initialize(sName.c_str(), &bExisted);
        return bExisted ? CHILD_OK : CHILD_WRONG;
    });
    EXPECT_EQ(WaitChild(nLater), CHILD_OK);
    EXPECT_TRUE(Mapping.Terminate());
}

TEST_F(SharedDataTest, ObjectsOfACrashedCreatorAreTakenOver) {
    const std::u16string sName = m_sName;
    // Crashed while holding the lock, right after Initialize.
    const pid_t nCrashed = StartChild([&] {
        CTestMapping Crashing;
        Crashing.Initialize(sName.c_str());
        _exit(CHILD_OK);
        return CHILD_WRONG;
    });
    ASSERT_EQ(WaitChild(nCrashed), CHILD_OK);
    ASSERT_TRUE(ObjectExists(CSharedDataObjects::MAPPING_SUFFIX));
    EXPECT_EQ(Field(MappingBytes(), 8), static_cast<std::uint32_t>(nCrashed));

    CTestMapping Mapping;
    bool bExisted = true;
    Mapping.Initialize(Name(), &bExisted);
    EXPECT_FALSE(bExisted);
    const std::vector<unsigned char> Bytes = MappingBytes();
    EXPECT_EQ(Field(Bytes, 0), 20u);
    EXPECT_EQ(Field(Bytes, 4), 4096u);
    EXPECT_EQ(Field(Bytes, 8), static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(CountLines(ABANDONED_LINE), 1);
    EXPECT_EQ(CountLines("Shared data \"" + m_sBaseName + "\" was left by process " + std::to_string(nCrashed) +
                         ", which no longer runs; taking it over"),
              1);
    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_FALSE(ObjectExists(CSharedDataObjects::LOCK_SUFFIX));
}

TEST_F(SharedDataTest, ObjectsOfACreatorThatEndedWithoutTerminateAreTakenOver) {
    // Ended between accesses: the lock is free, only the record tells.
    ASSERT_EQ(EndCreatorWithoutTerminate(), CHILD_OK);

    CTestMapping Mapping;
    bool bExisted = true;
    Mapping.Initialize(Name(), &bExisted);
    EXPECT_FALSE(bExisted);
    EXPECT_EQ(Field(MappingBytes(), 8), static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(CountLines(ABANDONED_LINE), 0);
    EXPECT_EQ(CountLines("which no longer runs; taking it over"), 1);
    EXPECT_TRUE(Mapping.Terminate());
}

TEST_F(SharedDataTest, LeftoverObjectsWhoseModeCannotBeSetFailTheStart) {
    ASSERT_EQ(EndCreatorWithoutTerminate(), CHILD_OK);

    {
        CTestMapping Mapping;
        g_bFailFchmod = true;
        const HRESULT hr = ResultOf([&] { Mapping.Initialize(Name()); });
        g_bFailFchmod = false;
        EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(CountLines("Shared data \"" + m_sBaseName + "\" was left by process"), 1);
    EXPECT_EQ(CountLines("Shared data \"" + m_sBaseName + ".LockMutex\" could not be given mode"), 1);
    // The record was not claimed: a later start takes the objects over.
    CTestMapping Later;
    bool bExisted = true;
    Later.Initialize(Name(), &bExisted);
    EXPECT_FALSE(bExisted);
    EXPECT_EQ(Field(MappingBytes(), 8), static_cast<std::uint32_t>(getpid()));
    EXPECT_TRUE(Later.Terminate());
}

TEST_F(SharedDataTest, DamagedLeftoverObjectsAreMadeAnew) {
    // A lock object of the wrong size and a data object of garbage, as an interrupted start might leave.
    for (const char* pszSuffix : {CSharedDataObjects::LOCK_SUFFIX, CSharedDataObjects::MAPPING_SUFFIX}) {
        const int nFd = shm_open(ObjectName(pszSuffix).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(nFd, 0);
        ASSERT_EQ(write(nFd, "garbage", 7), 7);
        close(nFd);
    }
    CTestMapping Mapping;
    bool bExisted = true;
    Mapping.Initialize(Name(), &bExisted);
    EXPECT_FALSE(bExisted);
    EXPECT_EQ(ObjectMode(CSharedDataObjects::LOCK_SUFFIX), 0666u);
    EXPECT_EQ(ObjectMode(CSharedDataObjects::MAPPING_SUFFIX), 0644u);
    const std::vector<unsigned char> Bytes = MappingBytes();
    ASSERT_EQ(Bytes.size(), 4096u);
    EXPECT_EQ(Field(Bytes, 0), 20u);
    EXPECT_EQ(Field(Bytes, 8), static_cast<std::uint32_t>(getpid()));
    for (std::size_t i = 20; i < Bytes.size(); ++i) ASSERT_EQ(Bytes[i], 0) << "offset " << i;
    { CTestMapping::CAccessor Accessor(Mapping, true); }
    { CTestMapping::CAccessor Accessor(Mapping, false); }
    EXPECT_TRUE(Mapping.Terminate());
}

TEST_F(SharedDataTest, TerminateWhileAnotherProcessHoldsTheLockTracesAndGoesOn) {
    CTestMapping Mapping;
    StartOwner(Mapping, 0);

    CSignal Held;
    CSignal Finish;
    const std::u16string sName = m_sName;
    const pid_t nChild = StartChild([&] {
        CTestMapping Holder;
        Holder.Initialize(sName.c_str());  // holds the lock
        Held.Post();
        Finish.Wait();
        return Holder.Terminate() ? CHILD_OK : CHILD_WRONG;
    });
    ASSERT_TRUE(Held.Wait());

    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_FALSE(Mapping.IsInitialized());
    EXPECT_EQ(CountLines("Data accessor could not acquire access to mapping \"" + m_sBaseName +
                         "\", data termination skipped"),
              1);
    // The creator removed the names; the holder keeps its objects until it ends.
    EXPECT_FALSE(ObjectExists(CSharedDataObjects::LOCK_SUFFIX));
    Finish.Post();
    EXPECT_EQ(WaitChild(nChild), CHILD_OK);
}

TEST_F(SharedDataTest, TerminateIsHarmlessWhenNotInitializedOrRepeated) {
    CTestMapping Mapping;
    EXPECT_TRUE(Mapping.Terminate());
    Mapping.Initialize(Name());
    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_FALSE(Mapping.IsInitialized());
    EXPECT_EQ(CountLines("data termination skipped"), 0);

    // Initialize again after Terminate makes the objects anew.
    bool bExisted = true;
    Mapping.Initialize(Name(), &bExisted);
    EXPECT_FALSE(bExisted);
    EXPECT_TRUE(Mapping.Terminate());
}

TEST_F(SharedDataTest, ChildTerminatingAnInheritedMappingLeavesTheNames) {
    CTestMapping Mapping;
    StartOwner(Mapping, 3);
    const pid_t nChild =
        StartChild([&] { return Mapping.Terminate() && !Mapping.IsInitialized() ? CHILD_OK : CHILD_WRONG; });
    EXPECT_EQ(WaitChild(nChild), CHILD_OK);
    EXPECT_TRUE(ObjectExists(CSharedDataObjects::LOCK_SUFFIX));
    EXPECT_TRUE(ObjectExists(CSharedDataObjects::MAPPING_SUFFIX));
    EXPECT_TRUE(ObjectExists(CSharedDataObjects::CHANGE_SUFFIX));
    EXPECT_EQ(Field(MappingBytes(), 16), 3u);
    EXPECT_EQ(CountLines("data termination skipped"), 0);
    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_FALSE(ObjectExists(CSharedDataObjects::LOCK_SUFFIX));
}

TEST_F(SharedDataTest, ChangeSignalWakesAWaiterInAnotherProcess) {
    CTestMapping Mapping;
    StartOwner(Mapping, 0);
    EXPECT_EQ(Mapping.WaitChangeEvent(0), WAIT_TIMEOUT);

    CSignal Ready;
    const std::u16string sName = m_sName;
    const pid_t nChild = StartChild([&] {
        CTestMapping Reader;
        Reader.Initialize(sName.c_str());
        { CTestMapping::CAccessor Accessor(Reader, true); }
        Ready.Post();
        return Reader.WaitChangeEvent(30000) == WAIT_OBJECT_0 ? CHILD_OK : CHILD_WRONG;
    });
    ASSERT_TRUE(Ready.Wait());
    EXPECT_TRUE(Mapping.SetChangeEvent());
    EXPECT_EQ(WaitChild(nChild), CHILD_OK);
    EXPECT_EQ(Mapping.WaitChangeEvent(0), WAIT_OBJECT_0);  // manual reset: it stays set
    EXPECT_TRUE(Mapping.ResetChangeEvent());
    EXPECT_EQ(Mapping.WaitChangeEvent(0), WAIT_TIMEOUT);

    // A wait the kernel refuses fails at once with one line, instead of trying again until the time is up.
    g_nFutexWaitError = EINVAL;
    SetLastError(0);
    EXPECT_EQ(Mapping.WaitChangeEvent(INFINITE), WAIT_FAILED);
    g_nFutexWaitError = 0;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CountLines("Waiting for a change of shared data"), 1) << ReadLog();
    EXPECT_TRUE(Mapping.Terminate());
}

TEST_F(SharedDataTest, BadUseFailsWithClearCodes) {
    CTestMapping Mapping;
    EXPECT_EQ(ResultOf([&] { Mapping.Initialize(nullptr); }), E_POINTER);
    EXPECT_EQ(ResultOf([&] { Mapping.Initialize(u""); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { Mapping.Initialize(u"Corvane/Test"); }), E_INVALIDARG);
    const std::u16string sLongName(300, u'n');  // longer than a file name may be
    EXPECT_EQ(ResultOf([&] { Mapping.Initialize(sLongName.c_str()); }), E_INVALIDARG);
    EXPECT_FALSE(Mapping.IsInitialized());
    EXPECT_EQ(ResultOf([&] { CTestMapping::CAccessor Accessor(Mapping, false); }), E_HANDLE);
    EXPECT_FALSE(Mapping.ReleaseMutex());
    EXPECT_EQ(Mapping.WaitChangeEvent(0), WAIT_FAILED);
    EXPECT_FALSE(Mapping.SetChangeEvent());

    Mapping.Initialize(Name());
    EXPECT_EQ(ResultOf([&] { Mapping.Initialize(Name()); }), E_UNEXPECTED);
    EXPECT_TRUE(Mapping.IsInitialized());
    EXPECT_TRUE(Mapping.Terminate());
}

TEST(SharedDataProcessTest, ProcessRunsKnowsEndedZombieAndReusedProcesses) {
    const DWORD nSelf = static_cast<DWORD>(getpid());
    const std::uint64_t nStartTime = CSharedDataObjects::GetProcessStartTime(nSelf);
    ASSERT_NE(nStartTime, 0u);
    EXPECT_TRUE(CSharedDataObjects::ProcessRuns(nSelf, nStartTime));
    EXPECT_TRUE(CSharedDataObjects::ProcessRuns(nSelf, 0));
    // The same identifier with another start time is another process.
    EXPECT_FALSE(CSharedDataObjects::ProcessRuns(nSelf, nStartTime + 1));
    EXPECT_FALSE(CSharedDataObjects::ProcessRuns(0, 0));

    const pid_t nChild = fork();
    if (nChild == 0) _exit(0);
    // Ended but not yet waited for: a zombie no longer runs.
    siginfo_t Info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(nChild), &Info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(CSharedDataObjects::ProcessRuns(static_cast<DWORD>(nChild), 0));
    ASSERT_EQ(WaitChild(nChild), 0);
    EXPECT_FALSE(CSharedDataObjects::ProcessRuns(static_cast<DWORD>(nChild), 0));
}

}  // namespace
