// The registry calls: keys, values, enumeration order, deletion, bad arguments, several processes and threads
// at once. Every test works in a fresh folder of its own (CORVANE_REGISTRY_DIR).
// One file (about 630 lines) for the calls' behaviour as a caller sees it; the store's own files and the
// tool have registry_store_test.cpp.
#include <dlfcn.h>

#include "RegistryTestSupport.h"

namespace {

// Refusals of the database library on demand, as it gives them when memory runs out or another connection
// holds a lock: the next bind of a blob parameter, and every undo of a failed call's savepoint while set.
std::atomic<bool> g_bRefuseNextBlobBind{false};
std::atomic<bool> g_bRefuseSavepointUndo{false};

template <class Function>
Function Next(const char* pszName) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, pszName));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_bind_blob64(sqlite3_stmt* pStatement, int i,
                                                                          const void* pvData, sqlite3_uint64 cbData,
                                                                          void (*pfnDestroy)(void*)) {
    static const auto pfnBind =
        Next<int (*)(sqlite3_stmt*, int, const void*, sqlite3_uint64, void (*)(void*))>("sqlite3_bind_blob64");
    if (g_bRefuseNextBlobBind.exchange(false)) return SQLITE_NOMEM;
    return pfnBind(pStatement, i, pvData, cbData, pfnDestroy);
}

extern "C" __attribute__((visibility("default"))) int sqlite3_exec(sqlite3* pDb, const char* pszSql,
                                                                   int (*pfnRow)(void*, int, char**, char**),
                                                                   void* pvContext, char** ppszError) {
    static const auto pfnExec =
        Next<int (*)(sqlite3*, const char*, int (*)(void*, int, char**, char**), void*, char**)>("sqlite3_exec");
    if (g_bRefuseSavepointUndo && strncmp(pszSql, "ROLLBACK TO", 11) == 0) return SQLITE_BUSY;
    return pfnExec(pDb, pszSql, pfnRow, pvContext, ppszError);
}

