// The registry calls over the three hive databases (RegistryDb.h holds one database's schema and statements).
//
// A process keeps one connection per database, all behind one mutex; a call holds the mutex from start to end,
// so a call is also atomic against the other threads of the process, and SQLite transactions make it atomic
// against other processes.
//
// A hive the process may not write (a system hive of a process that is not root) is read through an overlay:
// the system database opened read-only below, a per-user database above. A key of such a hive is identified
// by its path, which every call resolves again through both layers; a key of any other hive is identified by
// its row id, which the open handle keeps, so the common calls on an open key cost a single statement.
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "RegistryDb.h"
#include "comrt/registry.h"
#include "comrt/text.h"

namespace {
thread_local std::string t_sLastError;
}  // namespace

void comrt::registry::SetStoreError(std::string text) {
    t_sLastError = std::move(text);
}

namespace {

using namespace comrt::registry;

constexpr const char* kDefaultSystemDir = "/var/lib/corvane-harkwell";

enum HiveIndex : int { kClasses = 0, kMachine = 1, kUser = 2, kHiveCount = 3 };

struct HiveSpec {
    const char* pszFile;
    bool bSystem;
    unsigned nFileMode;
};
// The classes hive is readable by everyone (the service helper of any user reads class registrations); the
// machine hive holds settings and scrambled passwords, so only its owner reads it; the user hive is private.
constexpr HiveSpec kHiveSpecs[kHiveCount] = {
    {"classes.db", true, 0644},
    {"machine.db", true, 0600},
    {"user.db", false, 0600},
};
constexpr unsigned kSystemFolderMode = 0755;
constexpr unsigned kUserFolderMode = 0700;

// The databases a call works on. base: the hive itself, or, when overlaid, the system hive read-only (null
// when there is none or this process may not read it). ov: the overlay (null when not overlaid, or when the
// overlay could not be opened; then the hive is read-only).
struct Layers {
    Database* base = nullptr;
    Database* ov = nullptr;
    bool bOverlaid = false;
};

struct Hive {
    bool bReady = false;
    bool bOverlaid = false;
    std::unique_ptr<Database> pMain;
    std::unique_ptr<Database> pOverlay;
    std::string sOverlayProblem;

    Layers GetLayers() const noexcept { return Layers{pMain.get(), pOverlay.get(), bOverlaid}; }
};

struct KeyHandle {
    int nHive = 0;
    std::vector<std::u16string> path;      // names from the hive root, as stored
    std::vector<std::u16string> pathFold;  // the same, folded
    KeyId id = kRootKey;                   // row id in the hive's database (hives without overlay)
    REGSAM sam = KEY_ALL_ACCESS;
    // The key's values (names, types and sizes) as the last enumeration saw them, and the change stamps of
    // the databases they came from: enumerating by index reads the list once, not once per index.
    std::shared_ptr<const std::vector<ValueRow>> pValueList;
    std::vector<sqlite3_int64> valueListStamps;
};

struct Store {
    // Recursive: a thread that opened a spanning transaction holds it between its calls.
    std::recursive_mutex mutex;
    Database* pSpanning = nullptr;
    std::thread::id spanningThread;
    bool bLocated = false;
    bool bReadOnlySystem = false;
    std::string sSystemDir;
    std::string sUserDir;
    std::string sOverlayDir;
    Hive hives[kHiveCount];
    KeyHandle roots[kHiveCount];
    std::unordered_map<std::uintptr_t, KeyHandle> handles;
    std::uintptr_t nNextHandle = 0x1000;

