// The registry tests' fixture: each test works in a fresh folder of its own (CORVANE_REGISTRY_DIR), with
// helpers that create, read and list keys and values, and one that reads a hive file with SQLite directly.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "comrt/registry.h"
#include "comrt/text.h"

namespace {

namespace fs = std::filesystem;

inline std::string ReadFile(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& sPath, const std::string& sData) {
    std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
    out.write(sData.data(), static_cast<std::streamsize>(sData.size()));
}

inline std::vector<BYTE> Bytes(std::u16string_view s, bool bWithNul = true) {
    std::vector<BYTE> data(reinterpret_cast<const BYTE*>(s.data()), reinterpret_cast<const BYTE*>(s.data() + s.size()));
    if (bWithNul) data.insert(data.end(), {0, 0});
    return data;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/registry_test.XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_sRoot = szTemplate;
        m_sDir = m_sRoot + "/store";
        setenv("CORVANE_REGISTRY_DIR", m_sDir.c_str(), 1);
        setenv("XDG_DATA_HOME", (m_sRoot + "/data").c_str(), 1);
        unsetenv("CORVANE_REGISTRY_READONLY_SYSTEM");
        unsetenv("CORVANE_REGISTRY_OVERLAY_DIR");
        RegResetStore();
    }

    void TearDown() override {
        RegResetStore();
        unsetenv("CORVANE_REGISTRY_READONLY_SYSTEM");
        unsetenv("CORVANE_REGISTRY_OVERLAY_DIR");
        std::error_code ec;
        fs::permissions(m_sRoot, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_sRoot, ec);
    }

    // Reads through a read-only system hive and writes to an overlay in the test's own folder.
    void UseOverlay() {
        setenv("CORVANE_REGISTRY_READONLY_SYSTEM", "1", 1);
        setenv("CORVANE_REGISTRY_OVERLAY_DIR", (m_sRoot + "/overlay").c_str(), 1);
        RegResetStore();
    }
    void UseSystemDirectly() {
        unsetenv("CORVANE_REGISTRY_READONLY_SYSTEM");
        RegResetStore();
    }

    static HKEY Create(HKEY hParent, const char16_t* pszPath, DWORD* pDisposition = nullptr) {
        HKEY hKey = nullptr;
        const LONG n = RegCreateKeyExW(hParent, pszPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                       &hKey, pDisposition);
        EXPECT_EQ(n, ERROR_SUCCESS) << comrt::ToUtf8(pszPath) << ": " << RegGetLastStoreError();
        return hKey;
    }
    static LONG Open(HKEY hParent, const char16_t* pszPath, HKEY* phKey, REGSAM sam = KEY_ALL_ACCESS) {
        return RegOpenKeyExW(hParent, pszPath, 0, sam, phKey);
    }
    static LONG SetString(HKEY hKey, const char16_t* pszName, std::u16string_view value) {
        const auto data = Bytes(value);
        return RegSetValueExW(hKey, pszName, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
    }
    static LONG SetDword(HKEY hKey, const char16_t* pszName, DWORD n) {
        return RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof(n));
    }
    // The value's text without its terminator; "<error N>" when it cannot be read.
    static std::u16string GetString(HKEY hKey, const char16_t* pszName) {
        DWORD nType = 0;
        DWORD cb = 0;
        LONG n = RegQueryValueExW(hKey, pszName, nullptr, &nType, nullptr, &cb);
        if (n != ERROR_SUCCESS) return u"<error " + comrt::ToUtf16(std::to_string(n)) + u">";
        std::u16string s(cb / 2, u'\0');
        n = RegQueryValueExW(hKey, pszName, nullptr, &nType, reinterpret_cast<BYTE*>(s.data()), &cb);
        if (n != ERROR_SUCCESS) return u"<error " + comrt::ToUtf16(std::to_string(n)) + u">";
        EXPECT_EQ(nType, REG_SZ);
        EXPECT_TRUE(!s.empty() && s.back() == 0) << "stored without its terminator";
        if (!s.empty() && s.back() == 0) s.pop_back();
        return s;
    }
    static DWORD GetDword(HKEY hKey, const char16_t* pszName, LONG* pnResult = nullptr) {
        DWORD n = 0;
        DWORD cb = sizeof(n);
        DWORD nType = 0;
        const LONG r = RegQueryValueExW(hKey, pszName, nullptr, &nType, reinterpret_cast<BYTE*>(&n), &cb);
        if (pnResult) *pnResult = r;
        if (r == ERROR_SUCCESS) {
            EXPECT_EQ(nType, REG_DWORD);
        }
        return r == ERROR_SUCCESS ? n : 0xDEADBEEF;
    }
    static std::vector<std::u16string> Subkeys(HKEY hKey) {
        std::vector<std::u16string> names;
        for (DWORD i = 0;; ++i) {
            char16_t sz[MAX_REG_NAME + 1];
            DWORD cch = MAX_REG_NAME + 1;
            const LONG n = RegEnumKeyExW(hKey, i, sz, &cch, nullptr, nullptr, nullptr, nullptr);
            if (n == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(n, ERROR_SUCCESS);
            if (n != ERROR_SUCCESS) break;
            names.emplace_back(sz, cch);
        }
        return names;
    }
    static std::vector<std::u16string> ValueNames(HKEY hKey) {
        std::vector<std::u16string> names;
        for (DWORD i = 0;; ++i) {
            char16_t sz[MAX_REG_NAME + 1];
            DWORD cch = MAX_REG_NAME + 1;
            const LONG n = RegEnumValueW(hKey, i, sz, &cch, nullptr, nullptr, nullptr, nullptr);
            if (n == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(n, ERROR_SUCCESS);
            if (n != ERROR_SUCCESS) break;
            names.emplace_back(sz, cch);
        }
        return names;
    }
    // Value names present in a hive file, read with SQLite directly (not through the store).
    static std::vector<std::string> ValueNamesInFile(const std::string& sPath) {
        std::vector<std::string> names;
        sqlite3* pDb = nullptr;
        if (sqlite3_open_v2(sPath.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* p = nullptr;
            if (sqlite3_prepare_v2(pDb, "SELECT name FROM vals WHERE state = 0 ORDER BY name", -1, &p, nullptr) ==
                SQLITE_OK) {
                while (sqlite3_step(p) == SQLITE_ROW)
                    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(p, 0)));
            }
            sqlite3_finalize(p);
        }
        sqlite3_close(pDb);
        return names;
    }

    std::string m_sRoot;
    std::string m_sDir;
};

using V = std::vector<std::u16string>;

}  // namespace
