// The store: the hives' location from the environment, opening each hive (directly, or as the system hive
// read-only below a per-user overlay), the handle table, and fork and exit handling.
#include "RegistryStore.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace comrt::registry {

namespace {

thread_local std::string t_sLastError;

constexpr const char* kDefaultSystemDir = "/var/lib/corvane-harkwell";

struct HiveFile {
    const char* pszFile;
    bool bSystem;
    unsigned nFileMode;
};
// The classes hive is readable by everyone (the service helper of any user reads class registrations); the
// machine hive holds settings and scrambled passwords, so only its owner reads it; the user hive is private.
constexpr HiveFile kHiveFiles[kHiveCount] = {
    {"classes.db", true, 0644},
    {"machine.db", true, 0600},
    {"user.db", false, 0600},
};
constexpr unsigned kSystemFolderMode = 0755;
constexpr unsigned kUserFolderMode = 0700;

void OnForkPrepare();
void OnForkParent();
void OnForkChild();
void OnExit();

}  // namespace

Store& TheStore() {
    static Store* const pStore = [] {
        auto* p = new Store;
        for (int i = 0; i < kHiveCount; ++i) p->roots[i].nHive = i;
        pthread_atfork(OnForkPrepare, OnForkParent, OnForkChild);
        std::atexit(OnExit);
        return p;
    }();
    return *pStore;
}

namespace {

void OnForkPrepare() {
    TheStore().mutex.lock();
}
void OnForkParent() {
    TheStore().mutex.unlock();
}
// The child must not use (or close) the parent's connections: SQLite's locks belong to the parent process.
// They are dropped unclosed and the child opens its own on its next call. Open keys stay valid.
void OnForkChild() {
    Store& s = TheStore();
    for (auto& hive : s.hives) {
        if (hive.pMain) hive.pMain->Abandon();
        if (hive.pOverlay) hive.pOverlay->Abandon();
        hive = Hive{};
    }
    // A recursive mutex belongs to the thread that locked it, which the child does not have under that
    // identity: the child starts with a fresh one (nothing else can hold it, the child has one thread).
    s.pSpanning = nullptr;
    new (&s.mutex) std::recursive_mutex;
}
void OnExit() {
    Store& s = TheStore();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.CloseDatabases();
}

const char* NonEmptyEnv(const char* pszName) {
    const char* p = std::getenv(pszName);
    return (p && *p) ? p : nullptr;
}

std::string Absolute(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (!s.empty() && s[0] == '/') return s;
    char szCwd[4096];
    if (getcwd(szCwd, sizeof(szCwd)) == nullptr) return s;
    return std::string(szCwd) + "/" + s;
}

std::string DataHome() {
    if (const char* p = NonEmptyEnv("XDG_DATA_HOME"); p && p[0] == '/') return Absolute(p);
    std::string sHome;
    if (const char* p = NonEmptyEnv("HOME")) {
        sHome = p;
    } else {
        struct passwd pw {};
        struct passwd* pResult = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &pw, buffer, sizeof(buffer), &pResult) == 0 && pResult && pw.pw_dir)
            sHome = pw.pw_dir;
    }
    if (sHome.empty()) sHome = "/tmp";
    return Absolute(sHome) + "/.local/share";
}

}  // namespace

void Locate(Store& s) {
    if (s.bLocated) return;
    const std::string sDataHome = DataHome();
    const char* pszDir = NonEmptyEnv("CORVANE_REGISTRY_DIR");
    s.sSystemDir = pszDir ? Absolute(pszDir) : kDefaultSystemDir;
    s.sUserDir = pszDir ? s.sSystemDir : sDataHome + "/corvane-harkwell";
    const char* pszOverlay = NonEmptyEnv("CORVANE_REGISTRY_OVERLAY_DIR");
    s.sOverlayDir = pszOverlay ? Absolute(pszOverlay) : sDataHome + "/corvane-harkwell/overlay";
    const char* pszReadOnly = NonEmptyEnv("CORVANE_REGISTRY_READONLY_SYSTEM");
    s.bReadOnlySystem = pszReadOnly && std::strcmp(pszReadOnly, "0") != 0;
    s.bLocated = true;
}