    void CloseDatabases() noexcept {
        for (auto& hive : hives) hive = Hive{};
    }
};

void OnForkPrepare();
void OnForkParent();
void OnForkChild();
void OnExit();

// Never destroyed: other static objects may close keys while the process ends. The connections are closed at
// exit (and reopened should a later destructor still use the store).
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
    const HiveSpec& spec = kHiveSpecs[nHive];
    if (!spec.bSystem) {
        pFresh->pMain = std::make_unique<Database>(s.sUserDir + "/" + spec.pszFile, Database::Access::kReadWrite,
                                                   spec.nFileMode, kUserFolderMode, false);
        return pFresh->pMain->Open();
    }
    const std::string sPath = s.sSystemDir + "/" + spec.pszFile;
    if (CanWriteSystemHive(s, sPath)) {
        pFresh->pMain =
            std::make_unique<Database>(sPath, Database::Access::kReadWrite, spec.nFileMode, kSystemFolderMode, true);
        return pFresh->pMain->Open();
    }
    pFresh->bOverlaid = true;
    pFresh->pMain =
        std::make_unique<Database>(sPath, Database::Access::kReadOnly, spec.nFileMode, kSystemFolderMode, false);
    LONG nResult = pFresh->pMain->Open();
    if (nResult == ERROR_FILE_NOT_FOUND) {
        pFresh->pMain.reset();
    } else if (nResult != ERROR_SUCCESS) {
        return nResult;
    }
    pFresh->pOverlay = std::make_unique<Database>(s.sOverlayDir + "/" + spec.pszFile, Database::Access::kReadWrite,
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

// A subkey path: names separated by backslashes; empty parts (leading, doubled or trailing separators) are
// ignored.
LONG SplitPath(LPCWSTR psz, std::vector<std::u16string>* pNames) {
    pNames->clear();
    if (!psz) return ERROR_SUCCESS;
    const std::u16string_view s(psz, comrt::Length(psz));
    std::size_t nStart = 0;
    while (nStart <= s.size()) {
        std::size_t nEnd = s.find(u'\\', nStart);
        if (nEnd == std::u16string_view::npos) nEnd = s.size();
        if (nEnd > nStart) {
            if (nEnd - nStart > MAX_REG_NAME) return ERROR_INVALID_PARAMETER;
            pNames->emplace_back(s.substr(nStart, nEnd - nStart));
        }
        nStart = nEnd + 1;
    }
    return ERROR_SUCCESS;
}

LONG ValueName(LPCWSTR psz, std::u16string_view* pName) {
    *pName = psz ? std::u16string_view(psz, comrt::Length(psz)) : std::u16string_view();
    return pName->size() > MAX_REG_NAME ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

LONG OverlayMissing(const Hive& hive) {
    SetStoreError(hive.sOverlayProblem);
    return ERROR_ACCESS_DENIED;
}

// The transaction of one call over the layers it touches.
class Txn {
public:
    Txn() = default;
    ~Txn() {
        if (m_pWrite) m_pWrite->Rollback();
        for (Database* p : m_reads) p->Rollback();
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

    LONG Read(const Layers& layers) {
        for (Database* p : {layers.base, layers.ov}) {
            if (!p) continue;
            const LONG nResult = p->BeginRead();
            if (nResult != ERROR_SUCCESS) return nResult;
            m_reads.push_back(p);
        }
        return ERROR_SUCCESS;
    }

    // The caller made sure the layer written exists.
    LONG Write(const Layers& layers) {
        Database* pWrite = layers.bOverlaid ? layers.ov : layers.base;
        LONG nResult = pWrite->BeginWrite();
        if (nResult != ERROR_SUCCESS) return nResult;
        m_pWrite = pWrite;
        if (layers.bOverlaid && layers.base) {
            nResult = layers.base->BeginRead();
            if (nResult != ERROR_SUCCESS) return nResult;
            m_reads.push_back(layers.base);
        }
        return ERROR_SUCCESS;
    }

    LONG Commit() {
        LONG nResult = ERROR_SUCCESS;
        if (m_pWrite) nResult = m_pWrite->Commit();
        m_pWrite = nullptr;
        for (Database* p : m_reads) p->Rollback();
        m_reads.clear();
        return nResult;
    }

private:
    Database* m_pWrite = nullptr;
    std::vector<Database*> m_reads;
};

// A key as seen through the layers. base/ov: its row in each layer whose content shows (0: none); inBase: the
// system hive has a key at this path below visible content (deleting it in the overlay needs a tombstone).
struct Node {
    KeyId base = 0;
    KeyId ov = 0;
    int ovState = kLive;
    bool inBase = false;
};

class View {
public:
    explicit View(const Layers& layers) noexcept : m_l(layers) {}

    LONG Root(Node* pNode) {
        *pNode = Node{};
        if (m_l.base) {
            pNode->base = kRootKey;
            pNode->inBase = true;
        }
        if (m_l.ov) {
            int nState = kLive;
            bool bFound = false;
            const LONG nResult = m_l.ov->KeyState(kRootKey, &nState, &bFound);
            if (nResult != ERROR_SUCCESS) return nResult;
            if (bFound) {
                pNode->ov = kRootKey;
                pNode->ovState = nState;
                if (nState == kReplaced) pNode->base = 0;
            }
        }
        return ERROR_SUCCESS;
    }

    LONG Child(const Node& parent, std::u16string_view fold, Node* pChild, bool* pbFound,
               std::u16string* pName = nullptr) {
        *pChild = Node{};
        *pbFound = false;
        KeyRow over;
        bool bOver = false;
        if (m_l.ov && parent.ov) {
            const LONG nResult = m_l.ov->FindKey(parent.ov, fold, &over, &bOver);
            if (nResult != ERROR_SUCCESS) return nResult;
            if (bOver && over.state == kDeleted) return ERROR_SUCCESS;
        }
        KeyRow below;
        bool bBelow = false;
        if (m_l.base && parent.base) {
            const LONG nResult = m_l.base->FindKey(parent.base, fold, &below, &bBelow);
            if (nResult != ERROR_SUCCESS) return nResult;
        }
        pChild->inBase = bBelow;
        if (bOver) {
            pChild->ov = over.id;
            pChild->ovState = over.state;
        }
        if (bBelow && pChild->ovState != kReplaced) pChild->base = below.id;
        *pbFound = bOver || bBelow;
        if (pName && *pbFound) *pName = bBelow ? below.name : over.name;
        return ERROR_SUCCESS;
    }

    LONG Resolve(const std::vector<std::u16string>& folds, Node* pNode, bool* pbFound) {
        LONG nResult = Root(pNode);
        *pbFound = true;
        for (const auto& fold : folds) {
            if (nResult != ERROR_SUCCESS) return nResult;
            Node child;
            nResult = Child(*pNode, fold, &child, pbFound);
            if (nResult != ERROR_SUCCESS || !*pbFound) return nResult;
            *pNode = child;
        }
        return nResult;
    }

    // The names of the subkeys in order: the system hive's first, then the overlay's own.
    LONG Subkeys(const Node& node, std::vector<std::u16string>* pNames) {
        pNames->clear();
        std::vector<KeyRow> below;
        std::vector<KeyRow> over;
        if (m_l.base && node.base) {
            const LONG nResult = m_l.base->ListKeys(node.base, &below);
            if (nResult != ERROR_SUCCESS) return nResult;
        }
        if (m_l.ov && node.ov) {
            const LONG nResult = m_l.ov->ListKeys(node.ov, &over);
            if (nResult != ERROR_SUCCESS) return nResult;
        }
        if (over.empty()) {
            for (auto& row : below) pNames->push_back(std::move(row.name));
            return ERROR_SUCCESS;
        }
        std::unordered_map<std::u16string, int> overState;
        for (const auto& row : over) overState.emplace(row.fold, row.state);
        std::unordered_set<std::u16string> seen;
        for (auto& row : below) {
            const auto it = overState.find(row.fold);
            if (it != overState.end() && it->second == kDeleted) continue;
            seen.insert(row.fold);
            pNames->push_back(std::move(row.name));
        }
        for (auto& row : over) {
            if (row.state == kDeleted || seen.count(row.fold)) continue;
            pNames->push_back(std::move(row.name));
        }
        return ERROR_SUCCESS;
    }

    // The values in order: the system hive's first (with the overlay's data where it has its own), then the
    // overlay's own.
    LONG Values(const Node& node, bool bWithData, std::vector<ValueRow>* pRows) {
        pRows->clear();
        std::vector<ValueRow> below;
        std::vector<ValueRow> over;
        if (m_l.base && node.base) {
            const LONG nResult = m_l.base->ListValues(node.base, bWithData, &below);
            if (nResult != ERROR_SUCCESS) return nResult;
        }
        if (m_l.ov && node.ov) {
            const LONG nResult = m_l.ov->ListValues(node.ov, bWithData, &over);
            if (nResult != ERROR_SUCCESS) return nResult;
        }
        if (over.empty()) {
            *pRows = std::move(below);
            return ERROR_SUCCESS;
        }
        std::unordered_map<std::u16string, std::size_t> overIndex;
        for (std::size_t i = 0; i < over.size(); ++i) overIndex.emplace(over[i].fold, i);
        std::unordered_set<std::u16string> seen;
        for (auto& row : below) {
            const auto it = overIndex.find(row.fold);
            seen.insert(row.fold);
            if (it == overIndex.end()) {
                pRows->push_back(std::move(row));
                continue;
            }
            ValueRow& mine = over[it->second];
            if (mine.state == kDeleted) continue;
            mine.name = std::move(row.name);
            pRows->push_back(std::move(mine));
        }
        for (auto& row : over) {
            if (row.state == kDeleted || seen.count(row.fold)) continue;
            pRows->push_back(std::move(row));
        }
        return ERROR_SUCCESS;
    }

    // Calls f(type, data, size) for the value as seen through the layers.
    template <class F>
    LONG Value(const Node& node, std::u16string_view fold, bool* pbFound, F&& f) {
        *pbFound = false;
        if (m_l.ov && node.ov) {
            bool bFound = false;
            bool bHidden = false;
            const LONG nResult =
                m_l.ov->WithValue(node.ov, fold, &bFound, [&](DWORD nType, const BYTE* p, DWORD cb, int nState) {
                    if (nState == kDeleted) {
                        bHidden = true;
                    } else {
                        f(nType, p, cb);
                    }
                });
            if (nResult != ERROR_SUCCESS || bHidden) return nResult;
            if (bFound) {
                *pbFound = true;
                return ERROR_SUCCESS;
            }
        }
        if (m_l.base && node.base) {
            return m_l.base->WithValue(node.base, fold, pbFound,
                                       [&](DWORD nType, const BYTE* p, DWORD cb, int) { f(nType, p, cb); });
        }
        return ERROR_SUCCESS;
    }

    // Makes sure the overlay holds every key of the path, creating what is missing. The first nMustExist
    // names must already exist as seen through the layers (the key of an open handle): otherwise
    // ERROR_KEY_DELETED. *pbCreated tells whether the last key did not exist before.
    LONG EnsureInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                         std::size_t nMustExist, Node* pNode, bool* pbCreated,
                         std::vector<std::u16string>* pStoredNames) {
        LONG nResult = Root(pNode);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (!pNode->ov) return m_l.ov->FailText(ERROR_BADDB, "its root key is missing");
        *pbCreated = false;
        for (std::size_t i = 0; i < folds.size(); ++i) {
            KeyRow over;
            bool bOver = false;
            nResult = m_l.ov->FindKey(pNode->ov, folds[i], &over, &bOver);
            if (nResult != ERROR_SUCCESS) return nResult;
            KeyRow below;
            bool bBelow = false;
            if (m_l.base && pNode->base) {
                nResult = m_l.base->FindKey(pNode->base, folds[i], &below, &bBelow);
                if (nResult != ERROR_SUCCESS) return nResult;
            }
            Node child;
            child.inBase = bBelow;
            bool bCreated = false;
            if (bOver && over.state == kDeleted) {
                if (i < nMustExist) return ERROR_KEY_DELETED;
                // Created again after a delete: the system hive's content stays hidden below it.
                const int nState = bBelow ? kReplaced : kLive;
                nResult = m_l.ov->SetKeyState(over.id, nState);
                if (nResult != ERROR_SUCCESS) return nResult;
                child.ov = over.id;
                child.ovState = nState;
                bCreated = true;
            } else if (bOver) {
                child.ov = over.id;
                child.ovState = over.state;
                if (bBelow && over.state != kReplaced) child.base = below.id;
            } else {
                if (!bBelow && i < nMustExist) return ERROR_KEY_DELETED;
                const std::u16string& name = bBelow ? below.name : names[i];
                nResult = m_l.ov->InsertKey(pNode->ov, name, folds[i], kLive, &child.ov);
                if (nResult != ERROR_SUCCESS) return nResult;
                if (bBelow) child.base = below.id;
                bCreated = !bBelow;
            }
            if (pStoredNames) pStoredNames->push_back(bBelow ? below.name : (bOver ? over.name : names[i]));
            *pNode = child;
            *pbCreated = bCreated;
        }
        return ERROR_SUCCESS;
    }

    // Deletes a key of an overlaid hive with everything below it: a tombstone when the system hive has it.
    LONG DeleteInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                         const Node& node) {
        if (!node.inBase) return node.ov ? m_l.ov->RemoveSubtree(node.ov) : ERROR_SUCCESS;
        return EmptyInOverlay(names, folds, kDeleted);
    }

    // Deletes everything below a key of an overlaid hive, keeping the key.
    LONG ClearInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                        const Node& node) {
        if (!node.base) return node.ov ? m_l.ov->RemoveContents(node.ov) : ERROR_SUCCESS;
        return EmptyInOverlay(names, folds, kReplaced);
    }

private:
    // Gives the key its own row in the overlay, with nothing below it there, in state nState (which hides
    // what the system hive has at or below the key).
    LONG EmptyInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                        int nState) {
        Node chain;
        bool bCreated = false;
        LONG nResult = EnsureInOverlay(names, folds, folds.size(), &chain, &bCreated, nullptr);
        if (nResult == ERROR_SUCCESS) nResult = m_l.ov->RemoveContents(chain.ov);
        if (nResult == ERROR_SUCCESS) nResult = m_l.ov->SetKeyState(chain.ov, nState);
        return nResult;
    }

