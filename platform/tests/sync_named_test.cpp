// Named mutexes, events and file mappings: one name seen by two processes, a name that exists already, an
// abandoned mutex, an event set in one process and waited for in another, a mapping written by both, waits
// among other objects, removal, modes, damaged objects and bad names. Every test uses names of its own
// and removes them when it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "comrt/psapi.h"
#include "comrt/sync.h"
#include "comrt/text.h"

namespace {

constexpr int CHILD_OK = 0;
constexpr int CHILD_WRONG = 1;

// Runs Body in a child process; its exit code, -1 when it did not exit normally.
pid_t StartChild(const std::function<int()>& Body) {
    const pid_t nChild = fork();
    if (nChild == 0) _exit(Body());
    return nChild;
}

int WaitChild(pid_t nChild) {
    int nStatus = 0;
    if (waitpid(nChild, &nStatus, 0) != nChild) return -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

int RunChild(const std::function<int()>& Body) {
    return WaitChild(StartChild(Body));
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

class NamedObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_sPrefix = "Corvane.Test.Named." + std::to_string(getpid()) + "." + pInfo->name() + ".";
    }
    void TearDown() override {
        for (const std::u16string& sName : m_Names) shm_unlink(comrt::GetNamedObjectPath(sName).c_str());
    }

    // A name of this test's own, removed when it ends.
    const char16_t* Name(const char* pszWhat) {
        m_Names.push_back(comrt::ToUtf16(m_sPrefix + pszWhat));
        return m_Names.back().c_str();
    }
    static std::string PathOf(const char16_t* pszName) { return comrt::GetNamedObjectPath(pszName); }
    static unsigned ModeOf(const char16_t* pszName) {
        struct stat Status {};
        if (stat(("/dev/shm" + PathOf(pszName)).c_str(), &Status) != 0) return 0;
        return Status.st_mode & 07777;
    }

    std::string m_sPrefix;
    std::vector<std::u16string> m_Names;
};

TEST_F(NamedObjectTest, NamesArePerUserAndBadNamesAreRefused) {
    EXPECT_EQ(comrt::GetNamedObjectPath(u"Corvane.Example"), "/Corvane.Example." + std::to_string(geteuid()));

    const std::u16string sLong(MAX_OBJECT_NAME + 1, u'n');
    const struct {
        const char16_t* pszName;
        DWORD nError;
    } Cases[] = {
        {u"", ERROR_INVALID_NAME},
        {u"Corvane/Example", ERROR_INVALID_NAME},
        {u"/Corvane.Example", ERROR_INVALID_NAME},
        {sLong.c_str(), ERROR_INVALID_PARAMETER},
    };
    const std::function<HANDLE(const char16_t*)> Calls[] = {
        [](const char16_t* n) { return CreateMutexW(nullptr, FALSE, n); },
        [](const char16_t* n) { return OpenMutexW(SYNCHRONIZE, FALSE, n); },
        [](const char16_t* n) { return CreateEventW(nullptr, TRUE, FALSE, n); },
        [](const char16_t* n) { return OpenEventW(SYNCHRONIZE, FALSE, n); },
        [](const char16_t* n) { return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, n); },
        [](const char16_t* n) { return OpenFileMappingW(FILE_MAP_READ, FALSE, n); },
    };
    for (std::size_t iCall = 0; iCall < std::size(Calls); ++iCall) {
        for (const auto& Case : Cases) {
            SetLastError(0);
            EXPECT_EQ(Calls[iCall](Case.pszName), nullptr) << "call " << iCall;
            EXPECT_EQ(GetLastError(), Case.nError)
                << "call " << iCall << ", name of " << std::u16string(Case.pszName).size();
        }
    }
    // The Open calls need a name, and one that exists.
    const struct {
        HANDLE (*pfnOpen)(DWORD, BOOL, LPCWSTR);
    } Opens[] = {{OpenMutexW}, {OpenEventW}, {OpenFileMappingW}};
    const char16_t* pszMissing = Name("Missing");
    for (const auto& Open : Opens) {
        SetLastError(0);
        EXPECT_EQ(Open.pfnOpen(0, FALSE, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(Open.pfnOpen(0, FALSE, pszMissing), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    // Nothing was made for any of them.
    EXPECT_NE(access(("/dev/shm" + PathOf(pszMissing)).c_str(), F_OK), 0);
}

TEST_F(NamedObjectTest, CreatingAnExistingNameOpensItAndSaysSo) {
    const char16_t* pszMutex = Name("Mutex");
    const char16_t* pszEvent = Name("Event");
    const char16_t* pszMapping = Name("Mapping");
    const std::function<HANDLE()> Creates[] = {
        [&] { return CreateMutexW(nullptr, FALSE, pszMutex); },
        [&] { return CreateEventW(nullptr, TRUE, FALSE, pszEvent); },
        [&] { return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, pszMapping); },
    };
    for (const auto& Create : Creates) {
        SetLastError(ERROR_INVALID_FUNCTION);
        HANDLE hFirst = Create();
        ASSERT_NE(hFirst, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        HANDLE hSecond = Create();
        ASSERT_NE(hSecond, nullptr);
        EXPECT_NE(hSecond, hFirst);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        // Another process finds it existing too, and leaves it there.
        EXPECT_EQ(RunChild([&] {
                      HANDLE h = Create();
                      return h != nullptr && GetLastError() == static_cast<DWORD>(ERROR_ALREADY_EXISTS) ? CHILD_OK
                                                                                                        : CHILD_WRONG;
                  }),
                  CHILD_OK);
        EXPECT_TRUE(CloseHandle(hSecond));
        EXPECT_TRUE(CloseHandle(hFirst));
    }
    // New objects are their user's only.
    EXPECT_EQ(ModeOf(pszMutex), 0600u);
    EXPECT_EQ(ModeOf(pszEvent), 0600u);
    EXPECT_EQ(ModeOf(pszMapping), 0600u);
}

TEST_F(NamedObjectTest, MutexExcludesAnotherProcessUntilReleased) {
    const char16_t* pszName = Name("Mutex");
    HANDLE hMutex = CreateMutexW(nullptr, TRUE, pszName);
    ASSERT_NE(hMutex, nullptr);
    DWORD nCreator = 0;
    std::uint64_t nStartTime = 0;
    ASSERT_TRUE(comrt::GetNamedObjectCreator(hMutex, &nCreator, &nStartTime));
    EXPECT_EQ(nCreator, static_cast<DWORD>(getpid()));
    EXPECT_EQ(nStartTime, comrt::GetProcessStartTime(nCreator));
    EXPECT_NE(nStartTime, 0u);

    CSignal Tried;
    CSignal Released;
    const pid_t nChild = StartChild([&] {
        HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, pszName);
        if (h == nullptr) return 10;
        const auto Start = std::chrono::steady_clock::now();
        if (WaitForSingleObject(h, 100) != WAIT_TIMEOUT) return 11;
        if (std::chrono::steady_clock::now() - Start < std::chrono::milliseconds(100)) return 12;
        if (WaitForSingleObject(h, 0) != WAIT_TIMEOUT) return 13;
        Tried.Post();
        if (!Released.Wait()) return 14;
        if (WaitForSingleObject(h, 30000) != WAIT_OBJECT_0) return 15;
        return ReleaseMutex(h) ? CHILD_OK : 16;
    });
    ASSERT_TRUE(Tried.Wait());
    EXPECT_TRUE(ReleaseMutex(hMutex));
    Released.Post();
    EXPECT_EQ(WaitChild(nChild), CHILD_OK);
    // The child released it: this process takes it again at once, and the child's end left nothing abandoned.
    EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_TRUE(CloseHandle(hMutex));
}

TEST_F(NamedObjectTest, MutexIsRecursiveAndOnlyItsOwnerReleasesIt) {
    for (const char16_t* pszName : {static_cast<const char16_t*>(nullptr), Name("Mutex")}) {
        HANDLE hMutex = CreateMutexW(nullptr, FALSE, pszName);
        ASSERT_NE(hMutex, nullptr);
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(hMutex));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
        EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(hMutex, INFINITE), WAIT_OBJECT_0);
        DWORD nOther = WAIT_FAILED;
        DWORD nOtherError = 0;
        BOOL bOtherReleased = TRUE;
        std::thread([&] {
            nOther = WaitForSingleObject(hMutex, 20);
            bOtherReleased = ReleaseMutex(hMutex);
            nOtherError = GetLastError();
        }).join();
        EXPECT_EQ(nOther, WAIT_TIMEOUT);
        EXPECT_FALSE(bOtherReleased);
        EXPECT_EQ(nOtherError, static_cast<DWORD>(ERROR_NOT_OWNER));
        EXPECT_TRUE(ReleaseMutex(hMutex));
        EXPECT_TRUE(ReleaseMutex(hMutex));
        EXPECT_FALSE(ReleaseMutex(hMutex));
        EXPECT_TRUE(CloseHandle(hMutex));
    }
    // Other objects are not mutexes.
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReleaseMutex(hEvent));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(hEvent);
}