namespace {

// Whether this process may write the system hive file (creating its folder when missing).
bool CanWriteSystemHive(const Store& s, const std::string& sPath) {
    if (s.bReadOnlySystem) return false;
    int nErrno = 0;
    if (!MakeFolders(s.sSystemDir, kSystemFolderMode, &nErrno)) return false;
    if (faccessat(AT_FDCWD, s.sSystemDir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
    struct stat st {};
    if (stat(sPath.c_str(), &st) == 0) return faccessat(AT_FDCWD, sPath.c_str(), W_OK, AT_EACCESS) == 0;
    return true;
}

LONG OpenHive(const Store& s, int nHive, Hive* pFresh) {
    const HiveFile& file = kHiveFiles[nHive];
    if (!file.bSystem) {
        pFresh->pMain = std::make_unique<Database>(s.sUserDir + "/" + file.pszFile, Database::Access::kReadWrite,
                                                   file.nFileMode, kUserFolderMode, false);
        return pFresh->pMain->Open();
    }
    const std::string sPath = s.sSystemDir + "/" + file.pszFile;
    if (CanWriteSystemHive(s, sPath)) {
        pFresh->pMain =
            std::make_unique<Database>(sPath, Database::Access::kReadWrite, file.nFileMode, kSystemFolderMode, true);
        return pFresh->pMain->Open();
    }
    pFresh->bOverlaid = true;
    pFresh->pMain =
        std::make_unique<Database>(sPath, Database::Access::kReadOnly, file.nFileMode, kSystemFolderMode, false);
    LONG nResult = pFresh->pMain->Open();
    if (nResult == ERROR_FILE_NOT_FOUND) {
        pFresh->pMain.reset();
    } else if (nResult != ERROR_SUCCESS) {
        return nResult;
    }
    pFresh->pOverlay = std::make_unique<Database>(s.sOverlayDir + "/" + file.pszFile, Database::Access::kReadWrite,
                                                  0600, kUserFolderMode, false);
    nResult = pFresh->pOverlay->Open();
    if (nResult == ERROR_CANTOPEN) {
        // Reads still see the system hive; writes report why they cannot be kept.
        pFresh->pOverlay.reset();
        pFresh->sOverlayProblem = t_sLastError;
        t_sLastError.clear();
        return ERROR_SUCCESS;
    }
    return nResult;
}

}  // namespace

LONG EnsureHive(Store& s, int nHive, Hive** ppHive) {
    Hive& hive = s.hives[nHive];
    *ppHive = &hive;
    // A system hive read as an unchanging file is opened again once its log is back.
    const bool bRefresh = hive.bReady && hive.bOverlaid && hive.pMain && hive.pMain->HasLogAgain();
    if (hive.bReady && !bRefresh) return ERROR_SUCCESS;
    Locate(s);
    Hive fresh;
    const LONG nResult = OpenHive(s, nHive, &fresh);
    if (nResult != ERROR_SUCCESS) {
        if (!bRefresh) return nResult;
        // The old connection still reads what it read before; try again on the next call.
        t_sLastError.clear();
        return ERROR_SUCCESS;
    }
    fresh.bReady = true;
    hive = std::move(fresh);
    return ERROR_SUCCESS;
}

// The predefined roots, then the keys this process opened.
const KeyHandle* FindHandle(Store& s, HKEY hKey) {
    const auto n = reinterpret_cast<std::uintptr_t>(hKey);
    if (hKey == HKEY_CLASSES_ROOT) return &s.roots[kClasses];
    if (hKey == HKEY_LOCAL_MACHINE) return &s.roots[kMachine];
    if (hKey == HKEY_CURRENT_USER) return &s.roots[kUser];
    const auto it = s.handles.find(n);
    return it == s.handles.end() ? nullptr : &it->second;
}

HKEY AddHandle(Store& s, KeyHandle h) {
    // A handle made from another (a subkey opened below it) starts without the other's enumeration.
    h.pValueList.reset();
    h.valueListStamps.clear();
    const std::uintptr_t n = s.nNextHandle;
    s.nNextHandle += 8;
    s.handles.emplace(n, std::move(h));
    return reinterpret_cast<HKEY>(n);
}

std::string& StoreErrorText() noexcept {
    return t_sLastError;
}

void SetStoreError(std::string text) {
    t_sLastError = std::move(text);
}

}  // namespace comrt::registry