    Layers m_l;
};

// One call: the store locked for its whole length.
struct Call {
    Store& s;
    std::unique_lock<std::recursive_mutex> lock;
    Call() : s(TheStore()), lock(s.mutex) {}
};

// One call on the key of a handle: the store locked for the call's whole length, the handle found, its hive
// open and, once begun, the call's transaction over the hive's layers. A transaction that is not committed is
// rolled back when the call returns.
class KeyCall {
public:
    // ERROR_INVALID_HANDLE for a handle this process does not hold, ERROR_ACCESS_DENIED when the handle was
    // opened without the access samNeeded asks for (0: none), otherwise why the hive could not be opened.
    LONG Open(HKEY hKey, REGSAM samNeeded = 0) {
        m_pHandle = FindHandle(m_call.s, hKey);
        if (!m_pHandle) return ERROR_INVALID_HANDLE;
        if (samNeeded && !(m_pHandle->sam & samNeeded)) return ERROR_ACCESS_DENIED;
        const LONG nResult = EnsureHive(m_call.s, m_pHandle->nHive, &m_pHive);
        if (nResult != ERROR_SUCCESS) return nResult;
        m_layers = m_pHive->GetLayers();
        return ERROR_SUCCESS;
    }

    // Open, then the write transaction. A hive read through an overlay that could not be opened cannot be
    // changed: ERROR_ACCESS_DENIED, with the overlay's problem as the store error.
    LONG OpenToWrite(HKEY hKey, REGSAM samNeeded = 0) {
        const LONG nResult = Open(hKey, samNeeded);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (m_layers.bOverlaid && !m_layers.ov) return OverlayMissing(*m_pHive);
        return m_txn.Write(m_layers);
    }