namespace {

TEST_F(RegistryTest, CreateOpenAndCloseKeys) {
    DWORD nDisposition = 0;
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvane\\Harkwell", &nDisposition);
    ASSERT_NE(hKey, nullptr);
    EXPECT_EQ(nDisposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(SetDword(hKey, u"Level", 3), ERROR_SUCCESS);
    HKEY hAgain = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvane\\Harkwell", &nDisposition);
    EXPECT_EQ(nDisposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(GetDword(hAgain, u"Level"), 3u);

    // A path from a root, and a path relative to an open key.
    HKEY hCorvane = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvane", &hCorvane), ERROR_SUCCESS);
    HKEY hRelative = nullptr;
    ASSERT_EQ(Open(hCorvane, u"Harkwell", &hRelative), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(hRelative, u"Level"), 3u);
    EXPECT_EQ(Subkeys(hCorvane), V{u"Harkwell"});

    // The handles are distinct and each is closed once.
    EXPECT_NE(hKey, hAgain);
    for (HKEY h : {hKey, hAgain, hCorvane, hRelative}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(hKey), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetDword(hKey, u"Level"), 0xDEADBEEF);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);

    HKEY hMissing = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nobody", &hMissing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(hMissing, nullptr);
    HKEY hBogus = nullptr;
    EXPECT_EQ(Open(reinterpret_cast<HKEY>(0x5678), u"x", &hBogus), ERROR_INVALID_HANDLE);

    // The three hives are separate.
    HKEY hUser = nullptr;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"SOFTWARE\\Corvane", &hUser), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"SOFTWARE\\Corvane", &hUser), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(fs::exists(m_sDir + "/machine.db"));
    EXPECT_EQ(RegGetStoreDirectory(), m_sDir);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirs) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Software\\MixedCase");
    DWORD nDisposition = 0;
    HKEY hUpper = Create(HKEY_CURRENT_USER, u"SOFTWARE\\MIXEDCASE", &nDisposition);
    EXPECT_EQ(nDisposition, REG_OPENED_EXISTING_KEY);
    HKEY hSoftware = nullptr;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"software", &hSoftware), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hSoftware), V{u"MixedCase"});

    EXPECT_EQ(SetString(hKey, u"ValueName", u"one"), ERROR_SUCCESS);
    EXPECT_EQ(GetString(hUpper, u"VALUENAME"), u"one");
    EXPECT_EQ(SetString(hUpper, u"valuename", u"two"), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), V{u"ValueName"});
    EXPECT_EQ(GetString(hKey, u"ValueName"), u"two");

    // Latin-1 letters fold too (what comrt::CompareNoCase ignores): the store agrees with it for every
    // character of the first two Unicode blocks and a few beyond.
    HKEY hFold = Create(HKEY_CURRENT_USER, u"Fold");
    std::vector<std::u16string> created;
    for (char16_t c = 0x20; c < 0x250; ++c) {
        if (c == u'\\') continue;
        const std::u16string name = std::u16string(u"k") + c;
        bool bExpectNew = true;
        for (const auto& other : created) bExpectNew = bExpectNew && !comrt::EqualsNoCase(other, name);
        HKEY h = Create(hFold, name.c_str(), &nDisposition);
        EXPECT_EQ(nDisposition, bExpectNew ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY) << int(c);
        if (bExpectNew) created.push_back(name);
        RegCloseKey(h);
    }
    EXPECT_EQ(Subkeys(hFold), created);
    for (HKEY h : {hKey, hUpper, hSoftware, hFold}) RegCloseKey(h);
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrder) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Order");
    for (const char16_t* psz : {u"charlie", u"alpha", u"bravo", u"delta"}) RegCloseKey(Create(hKey, psz));
    EXPECT_EQ(Subkeys(hKey), (V{u"charlie", u"alpha", u"bravo", u"delta"}));
    EXPECT_EQ(RegDeleteKeyW(hKey, u"alpha"), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hKey), (V{u"charlie", u"bravo", u"delta"}));
    RegCloseKey(Create(hKey, u"Alpha"));
    EXPECT_EQ(Subkeys(hKey), (V{u"charlie", u"bravo", u"delta", u"Alpha"}));

    for (const char16_t* psz : {u"z", u"y", u"", u"x"}) EXPECT_EQ(SetDword(hKey, psz, 1), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), (V{u"z", u"y", u"", u"x"}));
    EXPECT_EQ(RegDeleteValueW(hKey, u"y"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(hKey, u"Z", 2), ERROR_SUCCESS);  // replacing keeps the place (and the name's case)
    EXPECT_EQ(ValueNames(hKey), (V{u"z", u"", u"x"}));
    EXPECT_EQ(SetDword(hKey, u"y", 3), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), (V{u"z", u"", u"x", u"y"}));

    // The same order from another process's point of view: a fresh connection.
    RegCloseKey(hKey);
    RegResetStore();
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Order", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hKey), (V{u"charlie", u"bravo", u"delta", u"Alpha"}));
    EXPECT_EQ(ValueNames(hKey), (V{u"z", u"", u"x", u"y"}));

    // Too small a buffer: ERROR_MORE_DATA and the length needed.
    char16_t sz[4];
    DWORD cch = 4;
    EXPECT_EQ(RegEnumKeyExW(hKey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(cch, 7u);
    char16_t szFits[8];
    cch = 8;
    EXPECT_EQ(RegEnumKeyExW(hKey, 0, szFits, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(cch, 7u);
    EXPECT_EQ(std::u16string(szFits), u"charlie");
    cch = 4;
    EXPECT_EQ(RegEnumKeyExW(hKey, 4, sz, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    cch = 4;
    EXPECT_EQ(RegEnumValueW(hKey, 4, sz, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTrip) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Types");
    const ULONGLONG nQword = 0x1122334455667788ull;
    const DWORD nDword = 42;
    struct Case {
        const char16_t* pszName;
        DWORD nType;
        std::vector<BYTE> data;
    };
    const std::vector<Case> cases = {
        {u"", REG_SZ, Bytes(u"default text")},
        {u"Sz", REG_SZ, Bytes(u"héllo wörld €")},
        {u"EmptySz", REG_SZ, Bytes(u"")},
        {u"Expand", REG_EXPAND_SZ, Bytes(u"%HOME%/x")},
        {u"Binary", REG_BINARY, {0, 1, 2, 0xFF, 0, 7}},
        {u"EmptyBinary", REG_BINARY, {}},
        {u"Dword", REG_DWORD,
         std::vector<BYTE>(reinterpret_cast<const BYTE*>(&nDword), reinterpret_cast<const BYTE*>(&nDword) + 4)},
        {u"Qword", REG_QWORD,
         std::vector<BYTE>(reinterpret_cast<const BYTE*>(&nQword), reinterpret_cast<const BYTE*>(&nQword) + 8)},
        {u"Multi", REG_MULTI_SZ, Bytes(std::u16string_view(u"one\0two\0\0", 9), false)},
        {u"None", REG_NONE, {9, 8}},
        {u"Custom", 0x1234, {5}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(RegSetValueExW(hKey, c.pszName, 0, c.nType, c.data.empty() ? nullptr : c.data.data(),
                                 static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS);
    }
    RegCloseKey(hKey);
    RegResetStore();
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Types", &hKey, KEY_READ), ERROR_SUCCESS);
    for (const auto& c : cases) {
        DWORD nType = 0;
        std::vector<BYTE> data(c.data.size() + 8, 0xCC);
        DWORD cb = static_cast<DWORD>(data.size());
        ASSERT_EQ(RegQueryValueExW(hKey, c.pszName, nullptr, &nType, data.data(), &cb), ERROR_SUCCESS);
        data.resize(cb);
        EXPECT_EQ(nType, c.nType) << comrt::ToUtf8(c.pszName);
        EXPECT_EQ(data, c.data) << comrt::ToUtf8(c.pszName);
    }
    // The default value is also reached with a null name.
    EXPECT_EQ(GetString(hKey, nullptr), u"default text");
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, StringsAreStoredWithTheirTerminator) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Strings");
    const std::u16string text = u"abc";
    // Without the terminator: one is added.
    ASSERT_EQ(RegSetValueExW(hKey, u"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()), 6), ERROR_SUCCESS);
    DWORD cb = 0;
    DWORD nType = 0;
    ASSERT_EQ(RegQueryValueExW(hKey, u"Bare", nullptr, &nType, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 8u);
    EXPECT_EQ(GetString(hKey, u"Bare"), u"abc");
    // With it: stored as given.
    ASSERT_EQ(RegSetValueExW(hKey, u"Full", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), 8), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(hKey, u"Full", nullptr, &nType, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 8u);
    // No data at all: the empty string.
    ASSERT_EQ(RegSetValueExW(hKey, u"Nothing", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(hKey, u"Nothing", nullptr, &nType, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 2u);
    // A list of strings ends with an empty one.
    const std::u16string_view list(u"a\0b", 3);
    ASSERT_EQ(RegSetValueExW(hKey, u"List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()), 6),
              ERROR_SUCCESS);
    std::u16string stored(8, u'?');
    cb = 16;
    ASSERT_EQ(RegQueryValueExW(hKey, u"List", nullptr, &nType, reinterpret_cast<BYTE*>(stored.data()), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(stored.data(), cb / 2), std::u16string(u"a\0b\0\0", 5));
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, SizeQueriesAndTooSmallBuffers) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Sizes");
    ASSERT_EQ(SetString(hKey, u"Text", u"0123456789"), ERROR_SUCCESS);
    DWORD nType = 0;
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(hKey, u"Text", nullptr, &nType, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(nType, REG_SZ);
    EXPECT_EQ(cb, 22u);
    // Only whether it exists.
    EXPECT_EQ(RegQueryValueExW(hKey, u"Text", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    std::vector<BYTE> buffer(22, 0xAA);
    cb = 21;
    nType = 0;
    EXPECT_EQ(RegQueryValueExW(hKey, u"Text", nullptr, &nType, buffer.data(), &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 22u);
    EXPECT_EQ(nType, REG_SZ);
    EXPECT_EQ(buffer[0], 0xAA) << "nothing is written on ERROR_MORE_DATA";
    cb = 22;
    EXPECT_EQ(RegQueryValueExW(hKey, u"Text", nullptr, &nType, buffer.data(), &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 22u);
    EXPECT_EQ(buffer, Bytes(u"0123456789"));

    // Enumeration reports the same sizes.
    char16_t szName[16];
    DWORD cchName = 16;
    cb = 4;
    EXPECT_EQ(RegEnumValueW(hKey, 0, szName, &cchName, nullptr, &nType, buffer.data(), &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 22u);
    cchName = 16;
    cb = 0;
    EXPECT_EQ(RegEnumValueW(hKey, 0, szName, &cchName, nullptr, &nType, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 22u);
    EXPECT_EQ(std::u16string(szName, cchName), u"Text");
    cchName = 4;
    EXPECT_EQ(RegEnumValueW(hKey, 0, szName, &cchName, nullptr, &nType, nullptr, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cchName, 4u);

    // Counts and longest lengths of a key.
    RegCloseKey(Create(hKey, u"Sub"));
    RegCloseKey(Create(hKey, u"LongerSubkey"));
    ASSERT_EQ(SetDword(hKey, u"AVeryLongValueName", 1), ERROR_SUCCESS);
    DWORD nSubkeys = 0, nMaxSubkey = 0, nValues = 0, nMaxValueName = 0, nMaxValue = 0, cchClass = 5;
    char16_t szClass[5] = u"xxxx";
    FILETIME ft{1, 1};
    EXPECT_EQ(RegQueryInfoKeyW(hKey, szClass, &cchClass, nullptr, &nSubkeys, &nMaxSubkey, nullptr, &nValues,
                               &nMaxValueName, &nMaxValue, nullptr, &ft),
              ERROR_SUCCESS);
    EXPECT_EQ(nSubkeys, 2u);
    EXPECT_EQ(nMaxSubkey, 12u);
    EXPECT_EQ(nValues, 2u);
    EXPECT_EQ(nMaxValueName, 18u);
    EXPECT_EQ(nMaxValue, 22u);
    EXPECT_EQ(cchClass, 0u);
    EXPECT_EQ(szClass[0], 0);
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, MissingKeysAndValues) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Present");
    HKEY hOther = nullptr;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Present\\Absent", &hOther), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Absent\\Present", &hOther), ERROR_FILE_NOT_FOUND);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(hKey, u"Nothing", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(hKey, nullptr, nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(hKey, u"Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(hKey, u"Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeW(hKey, u"Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegGetLastStoreError(), "") << "a missing key is no failure of the store";
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, DeletingKeys) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Parent\\Child\\Grandchild");
    ASSERT_EQ(SetDword(hKey, u"v", 1), ERROR_SUCCESS);
    RegCloseKey(hKey);
    RegCloseKey(Create(HKEY_CURRENT_USER, u"Parent\\Sibling"));

    // A key with subkeys stays.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Parent\\Child"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Parent\\Child\\Grandchild", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(hKey, u"v"), 1u);
    // A hive's root stays.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"\\"), ERROR_SUCCESS) << "an empty path is the key itself";
    EXPECT_EQ(Subkeys(HKEY_CURRENT_USER), V{});

    // Build it again; delete the leaf through the handle of the key itself, then its parent.
    RegCloseKey(hKey);
    hKey = Create(HKEY_CURRENT_USER, u"Parent\\Child\\Grandchild");
    RegCloseKey(Create(HKEY_CURRENT_USER, u"Parent\\Sibling"));
    EXPECT_EQ(RegDeleteKeyW(hKey, u""), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Parent\\Child"), ERROR_SUCCESS);
    HKEY hParent = nullptr;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Parent", &hParent), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hParent), V{u"Sibling"});

    // A handle whose key was deleted: every later call on it says so, and nothing is written below it.
    for (LONG n : {SetDword(hKey, u"w", 1), RegDeleteValueW(hKey, u"v"),
                   RegQueryValueExW(hKey, u"v", nullptr, nullptr, nullptr, nullptr)}) {
        EXPECT_TRUE(n == ERROR_KEY_DELETED || n == ERROR_FILE_NOT_FOUND) << n;
    }
    HKEY hBelow = nullptr;
    EXPECT_EQ(RegCreateKeyExW(hKey, u"Below", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hBelow, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(Open(hKey, u"", &hBelow), ERROR_KEY_DELETED);
    char16_t sz[8];
    DWORD cch = 8;
    EXPECT_EQ(RegEnumKeyExW(hKey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &cch, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_KEY_DELETED);
    // Created again by path: a new key, which the old handle does not reach.
    RegCloseKey(Create(HKEY_CURRENT_USER, u"Parent\\Child\\Grandchild"));
    EXPECT_EQ(SetDword(hKey, u"w", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(hKey), ERROR_SUCCESS);
    RegCloseKey(hParent);
}

TEST_F(RegistryTest, DeletingTrees) {
    HKEY hTop = Create(HKEY_CURRENT_USER, u"Top");
    ASSERT_EQ(SetDword(hTop, u"keep", 1), ERROR_SUCCESS);
    for (const char16_t* psz : {u"A\\B\\C", u"A\\B2", u"D"}) {
        HKEY h = Create(hTop, psz);
        EXPECT_EQ(SetDword(h, u"v", 2), ERROR_SUCCESS);
        RegCloseKey(h);
    }
    // A subtree, leaving its siblings.
    EXPECT_EQ(RegDeleteTreeW(hTop, u"a"), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hTop), V{u"D"});
    HKEY h = nullptr;
    EXPECT_EQ(Open(hTop, u"A\\B\\C", &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetDword(hTop, u"keep"), 1u);

    // Everything below the key (values too), keeping the key.
    RegCloseKey(Create(hTop, u"E\\F"));
    EXPECT_EQ(RegDeleteTreeW(hTop, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hTop), V{});
    EXPECT_EQ(ValueNames(hTop), V{});
    EXPECT_EQ(SetDword(hTop, u"after", 3), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(HKEY_CURRENT_USER), V{u"Top"});
    RegCloseKey(hTop);
}

TEST_F(RegistryTest, BadArgumentsAreRefused) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Args");
    DWORD cb = 4;
    DWORD n = 0;
    // Null pointers where results go.
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Args", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Args", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    HKEY hOut = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &hOut, nullptr),
              ERROR_INVALID_PARAMETER);
    ASSERT_EQ(SetDword(hKey, u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(hKey, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&n), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(hKey, u"v", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExW(hKey, 0, nullptr, &cb, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    char16_t sz[4];
    EXPECT_EQ(RegEnumKeyExW(hKey, 0, sz, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueW(hKey, 0, nullptr, &cb, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueW(hKey, 0, sz, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueW(hKey, 0, sz, &cb, nullptr, nullptr, reinterpret_cast<BYTE*>(&n), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(hKey, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryInfoKeyW(hKey, sz, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    // Names of 255 characters are the longest.
    const std::u16string longest(MAX_REG_NAME, u'n');
    const std::u16string tooLong(MAX_REG_NAME + 1, u'n');
    EXPECT_EQ(SetDword(hKey, longest.c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(hKey, tooLong.c_str(), 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(hKey, tooLong.c_str(), nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteValueW(hKey, tooLong.c_str()), ERROR_INVALID_PARAMETER);
    HKEY hLong = nullptr;
    EXPECT_EQ(RegCreateKeyExW(hKey, longest.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &hLong, nullptr), ERROR_SUCCESS);
    RegCloseKey(hLong);
    EXPECT_EQ(RegCreateKeyExW(hKey, (u"ok\\" + tooLong).c_str(), 0, nullptr, 0, KEY_READ, nullptr, &hLong, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open(hKey, tooLong.c_str(), &hLong), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Subkeys(hKey), V{longest});
    char16_t szName[MAX_REG_NAME + 1];
    DWORD cch = MAX_REG_NAME + 1;
    EXPECT_EQ(RegEnumValueW(hKey, 1, szName, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(szName, cch), longest);

    // A key opened for reading only may not change values.
    HKEY hRead = nullptr;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Args", &hRead, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(hRead, u"v", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(hRead, u"v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetDword(hRead, u"v"), 1u);
    RegCloseKey(hRead);
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, TwoProcessesWriteTheSameKeyAtOnce) {
    RegCloseKey(Create(HKEY_CURRENT_USER, u"Shared"));
    RegCloseKey(Create(HKEY_CLASSES_ROOT, u"Shared"));
    // The children open connections of their own; the parent holds none while they run.
    RegResetStore();
    constexpr int kValues = 200;
    pid_t children[2] = {};
    for (int nChild = 0; nChild < 2; ++nChild) {
        children[nChild] = fork();
        ASSERT_GE(children[nChild], 0);
        if (children[nChild] == 0) {
            int nFailures = 0;
            for (int i = 0; i < kValues; ++i) {
                HKEY hKey = nullptr;
                const HKEY hRoot = i % 2 ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
                if (RegOpenKeyExW(hRoot, u"Shared", 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
                    ++nFailures;
                    continue;
                }
                const std::u16string name = comrt::ToUtf16("p" + std::to_string(nChild) + "-" + std::to_string(i));
                const DWORD n = static_cast<DWORD>(i);
                if (RegSetValueExW(hKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4) !=
                    ERROR_SUCCESS)
                    ++nFailures;
                RegCloseKey(hKey);
            }
            _exit(nFailures == 0 ? 0 : 1);
        }
    }
    for (pid_t pid : children) {
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "a child's write failed";
    }
    DWORD nTotal = 0;
    for (HKEY hRoot : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
        HKEY hKey = nullptr;
        ASSERT_EQ(Open(hRoot, u"Shared", &hKey), ERROR_SUCCESS);
        DWORD nValues = 0;
        ASSERT_EQ(RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nValues, nullptr,
                                   nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        nTotal += nValues;
        for (int nChild = 0; nChild < 2; ++nChild) {
            for (int i = (hRoot == HKEY_CURRENT_USER); i < kValues; i += 2) {
                const std::u16string name = comrt::ToUtf16("p" + std::to_string(nChild) + "-" + std::to_string(i));
                EXPECT_EQ(GetDword(hKey, name.c_str()), static_cast<DWORD>(i));
            }
        }
        RegCloseKey(hKey);
    }
    EXPECT_EQ(nTotal, 2u * kValues);
}

TEST_F(RegistryTest, SpanningTransactionCommitsTogetherOrNotAtAll) {
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, u"Software\\List");
    ASSERT_EQ(SetDword(hKey, u"1", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(hKey, u"2", 2), ERROR_SUCCESS);

    // A process that dies inside the transaction leaves the list as it was.
    RegCloseKey(hKey);
    RegResetStore();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HKEY hChild = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\List", 0, KEY_ALL_ACCESS, &hChild) != ERROR_SUCCESS ||
            RegBeginTransaction(hChild) != ERROR_SUCCESS || SetDword(hChild, u"1", 100) != ERROR_SUCCESS ||
            RegDeleteValueW(hChild, u"2") != ERROR_SUCCESS || SetDword(hChild, u"3", 3) != ERROR_SUCCESS)
            _exit(1);
        _exit(0);  // no end: as if the process crashed in the middle
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\List", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), (V{u"1", u"2"}));
    EXPECT_EQ(GetDword(hKey, u"1"), 1u);

    // Inside the transaction the thread sees its own changes; a failed call undoes only itself; rolling back
    // forgets everything.
    ASSERT_EQ(RegBeginTransaction(hKey), ERROR_SUCCESS);
    EXPECT_EQ(RegBeginTransaction(hKey), ERROR_INVALID_FUNCTION);
    ASSERT_EQ(SetDword(hKey, u"3", 3), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(hKey, u"missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ValueNames(hKey), (V{u"1", u"2", u"3"}));
    ASSERT_EQ(RegEndTransaction(FALSE), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), (V{u"1", u"2"}));
    EXPECT_EQ(RegEndTransaction(TRUE), ERROR_INVALID_FUNCTION);

    // Committed, all of it arrives; another thread's call waits for the end and then sees it whole.
    ASSERT_EQ(RegBeginTransaction(hKey), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(hKey, u"1", 10), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(hKey, u"2"), ERROR_SUCCESS);
    std::vector<std::u16string> SeenByOther;
    std::thread Other([&] { SeenByOther = ValueNames(hKey); });
    ASSERT_EQ(SetDword(hKey, u"4", 4), ERROR_SUCCESS);
    ASSERT_EQ(RegEndTransaction(TRUE), ERROR_SUCCESS);
    Other.join();
    EXPECT_EQ(SeenByOther, (V{u"1", u"4"}));
    EXPECT_EQ(GetDword(hKey, u"1"), 10u);
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, RefusalsOfTheDatabaseFailTheCallAndKeepTheStore) {
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, u"Software\\Refusals");
    ASSERT_EQ(SetDword(hKey, u"1", 1), ERROR_SUCCESS);

    // A value that cannot be bound is not written as NULL in its place.
    g_bRefuseNextBlobBind = true;
    EXPECT_EQ(SetDword(hKey, u"1", 2), ERROR_OUTOFMEMORY);
    EXPECT_EQ(GetDword(hKey, u"1"), 1u);

    // A failed call inside a transaction whose undo is refused cannot be taken out alone: none of the
    // transaction is kept, and its end says so.
    ASSERT_EQ(RegBeginTransaction(hKey), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(hKey, u"2", 2), ERROR_SUCCESS);
    g_bRefuseSavepointUndo = true;
    EXPECT_EQ(RegDeleteValueW(hKey, u"missing"), ERROR_FILE_NOT_FOUND);
    g_bRefuseSavepointUndo = false;
    EXPECT_EQ(RegEndTransaction(TRUE), ERROR_CANTWRITE);
    EXPECT_EQ(ValueNames(hKey), (V{u"1"}));
    EXPECT_EQ(SetDword(hKey, u"3", 3), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, EnumerationSeesEveryChangeWhoeverMadeIt) {
    HKEY hKey = Create(HKEY_CURRENT_USER, u"Values");
    ASSERT_EQ(SetDword(hKey, u"a", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(hKey, u"b", 2), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), (V{u"a", u"b"}));

    // Through another handle of this process.
    HKEY hOther = nullptr;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Values", &hOther), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(hOther, u"a"), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), (V{u"b"}));
    RegCloseKey(hOther);

    // By another process.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HKEY hChild = nullptr;
        const bool bDone = RegOpenKeyExW(HKEY_CURRENT_USER, u"Values", 0, KEY_ALL_ACCESS, &hChild) == ERROR_SUCCESS &&
                           SetDword(hChild, u"c", 3) == ERROR_SUCCESS;
        _exit(bDone ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    EXPECT_EQ(ValueNames(hKey), (V{u"b", u"c"}));
    EXPECT_EQ(GetDword(hKey, u"c"), 3u);

    // A subkey opened below a handle that enumerated has values of its own.
    HKEY hSub = Create(hKey, u"Sub");
    ASSERT_EQ(SetDword(hSub, u"s", 4), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hSub), (V{u"s"}));
    RegCloseKey(hSub);
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, ManyThreadsAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 50;
    std::atomic<int> nFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &nFailures] {
            const std::u16string path = comrt::ToUtf16("Threads\\T" + std::to_string(t));
            for (int i = 0; i < kRounds; ++i) {
                HKEY hKey = nullptr;
                if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                    nullptr) != ERROR_SUCCESS) {
                    ++nFailures;
                    continue;
                }
                const std::u16string name = comrt::ToUtf16("v" + std::to_string(i));
                const DWORD n = static_cast<DWORD>(t * 1000 + i);
                DWORD nRead = 0;
                DWORD cb = 4;
                if (RegSetValueExW(hKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4) !=
                        ERROR_SUCCESS ||
                    RegQueryValueExW(hKey, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&nRead), &cb) !=
                        ERROR_SUCCESS ||
                    nRead != n)
                    ++nFailures;
                RegCloseKey(hKey);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(nFailures.load(), 0);
    HKEY hKey = nullptr;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Threads", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hKey).size(), static_cast<std::size_t>(kThreads));
    RegCloseKey(hKey);
}

}  // namespace
