// The registry's store: where the hive databases live, opening them (with the per-user overlay of a system
// hive the process may not write), the process's open key handles, and the store's behaviour across fork and
// exit. A process keeps one connection per database, all behind one mutex; a call holds the mutex from start
// to end, so a call is also atomic against the other threads of the process, and SQLite transactions make it
// atomic against other processes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "RegistryDb.h"
#include "comrt/registry.h"

namespace comrt::registry {

enum HiveIndex : int { kClasses = 0, kMachine = 1, kUser = 2, kHiveCount = 3 };

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

// The store, made on first use and never destroyed: other static objects may close keys while the process
// ends. The connections are closed at exit (and reopened should a later destructor still use the store).
Store& TheStore();
// Reads where the hives live from the environment, once until the store is reset.
void Locate(Store& s);
// Opens the hive when it is not open yet (or reopens a read-only system hive whose log is back).
LONG EnsureHive(Store& s, int nHive, Hive** ppHive);
// The predefined roots, then the keys this process opened; nullptr for a handle it does not hold.
const KeyHandle* FindHandle(Store& s, HKEY hKey);
HKEY AddHandle(Store& s, KeyHandle h);
// The calling thread's last store failure, as RegGetLastStoreError answers it.
std::string& StoreErrorText() noexcept;

}  // namespace comrt::registry