    LONG BeginRead() { return m_txn.Read(m_layers); }
    // Ends the transaction: keeps what it wrote, lets go of what it read.
    LONG Commit() { return m_txn.Commit(); }

    const KeyHandle& Handle() const noexcept { return *m_pHandle; }
    // The handle's own record, for what a handle remembers between calls.
    KeyHandle& MutableHandle() noexcept { return const_cast<KeyHandle&>(*m_pHandle); }
    const Layers& GetLayers() const noexcept { return m_layers; }
    HKEY AddHandle(KeyHandle h) { return ::AddHandle(m_call.s, std::move(h)); }

    // The handle's key as seen through the layers; ERROR_KEY_DELETED when it no longer exists.
    LONG KeyNode(Node* pNode) const {
        if (!m_layers.bOverlaid) {
            *pNode = Node{m_pHandle->id, 0, kLive, true};
            int nState = kLive;
            bool bFound = false;
            const LONG nResult = m_layers.base->KeyState(m_pHandle->id, &nState, &bFound);
            if (nResult != ERROR_SUCCESS) return nResult;
            return bFound ? ERROR_SUCCESS : ERROR_KEY_DELETED;
        }
        bool bFound = false;
        const LONG nResult = View(m_layers).Resolve(m_pHandle->pathFold, pNode, &bFound);
        if (nResult != ERROR_SUCCESS) return nResult;
        return bFound ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    }