TEST_F(NamedObjectTest, MutexLeftHeldByAnEndedProcessOrThreadIsAbandoned) {
    const char16_t* pszName = Name("Mutex");
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, pszName);
    ASSERT_NE(hMutex, nullptr);
    ASSERT_EQ(RunChild([&] {
                  HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, pszName);
                  return h != nullptr && WaitForSingleObject(h, 1000) == WAIT_OBJECT_0 ? CHILD_OK : CHILD_WRONG;
              }),
              CHILD_OK);
    EXPECT_EQ(WaitForSingleObject(hMutex, 1000), WAIT_ABANDONED_0);
    // It is this thread's now and sound again.
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(hMutex));

    // Among other objects, the index tells which one; a thread that ends holding it abandons it too.
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0); }).join();
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE Handles[] = {hEvent, hMutex};
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, FALSE, 1000), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(ReleaseMutex(hMutex));
    CloseHandle(hEvent);
    EXPECT_TRUE(CloseHandle(hMutex));
}

TEST_F(NamedObjectTest, EventSetInOneProcessWakesAWaiterInAnother) {
    const char16_t* pszManual = Name("Manual");
    HANDLE hManual = CreateEventW(nullptr, TRUE, FALSE, pszManual);
    ASSERT_NE(hManual, nullptr);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_TIMEOUT);

    CSignal Ready;
    const pid_t nSingle = StartChild([&] {
        HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pszManual);
        if (h == nullptr) return 10;
        Ready.Post();
        return WaitForSingleObject(h, 30000) == WAIT_OBJECT_0 ? CHILD_OK : CHILD_WRONG;
    });
    ASSERT_TRUE(Ready.Wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(SetEvent(hManual));
    EXPECT_EQ(WaitChild(nSingle), CHILD_OK);
    // Manual reset: it stays set, for every waiter, until reset.
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(hManual));
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(hManual, 50), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(50));

    // A wait among local objects sees the other process's signal too.
    const pid_t nAmong = StartChild([&] {
        HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pszManual);
        HANDLE hLocal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        const HANDLE Handles[] = {hLocal, h};
        Ready.Post();
        return WaitForMultipleObjects(2, Handles, FALSE, 30000) == WAIT_OBJECT_0 + 1 ? CHILD_OK : CHILD_WRONG;
    });
    ASSERT_TRUE(Ready.Wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(SetEvent(hManual));
    EXPECT_EQ(WaitChild(nAmong), CHILD_OK);

    // Auto reset: one wait takes the signal; an existing event keeps the kind it was made with.
    const char16_t* pszAuto = Name("Auto");
    HANDLE hAuto = CreateEventW(nullptr, FALSE, TRUE, pszAuto);
    ASSERT_NE(hAuto, nullptr);
    HANDLE hAutoAgain = CreateEventW(nullptr, TRUE, FALSE, pszAuto);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(hAutoAgain, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(hAuto));
    EXPECT_EQ(RunChild([&] {
                  HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pszAuto);
                  return h != nullptr && WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? CHILD_OK : CHILD_WRONG;
              }),
              CHILD_OK);
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_TIMEOUT);

    // Waiting for all objects with a named one among them is not offered.
    HANDLE hLocal = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    const HANDLE Handles[] = {hLocal, hManual};
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    for (HANDLE h : {hLocal, hAutoAgain, hAuto, hManual}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(NamedObjectTest, MappingIsSeenAndWrittenByBothProcesses) {
    const char16_t* pszName = Name("Mapping");
    HANDLE hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8192, pszName);
    ASSERT_NE(hMapping, nullptr);
    auto* pView = static_cast<unsigned char*>(MapViewOfFile(hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(pView, nullptr);
    for (std::size_t i = 0; i < 8192; ++i) ASSERT_EQ(pView[i], 0) << "offset " << i;
    std::memcpy(pView + 4096, "parent", 7);

    EXPECT_EQ(RunChild([&] {
                  HANDLE h = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, pszName);
                  if (h == nullptr) return 10;
                  // The whole mapping, or its second page alone.
                  auto* p = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 4096, 0));
                  if (p == nullptr || std::strcmp(p, "parent") != 0) return 11;
                  std::memcpy(p, "child", 6);
                  CloseHandle(h);
                  // The view outlives the handle.
                  p[8] = 'x';
                  return UnmapViewOfFile(p) ? CHILD_OK : 12;
              }),
              CHILD_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(pView + 4096), "child");
    EXPECT_EQ(pView[4096 + 8], 'x');

    // Bad use.
    const struct {
        DWORD nOffset;
        std::size_t cb;
    } BadRanges[] = {{0, 8193}, {8192, 0}, {100, 10}, {4096, 4097}};
    for (const auto& Range : BadRanges) {
        SetLastError(0);
        EXPECT_EQ(MapViewOfFile(hMapping, FILE_MAP_READ, 0, Range.nOffset, Range.cb), nullptr) << Range.nOffset;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(UnmapViewOfFile(pView + 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, Name("Empty")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileMappingW(nullptr, nullptr, PAGE_READWRITE, 0, 64, Name("File")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    HANDLE hReadOnly = OpenFileMappingW(FILE_MAP_READ, FALSE, pszName);
    ASSERT_NE(hReadOnly, nullptr);
    EXPECT_EQ(MapViewOfFile(hReadOnly, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const void* pRead = MapViewOfFile(hReadOnly, FILE_MAP_READ, 0, 0, 4096);
    ASSERT_NE(pRead, nullptr);
    EXPECT_EQ(std::memcmp(pRead, pView, 4096), 0);
    EXPECT_TRUE(UnmapViewOfFile(pRead));
    EXPECT_FALSE(UnmapViewOfFile(pRead));
    EXPECT_TRUE(CloseHandle(hReadOnly));
    // A mutex is not a mapping.
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_EQ(MapViewOfFile(hMutex, FILE_MAP_READ, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(hMutex);
    EXPECT_TRUE(UnmapViewOfFile(pView));
    EXPECT_TRUE(CloseHandle(hMapping));
}

TEST_F(NamedObjectTest, RemovedNameIsMadeAnewWhileOpenHandlesKeepTheirObject) {
    const char16_t* pszName = Name("Mapping");
    HANDLE hOld = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, pszName);
    ASSERT_NE(hOld, nullptr);
    auto* pOld = static_cast<char*>(MapViewOfFile(hOld, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(pOld, nullptr);
    pOld[0] = 'o';
    EXPECT_TRUE(comrt::RemoveNamedObject(hOld));
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, pszName), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE hNew = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, pszName);
    ASSERT_NE(hNew, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    auto* pNew = static_cast<char*>(MapViewOfFile(hNew, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(pNew, nullptr);
    EXPECT_EQ(pNew[0], 0);
    EXPECT_EQ(pOld[0], 'o');
    // The old handle's object has no name any more: removing through it leaves the new one alone.
    EXPECT_FALSE(comrt::RemoveNamedObject(hOld));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE hOpened = OpenFileMappingW(FILE_MAP_READ, FALSE, pszName);
    EXPECT_NE(hOpened, nullptr);
    CloseHandle(hOpened);

    // Objects without a name, and handles of other objects, have no name to remove or mode to set.
    HANDLE hLocal = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE h : {hLocal, hEvent}) {
        EXPECT_FALSE(comrt::RemoveNamedObject(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(comrt::SetNamedObjectMode(h, 0644));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(comrt::GetNamedObjectCreator(h, nullptr, nullptr));
    }
    // A mapping has no creator kept.
    EXPECT_FALSE(comrt::GetNamedObjectCreator(hNew, nullptr, nullptr));
    for (HANDLE h : {hLocal, hEvent}) CloseHandle(h);
    UnmapViewOfFile(pNew);
    UnmapViewOfFile(pOld);
    CloseHandle(hNew);
    CloseHandle(hOld);
}

TEST_F(NamedObjectTest, ModesAreSetAndTheCreatorIsKept) {
    const char16_t* pszName = Name("Event");
    const pid_t nChild = StartChild([&] {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, pszName);
        return h != nullptr && comrt::SetNamedObjectMode(h, 0644) ? CHILD_OK : CHILD_WRONG;
    });
    ASSERT_EQ(WaitChild(nChild), CHILD_OK);
    EXPECT_EQ(ModeOf(pszName), 0644u);
    // The object outlived the process that made it, and still names it.
    HANDLE hEvent = OpenEventW(SYNCHRONIZE, FALSE, pszName);
    ASSERT_NE(hEvent, nullptr);
    DWORD nCreator = 0;
    std::uint64_t nStartTime = 0;
    ASSERT_TRUE(comrt::GetNamedObjectCreator(hEvent, &nCreator, &nStartTime));
    EXPECT_EQ(nCreator, static_cast<DWORD>(nChild));
    EXPECT_FALSE(comrt::ProcessRuns(nCreator, nStartTime));
    EXPECT_TRUE(comrt::SetNamedObjectMode(hEvent, 0666));
    EXPECT_EQ(ModeOf(pszName), 0666u);
    EXPECT_TRUE(comrt::RemoveNamedObject(hEvent));
    EXPECT_EQ(ModeOf(pszName), 0u);
    EXPECT_TRUE(CloseHandle(hEvent));
}

TEST_F(NamedObjectTest, DamagedObjectsAreNotOpenedAndAreMadeAnew) {
    const char16_t* pszMutex = Name("Mutex");
    const char16_t* pszEvent = Name("Event");
    const char16_t* pszMapping = Name("Mapping");
    for (const char16_t* pszName : {pszMutex, pszEvent, pszMapping}) {
        const int nFd = shm_open(PathOf(pszName).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(nFd, 0);
        ASSERT_EQ(write(nFd, "garbage", 7), 7);
        close(nFd);
    }
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, pszMutex), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, pszEvent), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE hMutex = CreateMutexW(nullptr, TRUE, pszMutex);
    ASSERT_NE(hMutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(ReleaseMutex(hMutex));
    HANDLE hEvent = CreateEventW(nullptr, TRUE, TRUE, pszEvent);
    ASSERT_NE(hEvent, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
    HANDLE hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, pszMapping);
    ASSERT_NE(hMapping, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    const auto* pView = static_cast<const char*>(MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(pView, nullptr);
    EXPECT_EQ(std::memcmp(pView, "garbage", 7), 0);  // the bytes it had are kept, the new ones are zero
    EXPECT_EQ(pView[4095], 0);
    // Made now, they open as they are.
    HANDLE hOpened = OpenMutexW(SYNCHRONIZE, FALSE, pszMutex);
    EXPECT_NE(hOpened, nullptr);
    for (HANDLE h : {hOpened, hMapping, hEvent, hMutex}) EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(UnmapViewOfFile(pView));
}

}  // namespace
