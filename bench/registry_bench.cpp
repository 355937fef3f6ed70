// Reading a small value from the registry store against reading the same row with SQLite directly through a
// prepared statement, in the same run and the same database file. The store's figure includes the handle
// lookup, the name folding, the lock and the copy into the caller's buffer; the target is at most 3 times the
// direct read. A third figure shows the cost of a key of a system hive read through a per-user overlay, where
// each call resolves the key's path through both layers.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "comrt/registry.h"

namespace {

const char16_t* const kPath = u"SOFTWARE\\Corvane\\Harkwell\\Bench";
const char* const kPathParts[] = {"software", "corvane", "harkwell", "bench"};

// A store of its own in a temporary folder, with HKLM\SOFTWARE\Corvane\Harkwell\Bench holding a DWORD "Level"
// among a few other values.
const std::string& StoreFolder() {
    // Never destroyed: the exit handler below still needs it.
    static const std::string& sFolder = *[] {
        char szTemplate[] = "/tmp/registry_bench.XXXXXX";
        std::string s = mkdtemp(szTemplate) ? szTemplate : "/tmp/registry_bench";
        setenv("CORVANE_REGISTRY_DIR", (s + "/store").c_str(), 1);
        setenv("CORVANE_REGISTRY_OVERLAY_DIR", (s + "/overlay").c_str(), 1);
        unsetenv("CORVANE_REGISTRY_READONLY_SYSTEM");
        RegResetStore();
        HKEY hKey = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) !=
            ERROR_SUCCESS) {
            std::fprintf(stderr, "cannot create the bench key: %s\n", RegGetLastStoreError().c_str());
            std::exit(1);
        }
        for (DWORD i = 0; i < 20; ++i) {
            const std::u16string name = u"Other" + std::u16string(1, static_cast<char16_t>(u'A' + i));
            RegSetValueExW(hKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof(i));
        }
        const DWORD nLevel = 42;
        RegSetValueExW(hKey, u"Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nLevel), sizeof(nLevel));
        RegCloseKey(hKey);
        auto* pFolder = new std::string(s);
        std::atexit([] {
            RegResetStore();
            std::error_code ec;
            std::filesystem::remove_all(StoreFolder(), ec);
        });
        return pFolder;
    }();
    return sFolder;
}

void UseOverlay(bool bOverlay) {
    StoreFolder();
    if (bOverlay) {
        setenv("CORVANE_REGISTRY_READONLY_SYSTEM", "1", 1);
    } else {
        unsetenv("CORVANE_REGISTRY_READONLY_SYSTEM");
    }
    RegResetStore();
}

void QueryLevel(benchmark::State& state) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        state.SkipWithError("cannot open the bench key");
        return;
    }
    for (auto _ : state) {
        DWORD nType = 0;
        DWORD nValue = 0;
        DWORD cb = sizeof(nValue);
        const LONG n = RegQueryValueExW(hKey, u"Level", nullptr, &nType, reinterpret_cast<BYTE*>(&nValue), &cb);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(nValue);
    }
    RegCloseKey(hKey);
}

void BM_RegistryQueryValue(benchmark::State& state) {
    UseOverlay(false);
    QueryLevel(state);
}
BENCHMARK(BM_RegistryQueryValue);

void BM_SqliteDirectPreparedRead(benchmark::State& state) {
    UseOverlay(false);
    const std::string sPath = StoreFolder() + "/store/machine.db";
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(sPath.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        state.SkipWithError("cannot open machine.db");
        sqlite3_close(pDb);
        return;
    }
    // The key's row id, found once, as an open key holds it.
    sqlite3_int64 nKey = 1;
    sqlite3_stmt* pFind = nullptr;
    sqlite3_prepare_v2(pDb, "SELECT id FROM keys WHERE parent = ?1 AND name_fold = ?2", -1, &pFind, nullptr);
    for (const char* pszPart : kPathParts) {
        sqlite3_reset(pFind);
        sqlite3_bind_int64(pFind, 1, nKey);
        sqlite3_bind_text(pFind, 2, pszPart, -1, SQLITE_STATIC);
        nKey = sqlite3_step(pFind) == SQLITE_ROW ? sqlite3_column_int64(pFind, 0) : -1;
    }
    sqlite3_finalize(pFind);
    sqlite3_stmt* p = nullptr;
    sqlite3_prepare_v2(pDb, "SELECT type, data FROM vals WHERE key = ?1 AND name_fold = ?2", -1, &p, nullptr);
    sqlite3_bind_int64(p, 1, nKey);
    sqlite3_bind_text16(p, 2, u"level", 10, SQLITE_STATIC);
    for (auto _ : state) {
        sqlite3_reset(p);
        if (sqlite3_step(p) != SQLITE_ROW) {
            state.SkipWithError("the row is missing");
            break;
        }
        DWORD nType = static_cast<DWORD>(sqlite3_column_int(p, 0));
        DWORD nValue = 0;
        const void* pData = sqlite3_column_blob(p, 1);
        if (pData && sqlite3_column_bytes(p, 1) == sizeof(nValue)) std::memcpy(&nValue, pData, sizeof(nValue));
        benchmark::DoNotOptimize(nType);
        benchmark::DoNotOptimize(nValue);
    }
    sqlite3_finalize(p);
    sqlite3_close(pDb);
}
BENCHMARK(BM_SqliteDirectPreparedRead);

void BM_RegistryQueryValueThroughOverlay(benchmark::State& state) {
    UseOverlay(true);
    QueryLevel(state);
    UseOverlay(false);
}
BENCHMARK(BM_RegistryQueryValueThroughOverlay);

}  // namespace

BENCHMARK_MAIN();