    // BeginRead, then KeyNode.
    LONG ReadNode(Node* pNode) {
        const LONG nResult = BeginRead();
        return nResult != ERROR_SUCCESS ? nResult : KeyNode(pNode);
    }

    // What a lookup on the handle's own row that found nothing means: nMiss while the key exists,
    // ERROR_KEY_DELETED once it is gone.
    LONG Missing(LONG nMiss) const {
        Node node;
        const LONG nResult = KeyNode(&node);
        return nResult != ERROR_SUCCESS ? nResult : nMiss;
    }

    // Resolves a subkey path below the handle's key. ERROR_KEY_DELETED when the handle's key is gone,
    // ERROR_FILE_NOT_FOUND when the subkey does not exist.
    LONG ResolveBelow(const std::vector<std::u16string>& names, Node* pNode, KeyHandle* pTarget) const {
        LONG nResult = KeyNode(pNode);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (pTarget) *pTarget = *m_pHandle;
        View view(m_layers);
        for (const auto& name : names) {
            std::u16string fold = FoldName(name);
            std::u16string stored;
            Node child;
            bool bFound = false;
            nResult = view.Child(*pNode, fold, &child, &bFound, &stored);
            if (nResult != ERROR_SUCCESS) return nResult;
            if (!bFound) return ERROR_FILE_NOT_FOUND;
            *pNode = child;
            if (pTarget) {
                pTarget->path.push_back(std::move(stored));
                pTarget->pathFold.push_back(std::move(fold));
            }
        }
        if (pTarget) pTarget->id = pNode->base;
        return ERROR_SUCCESS;
    }

private:
    Call m_call;  // first in, last out: the transaction ends while the store is still locked
    const KeyHandle* m_pHandle = nullptr;
    Hive* m_pHive = nullptr;
    Layers m_layers;
    Txn m_txn;
};

// Keys have no class: an empty class name wherever one is asked for.
void NoClass(LPWSTR lpClass, DWORD* lpcchClass) {
    if (lpcchClass) {
        if (lpClass && *lpcchClass > 0) lpClass[0] = 0;
        *lpcchClass = 0;
    }
}

LONG CopyName(std::u16string_view name, LPWSTR pszOut, DWORD* pcch) {
    if (name.size() + 1 > *pcch) {
        *pcch = static_cast<DWORD>(name.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(pszOut, name.data(), name.size() * sizeof(char16_t));
    pszOut[name.size()] = 0;
    *pcch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LONG CopyData(DWORD nType, const BYTE* p, DWORD cb, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    if (lpType) *lpType = nType;
    if (!lpcbData) return ERROR_SUCCESS;
    if (lpData) {
        if (*lpcbData < cb) {
            *lpcbData = cb;
            return ERROR_MORE_DATA;
        }
        if (cb) std::memcpy(lpData, p, cb);
    }
    *lpcbData = cb;
    return ERROR_SUCCESS;
}

void ZeroTime(FILETIME* pft) {
    if (pft) *pft = FILETIME{0, 0};
}

// String data is stored NUL-terminated (a list of strings with the empty string that ends it), whatever the
// caller passed, so that readers can rely on the terminator.
std::vector<BYTE> TerminatedString(DWORD nType, const BYTE* pData, DWORD cbData) {
    std::vector<BYTE> data(pData, pData + cbData);
    if (data.size() % 2) data.push_back(0);
    auto lastIsNul = [&](std::size_t nFromEnd) {
        const std::size_t n = data.size() / 2;
        if (n < nFromEnd) return false;
        const std::size_t i = (n - nFromEnd) * 2;
        return data[i] == 0 && data[i + 1] == 0;
    };
    if (!lastIsNul(1)) data.insert(data.end(), {0, 0});
    if (nType == REG_MULTI_SZ && data.size() >= 4 && !lastIsNul(2)) data.insert(data.end(), {0, 0});
    return data;
}

}  // namespace

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    t_sLastError.clear();
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::u16string> names;
    LONG nResult = SplitPath(lpSubKey, &names);
    if (nResult != ERROR_SUCCESS) return nResult;
    KeyCall call;
    nResult = call.Open(hKey);
    if (nResult == ERROR_SUCCESS) nResult = call.BeginRead();
    Node node;
    KeyHandle target;
    if (nResult == ERROR_SUCCESS) nResult = call.ResolveBelow(names, &node, &target);
    if (nResult != ERROR_SUCCESS) return nResult;
    call.Commit();
    target.sam = samDesired;
    *phkResult = call.AddHandle(std::move(target));
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     void* lpSecurityAttributes, PHKEY phkResult, DWORD* lpdwDisposition) {
    t_sLastError.clear();
    if (!lpSubKey || !phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::u16string> names;
    LONG nResult = SplitPath(lpSubKey, &names);
    if (nResult != ERROR_SUCCESS) return nResult;
    KeyCall call;
    nResult = call.OpenToWrite(hKey);
    if (nResult != ERROR_SUCCESS) return nResult;
    const KeyHandle& h = call.Handle();
    const Layers& layers = call.GetLayers();
    KeyHandle target = h;
    target.sam = samDesired;
    bool bCreated = false;
    if (!layers.bOverlaid) {
        Node node;
        nResult = call.KeyNode(&node);
        if (nResult != ERROR_SUCCESS) return nResult;
        KeyId id = h.id;
        for (const auto& name : names) {
            std::u16string fold = FoldName(name);
            KeyRow row;
            bool bFound = false;
            nResult = layers.base->FindKey(id, fold, &row, &bFound);
            if (nResult != ERROR_SUCCESS) return nResult;
            if (bFound) {
                id = row.id;
                target.path.push_back(std::move(row.name));
            } else {
                nResult = layers.base->InsertKey(id, name, fold, kLive, &id);
                if (nResult != ERROR_SUCCESS) return nResult;
                target.path.push_back(name);
            }
            target.pathFold.push_back(std::move(fold));
            bCreated = !bFound;
        }
        target.id = id;
    } else {
        std::vector<std::u16string> allNames = h.path;
        std::vector<std::u16string> allFolds = h.pathFold;
        for (const auto& name : names) {
            allNames.push_back(name);
            allFolds.push_back(FoldName(name));
        }
        Node node;
        std::vector<std::u16string> stored;
        nResult = View(layers).EnsureInOverlay(allNames, allFolds, h.path.size(), &node, &bCreated, &stored);
        if (nResult != ERROR_SUCCESS) return nResult;
        target.path = std::move(stored);
        target.pathFold = std::move(allFolds);
    }
    nResult = call.Commit();
    if (nResult != ERROR_SUCCESS) return nResult;
    if (lpdwDisposition) *lpdwDisposition = bCreated ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = call.AddHandle(std::move(target));
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    t_sLastError.clear();
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    Call call;
    return call.s.handles.erase(reinterpret_cast<std::uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved, LPWSTR lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
    t_sLastError.clear();
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    KeyCall call;
    LONG nResult = call.Open(hKey);
    if (nResult != ERROR_SUCCESS) return nResult;
    const Layers& layers = call.GetLayers();
    std::u16string name;
    if (!layers.bOverlaid) {
        KeyRow row;
        bool bFound = false;
        nResult = layers.base->KeyAt(call.Handle().id, dwIndex, &row, &bFound);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (!bFound) return call.Missing(ERROR_NO_MORE_ITEMS);
        name = std::move(row.name);
    } else {
        Node node;
        nResult = call.ReadNode(&node);
        std::vector<std::u16string> subkeys;
        if (nResult == ERROR_SUCCESS) nResult = View(layers).Subkeys(node, &subkeys);
        call.Commit();
        if (nResult != ERROR_SUCCESS) return nResult;
        if (dwIndex >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
        name = std::move(subkeys[dwIndex]);
    }
    NoClass(lpClass, lpcchClass);
    ZeroTime(lpftLastWriteTime);
    return CopyName(name, lpName, lpcchName);
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    t_sLastError.clear();
    if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    KeyCall call;
    LONG nResult = call.Open(hKey);
    if (nResult != ERROR_SUCCESS) return nResult;
    const Layers& layers = call.GetLayers();
    Node node;
    nResult = call.ReadNode(&node);
    if (nResult != ERROR_SUCCESS) return nResult;

    // The list is read again only when a database it came from has changed since.
    std::vector<sqlite3_int64> stamps;
    for (Database* p : {layers.base, layers.ov}) {
        if (!p) continue;
        nResult = p->AppendChangeStamp(&stamps);
        if (nResult != ERROR_SUCCESS) return nResult;
    }
    KeyHandle& handle = call.MutableHandle();
    if (!handle.pValueList || handle.valueListStamps != stamps) {
        auto pList = std::make_shared<std::vector<ValueRow>>();
        nResult = layers.bOverlaid ? View(layers).Values(node, false, pList.get())
                                   : layers.base->ListValues(node.base, false, pList.get());
        if (nResult != ERROR_SUCCESS) return nResult;
        handle.pValueList = std::move(pList);
        handle.valueListStamps = std::move(stamps);
    }
    if (dwIndex >= handle.pValueList->size()) return ERROR_NO_MORE_ITEMS;
    const ValueRow& value = (*handle.pValueList)[dwIndex];

    const LONG nName = CopyName(value.name, lpValueName, lpcchValueName);
    if (nName != ERROR_SUCCESS) {
        if (lpType) *lpType = value.type;
        if (lpcbData) *lpcbData = value.size;
        return nName;
    }
    if (!lpData) return CopyData(value.type, nullptr, value.size, lpType, nullptr, lpcbData);
    LONG nCopy = ERROR_SUCCESS;
    auto deliver = [&](DWORD nType, const BYTE* p, DWORD cb) {
        nCopy = CopyData(nType, p, cb, lpType, lpData, lpcbData);
    };
    bool bFound = false;
    nResult = layers.bOverlaid
                  ? View(layers).Value(node, value.fold, &bFound, deliver)
                  : layers.base->WithValue(node.base, value.fold, &bFound,
                                           [&](DWORD nType, const BYTE* p, DWORD cb, int) { deliver(nType, p, cb); });
    if (nResult != ERROR_SUCCESS) return nResult;
    return bFound ? nCopy : ERROR_NO_MORE_ITEMS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    t_sLastError.clear();
    std::u16string_view name;
    if (ValueName(lpValueName, &name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    char16_t fold[MAX_REG_NAME];
    FoldNameInto(name, fold);
    const std::u16string_view foldView(fold, name.size());
    KeyCall call;
    LONG nResult = call.Open(hKey);
    if (nResult != ERROR_SUCCESS) return nResult;
    const Layers& layers = call.GetLayers();
    LONG nCopy = ERROR_SUCCESS;
    auto deliver = [&](DWORD nType, const BYTE* p, DWORD cb) {
        nCopy = CopyData(nType, p, cb, lpType, lpData, lpcbData);
    };
    bool bFound = false;
    if (!layers.bOverlaid) {
        // One statement, atomic by itself; only a miss needs a second look (was the key deleted?).
        nResult = layers.base->WithValue(call.Handle().id, foldView, &bFound,
                                         [&](DWORD nType, const BYTE* p, DWORD cb, int) { deliver(nType, p, cb); });
        if (nResult != ERROR_SUCCESS) return nResult;
        return bFound ? nCopy : call.Missing(ERROR_FILE_NOT_FOUND);
    }
    Node node;
    nResult = call.ReadNode(&node);
    if (nResult == ERROR_SUCCESS) nResult = View(layers).Value(node, foldView, &bFound, deliver);
    if (nResult != ERROR_SUCCESS) return nResult;
    return bFound ? nCopy : ERROR_FILE_NOT_FOUND;
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    t_sLastError.clear();
    std::u16string_view name;
    if (ValueName(lpValueName, &name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> terminated;
    if (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ) {
        terminated = TerminatedString(dwType, lpData, cbData);
        lpData = terminated.data();
        cbData = static_cast<DWORD>(terminated.size());
    }
    const std::u16string fold = FoldName(name);
    KeyCall call;
    LONG nResult = call.OpenToWrite(hKey, KEY_SET_VALUE);
    if (nResult != ERROR_SUCCESS) return nResult;
    const KeyHandle& h = call.Handle();
    const Layers& layers = call.GetLayers();
    Node node;
    if (!layers.bOverlaid) {
        nResult = call.KeyNode(&node);
        if (nResult == ERROR_SUCCESS) nResult = layers.base->PutValue(h.id, name, fold, dwType, lpData, cbData, kLive);
    } else {
        bool bCreated = false;
        nResult = View(layers).EnsureInOverlay(h.path, h.pathFold, h.path.size(), &node, &bCreated, nullptr);
        if (nResult == ERROR_SUCCESS) nResult = layers.ov->PutValue(node.ov, name, fold, dwType, lpData, cbData, kLive);
    }
    if (nResult != ERROR_SUCCESS) return nResult;
    return call.Commit();
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    t_sLastError.clear();
    std::u16string_view name;
    if (ValueName(lpValueName, &name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    const std::u16string fold = FoldName(name);
    KeyCall call;
    LONG nResult = call.OpenToWrite(hKey, KEY_SET_VALUE);
    Node node;
    if (nResult == ERROR_SUCCESS) nResult = call.KeyNode(&node);
    if (nResult != ERROR_SUCCESS) return nResult;
    const KeyHandle& h = call.Handle();
    const Layers& layers = call.GetLayers();
    if (!layers.bOverlaid) {
        bool bRemoved = false;
        nResult = layers.base->RemoveValue(h.id, fold, &bRemoved);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (!bRemoved) return ERROR_FILE_NOT_FOUND;
        return call.Commit();
    }
    View view(layers);
    bool bVisible = false;
    nResult = view.Value(node, fold, &bVisible, [](DWORD, const BYTE*, DWORD) {});
    if (nResult != ERROR_SUCCESS) return nResult;
    if (!bVisible) return ERROR_FILE_NOT_FOUND;
    bool bBelow = false;
    if (layers.base && node.base) {
        nResult = layers.base->WithValue(node.base, fold, &bBelow, [](DWORD, const BYTE*, DWORD, int) {});
        if (nResult != ERROR_SUCCESS) return nResult;
    }
    if (bBelow) {
        // The system hive's value stays; a tombstone in the overlay hides it.
        Node chain;
        bool bCreated = false;
        nResult = view.EnsureInOverlay(h.path, h.pathFold, h.path.size(), &chain, &bCreated, nullptr);
        if (nResult == ERROR_SUCCESS)
            nResult = layers.ov->PutValue(chain.ov, name, fold, REG_NONE, nullptr, 0, kDeleted);
    } else {
        bool bRemoved = false;
        nResult = layers.ov->RemoveValue(node.ov, fold, &bRemoved);
    }
    if (nResult != ERROR_SUCCESS) return nResult;
    return call.Commit();
}

namespace {

// RegDeleteKeyW and RegDeleteTreeW with a subkey.
LONG DeleteKey(HKEY hKey, LPCWSTR lpSubKey, bool bTree) {
    std::vector<std::u16string> names;
    LONG nResult = SplitPath(lpSubKey, &names);
    if (nResult != ERROR_SUCCESS) return nResult;
    KeyCall call;
    nResult = call.OpenToWrite(hKey);
    Node node;
    KeyHandle target;
    if (nResult == ERROR_SUCCESS) nResult = call.ResolveBelow(names, &node, &target);
    if (nResult != ERROR_SUCCESS) return nResult;
    // A hive's root stays.
    if (target.path.empty()) return ERROR_ACCESS_DENIED;
    const Layers& layers = call.GetLayers();
    View view(layers);
    if (!bTree) {
        std::vector<std::u16string> subkeys;
        nResult = view.Subkeys(node, &subkeys);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (!subkeys.empty()) return ERROR_ACCESS_DENIED;
    }
    nResult = layers.bOverlaid ? view.DeleteInOverlay(target.path, target.pathFold, node)
                               : layers.base->RemoveSubtree(node.base);
    if (nResult != ERROR_SUCCESS) return nResult;
    return call.Commit();
}

}  // namespace

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    t_sLastError.clear();
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, lpSubKey, false);
}

LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    t_sLastError.clear();
    std::vector<std::u16string> names;
    LONG nResult = SplitPath(lpSubKey, &names);
    if (nResult != ERROR_SUCCESS) return nResult;
    if (!names.empty()) return DeleteKey(hKey, lpSubKey, true);
    KeyCall call;
    nResult = call.OpenToWrite(hKey);
    Node node;
    if (nResult == ERROR_SUCCESS) nResult = call.KeyNode(&node);
    if (nResult != ERROR_SUCCESS) return nResult;
    const KeyHandle& h = call.Handle();
    const Layers& layers = call.GetLayers();
    nResult =
        layers.bOverlaid ? View(layers).ClearInOverlay(h.path, h.pathFold, node) : layers.base->RemoveContents(h.id);
    if (nResult != ERROR_SUCCESS) return nResult;
    return call.Commit();
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues, DWORD* lpcbMaxValueNameLen,
                      DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) {
    t_sLastError.clear();
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    KeyCall call;
    LONG nResult = call.Open(hKey);
    Node node;
    if (nResult == ERROR_SUCCESS) nResult = call.ReadNode(&node);
    View view(call.GetLayers());
    std::vector<std::u16string> subkeys;
    std::vector<ValueRow> values;
    if (nResult == ERROR_SUCCESS) nResult = view.Subkeys(node, &subkeys);
    if (nResult == ERROR_SUCCESS) nResult = view.Values(node, false, &values);
    if (nResult != ERROR_SUCCESS) return nResult;
    call.Commit();
    DWORD nMaxSubkey = 0;
    for (const auto& name : subkeys) nMaxSubkey = std::max(nMaxSubkey, static_cast<DWORD>(name.size()));
    DWORD nMaxValueName = 0;
    DWORD nMaxValue = 0;
    for (const auto& value : values) {
        nMaxValueName = std::max(nMaxValueName, static_cast<DWORD>(value.name.size()));
        nMaxValue = std::max(nMaxValue, value.size);
    }
    NoClass(lpClass, lpcchClass);
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subkeys.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = nMaxSubkey;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = nMaxValueName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = nMaxValue;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    ZeroTime(lpftLastWriteTime);
    return ERROR_SUCCESS;
}

std::string RegGetStoreDirectory() {
    Call call;
    Locate(call.s);
    return call.s.sSystemDir;
}

std::string RegGetLastStoreError() {
    return t_sLastError;
}

void RegResetStore() {
    Call call;
    call.s.CloseDatabases();
    call.s.handles.clear();
    call.s.bLocated = false;
}

LONG RegBeginTransaction(HKEY hKey) {
    KeyCall call;
    LONG nResult = call.Open(hKey, KEY_SET_VALUE);
    if (nResult != ERROR_SUCCESS) return nResult;
    Store& s = TheStore();
    if (s.pSpanning != nullptr) return ERROR_INVALID_FUNCTION;
    const Layers& layers = call.GetLayers();
    Database* pWrite = layers.bOverlaid ? layers.ov : layers.base;
    if (pWrite == nullptr) return ERROR_ACCESS_DENIED;
    nResult = pWrite->BeginSpanning();
    if (nResult != ERROR_SUCCESS) return nResult;
    s.pSpanning = pWrite;
    s.spanningThread = std::this_thread::get_id();
    s.mutex.lock();  // held until RegEndTransaction: other threads' calls wait for the transaction's end
    return ERROR_SUCCESS;
}

LONG RegEndTransaction(BOOL bCommit) {
    Call call;
    Store& s = call.s;
    if (s.pSpanning == nullptr || s.spanningThread != std::this_thread::get_id()) return ERROR_INVALID_FUNCTION;
    const LONG nResult = s.pSpanning->EndSpanning(bCommit != FALSE);
    s.pSpanning = nullptr;
    s.mutex.unlock();
    return nResult;
}
