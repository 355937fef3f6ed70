// The registry's store: the per-user overlay of the system hives, damaged and unopenable database files, file
// permissions, a process without write access to the system hives, and the key tree tool over the store.
#include "RegistryTestSupport.h"

namespace {

TEST_F(RegistryTest, OverlayReadsTheSystemHiveAndNeverWritesIt) {
    // The system hive as an administrator left it.
    HKEY hKey = Create(HKEY_CLASSES_ROOT, u"CLSID\\{1}");
    ASSERT_EQ(SetString(hKey, u"", u"system default"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(hKey, u"Shared", u"system"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(hKey, u"Doomed", u"system"), ERROR_SUCCESS);
    RegCloseKey(Create(hKey, u"InprocServer32"));
    RegCloseKey(Create(hKey, u"LocalServer32"));
    RegCloseKey(hKey);
    RegCloseKey(Create(HKEY_CLASSES_ROOT, u"CLSID\\{2}\\Deep\\Deeper"));
    const std::string sSystem = m_sDir + "/classes.db";
    UseOverlay();
    const std::string sBefore = ReadFile(sSystem);
    const std::string sWalBefore = ReadFile(sSystem + "-wal");

    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"clsid\\{1}", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(GetString(hKey, nullptr), u"system default");
    EXPECT_EQ(GetString(hKey, u"Shared"), u"system");

    // Writes land in the overlay: a new value, a changed value, a deleted value, new keys.
    EXPECT_EQ(SetString(hKey, u"Mine", u"overlay"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(hKey, u"SHARED", u"overlay"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(hKey, u"Doomed"), ERROR_SUCCESS);
    RegCloseKey(Create(hKey, u"Added"));
    EXPECT_EQ(GetString(hKey, u"Shared"), u"overlay");
    EXPECT_EQ(GetString(hKey, u"Mine"), u"overlay");
    EXPECT_EQ(GetString(hKey, u"Doomed"), u"<error 2>");
    EXPECT_EQ(RegDeleteValueW(hKey, u"Doomed"), ERROR_FILE_NOT_FOUND);
    // Merged enumeration: the system's order first, hidden entries skipped, then the overlay's own.
    EXPECT_EQ(ValueNames(hKey), (V{u"", u"Shared", u"Mine"}));
    EXPECT_EQ(Subkeys(hKey), (V{u"InprocServer32", u"LocalServer32", u"Added"}));
    DWORD nValues = 0, nSubkeys = 0;
    EXPECT_EQ(RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &nSubkeys, nullptr, nullptr, &nValues, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(nSubkeys, 3u);
    EXPECT_EQ(nValues, 3u);

    // Deleting a system key hides it with everything below; created again, it starts empty.
    EXPECT_EQ(RegDeleteKeyW(hKey, u"InprocServer32"), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hKey), (V{u"LocalServer32", u"Added"}));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{2}"), ERROR_ACCESS_DENIED) << "its subkeys are the system's";
    EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{2}"), ERROR_SUCCESS);
    HKEY h = nullptr;
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"CLSID\\{2}\\Deep", &h), ERROR_FILE_NOT_FOUND);
    DWORD nDisposition = 0;
    h = Create(HKEY_CLASSES_ROOT, u"CLSID\\{2}", &nDisposition);
    EXPECT_EQ(nDisposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(Subkeys(h), V{});
    RegCloseKey(h);
    // Everything below a system key, keeping it.
    RegCloseKey(hKey);
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"CLSID\\{1}", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(hKey, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hKey), V{});
    EXPECT_EQ(ValueNames(hKey), V{});
    EXPECT_EQ(SetDword(hKey, u"Fresh", 1), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(hKey), V{u"Fresh"});
    RegCloseKey(hKey);

    // The system hive's file was not touched.
    EXPECT_EQ(ReadFile(sSystem), sBefore);
    EXPECT_EQ(ReadFile(sSystem + "-wal"), sWalBefore);
    EXPECT_TRUE(fs::exists(m_sRoot + "/overlay/classes.db"));
    EXPECT_EQ(ValueNamesInFile(sSystem), (std::vector<std::string>{"", "Doomed", "Shared"}));

    // Without the overlay the system hive reads as before.
    UseSystemDirectly();
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"CLSID\\{1}", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(GetString(hKey, u"Shared"), u"system");
    EXPECT_EQ(GetString(hKey, u"Doomed"), u"system");
    EXPECT_EQ(Subkeys(hKey), (V{u"InprocServer32", u"LocalServer32"}));
    RegCloseKey(hKey);
}

TEST_F(RegistryTest, OverlaySeesLaterSystemChangesAndOtherHandles) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Settings"));
    UseOverlay();
    HKEY hReader = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Settings", &hReader), ERROR_SUCCESS);
    HKEY hWriter = Create(HKEY_LOCAL_MACHINE, u"Settings");
    EXPECT_EQ(SetDword(hWriter, u"Level", 7), ERROR_SUCCESS);
    // A handle opened before the overlay held the key sees the value written through another handle.
    EXPECT_EQ(GetDword(hReader, u"Level"), 7u);
    // A key only the overlay has: deleted without a trace, so the system's state shows again.
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Settings\\Mine"));
    EXPECT_EQ(RegDeleteKeyW(hWriter, u"Mine"), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hWriter), V{});
    // Deleting a key through the overlay makes handles to it report it.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Settings"), ERROR_SUCCESS);
    LONG n = 0;
    GetDword(hReader, u"Level", &n);
    EXPECT_TRUE(n == ERROR_KEY_DELETED || n == ERROR_FILE_NOT_FOUND) << n;
    EXPECT_EQ(SetDword(hWriter, u"Level", 1), ERROR_KEY_DELETED);
    RegCloseKey(hReader);
    RegCloseKey(hWriter);
    EXPECT_EQ(Subkeys(HKEY_LOCAL_MACHINE), V{});
}

TEST_F(RegistryTest, DamagedDatabaseIsReportedAndLeftAlone) {
    fs::create_directories(m_sDir);
    const std::string sPath = m_sDir + "/classes.db";
    std::string sGarbage;
    for (int i = 0; i < 8192; ++i) sGarbage += static_cast<char>((i * 7 + 3) & 0xFF);
    WriteFile(sPath, sGarbage);

    HKEY hKey = nullptr;
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"CLSID", &hKey), ERROR_BADDB);
    const std::string sError = RegGetLastStoreError();
    EXPECT_NE(sError.find(sPath), std::string::npos) << sError;
    EXPECT_NE(sError.find("damaged"), std::string::npos) << sError;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(SetDword(HKEY_CLASSES_ROOT, u"x", 1), ERROR_BADDB);
    EXPECT_EQ(ReadFile(sPath), sGarbage);
    EXPECT_FALSE(fs::exists(sPath + "-wal"));
    EXPECT_FALSE(fs::exists(sPath + "-shm"));
    // The other hives carry on, and their calls clear the error.
    hKey = Create(HKEY_CURRENT_USER, u"Fine");
    EXPECT_EQ(RegGetLastStoreError(), "");
    RegCloseKey(hKey);

    // Shorter than a page: SQLite alone would take it for an empty database and write its schema over it.
    WriteFile(sPath, "hello");
    RegResetStore();
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"CLSID", &hKey), ERROR_BADDB);
    EXPECT_EQ(ReadFile(sPath), "hello");

    // Another program's SQLite database.
    fs::remove(sPath);
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(sPath.c_str(), &pDb), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pDb, "CREATE TABLE other(x); INSERT INTO other VALUES(1);", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(pDb);
    const std::string sForeign = ReadFile(sPath);
    RegResetStore();
    EXPECT_EQ(SetDword(HKEY_CLASSES_ROOT, u"x", 1), ERROR_BADDB);
    EXPECT_NE(RegGetLastStoreError().find(sPath), std::string::npos);
    EXPECT_EQ(ReadFile(sPath), sForeign);
}

TEST_F(RegistryTest, DamageInsideARegistryDatabaseIsReported) {
    HKEY hKey = Create(HKEY_LOCAL_MACHINE, u"Before");
    ASSERT_EQ(SetDword(hKey, u"v", 1), ERROR_SUCCESS);
    RegCloseKey(hKey);
    RegResetStore();
    const std::string sPath = m_sDir + "/machine.db";
    std::string sData = ReadFile(sPath);
    ASSERT_GT(sData.size(), 4096u);
    // The first page's b-tree header (after the 100-byte file header): the schema can no longer be read.
    for (std::size_t i = 100; i < 4096; ++i) sData[i] = static_cast<char>(0xFF);
    WriteFile(sPath, sData);
    fs::remove(sPath + "-wal");
    fs::remove(sPath + "-shm");

    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Before", &hKey), ERROR_BADDB);
    EXPECT_NE(RegGetLastStoreError().find(sPath), std::string::npos) << RegGetLastStoreError();
    EXPECT_EQ(ReadFile(sPath), sData);
}

TEST_F(RegistryTest, UnopenableDatabaseIsReported) {
    fs::create_directories(m_sDir + "/user.db");
    HKEY hKey = nullptr;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"x", &hKey), ERROR_CANTOPEN);
    EXPECT_NE(RegGetLastStoreError().find(m_sDir + "/user.db"), std::string::npos) << RegGetLastStoreError();
    EXPECT_TRUE(fs::is_directory(m_sDir + "/user.db"));
}

TEST_F(RegistryTest, FilesGetTheirPermissions) {
    // A folder that does not exist yet is created; the permissions do not depend on the umask.
    m_sDir += "/nested/store";
    setenv("CORVANE_REGISTRY_DIR", m_sDir.c_str(), 1);
    RegResetStore();
    const mode_t nOldMask = umask(077);
    HKEY hKeys[3] = {};
    const HKEY hRoots[3] = {HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER};
    for (int i = 0; i < 3; ++i) {
        hKeys[i] = Create(hRoots[i], u"Key");
        EXPECT_EQ(SetDword(hKeys[i], u"v", 1), ERROR_SUCCESS);
    }
    umask(nOldMask);
    auto mode = [](const std::string& s) {
        struct stat st {};
        return stat(s.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    EXPECT_EQ(RegGetStoreDirectory(), m_sDir);
    EXPECT_EQ(mode(m_sDir + "/classes.db"), 0644);
    EXPECT_EQ(mode(m_sDir + "/machine.db"), 0600);
    EXPECT_EQ(mode(m_sDir + "/machine.db-wal"), 0600);
    EXPECT_EQ(mode(m_sDir + "/machine.db-shm"), 0600);
    EXPECT_EQ(mode(m_sDir + "/user.db"), 0600);
    for (HKEY h : hKeys) RegCloseKey(h);
}

// A process that may not write the system hives, for real: the system folder belongs to someone else. As root
// the child becomes "nobody"; otherwise the folder is made read-only.
TEST_F(RegistryTest, ProcessWithoutWriteAccessUsesItsOverlay) {
    HKEY hKey = Create(HKEY_CLASSES_ROOT, u"CLSID\\{3}");
    ASSERT_EQ(SetString(hKey, u"", u"registered"), ERROR_SUCCESS);
    RegCloseKey(hKey);
    hKey = Create(HKEY_LOCAL_MACHINE, u"Secret");
    ASSERT_EQ(SetString(hKey, u"Password", u"scrambled"), ERROR_SUCCESS);
    RegCloseKey(hKey);
    RegResetStore();
    const std::string sClasses = ReadFile(m_sDir + "/classes.db");
    const bool bRoot = geteuid() == 0;
    const std::string sHome = m_sRoot + "/home";
    fs::create_directories(sHome);
    fs::permissions(m_sRoot, fs::perms::all, fs::perm_options::replace);
    fs::permissions(sHome, fs::perms::all, fs::perm_options::replace);
    if (!bRoot) fs::permissions(m_sDir, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);

    auto runChild = [&](std::string* pReport) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            if (bRoot && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
            setenv("XDG_DATA_HOME", sHome.c_str(), 1);
            unsetenv("CORVANE_REGISTRY_OVERLAY_DIR");
            std::string sReport;
            HKEY h = nullptr;
            LONG n = RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{3}", 0, KEY_ALL_ACCESS, &h);
            sReport += "open=" + std::to_string(n) + RegGetLastStoreError();
            sReport += " read=" + comrt::ToUtf8(n == ERROR_SUCCESS ? GetString(h, nullptr) : u"");
            n = h ? SetString(h, u"Mine", u"overlay") : -1;
            sReport += " write=" + std::to_string(n) + RegGetLastStoreError();
            sReport += " again=" + comrt::ToUtf8(h ? GetString(h, u"Mine") : u"");
            RegCloseKey(h);
            h = nullptr;
            n = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Secret", 0, KEY_ALL_ACCESS, &h);
            sReport += " machine=" + std::to_string(n);
            RegCloseKey(h);
            sReport += " overlay=" + std::to_string(fs::exists(sHome + "/corvane-harkwell/overlay/classes.db"));
            if (write(fds[1], sReport.data(), sReport.size()) < 0) _exit(4);
            _exit(0);
        }
        close(fds[1]);
        char buffer[512];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;)
            pReport->append(buffer, static_cast<std::size_t>(n));
        close(fds[0]);
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << WEXITSTATUS(nStatus);
    };
    // Once with the log files the store's writers leave, once without them (as another SQLite client leaves
    // the folder after its last connection closed).
    for (const bool bWithLog : {true, false}) {
        if (!bWithLog) {
            fs::permissions(m_sDir, fs::perms::owner_write, fs::perm_options::add);
            ASSERT_TRUE(fs::remove(m_sDir + "/classes.db-wal"));
            ASSERT_TRUE(fs::remove(m_sDir + "/classes.db-shm"));
            if (!bRoot) fs::permissions(m_sDir, fs::perms::owner_write, fs::perm_options::remove);
        }
        std::string sReport;
        runChild(&sReport);
        SCOPED_TRACE(bWithLog ? "with log files" : "without log files");
        EXPECT_NE(sReport.find("open=0 read=registered write=0 again=overlay"), std::string::npos) << sReport;
        EXPECT_NE(sReport.find("overlay=1"), std::string::npos) << sReport;
        // The machine hive is its owner's alone: to anyone else it is empty.
        if (bRoot) {
            EXPECT_NE(sReport.find("machine=2"), std::string::npos) << sReport;
        }
    }
    EXPECT_EQ(ReadFile(m_sDir + "/classes.db"), sClasses);
    fs::permissions(m_sDir, fs::perms::owner_all, fs::perm_options::add);
}

TEST_F(RegistryTest, ToolExportsSetsAndDeletes) {
    // The tool is built into the same folder as this test.
    std::error_code ec;
    const std::string sTool = (fs::read_symlink("/proc/self/exe", ec).parent_path() / "hkreg").string();
    if (!fs::exists(sTool)) GTEST_SKIP() << sTool << " is not built";
    auto run = [&](const std::string& sArgs, std::string* pOut) {
        const std::string sCommand = sTool + " " + sArgs + " 2>" + m_sRoot + "/stderr";
        FILE* p = popen(sCommand.c_str(), "r");
        if (!p) return -1;
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof(buffer), p)) > 0;) pOut->append(buffer, n);
        const int nStatus = pclose(p);
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    };
    HKEY hKey = Create(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}");
    ASSERT_EQ(SetString(hKey, u"", u"Say \"hi\" C:\\x"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(hKey, u"Count", 42), ERROR_SUCCESS);
    const BYTE bytes[] = {1, 2, 0xAB};
    ASSERT_EQ(RegSetValueExW(hKey, u"Raw", 0, REG_BINARY, bytes, 3), ERROR_SUCCESS);
    RegCloseKey(Create(hKey, u"InprocServer32"));
    RegCloseKey(hKey);

    std::string sOut;
    EXPECT_EQ(run("export 'HKCR\\CLSID'", &sOut), 0) << ReadFile(m_sRoot + "/stderr");
    EXPECT_EQ(sOut,
              "[HKEY_CLASSES_ROOT\\CLSID]\n\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{ABC}]\n"
              "@=\"Say \\\"hi\\\" C:\\\\x\"\n"
              "\"Count\"=dword:0000002a\n"
              "\"Raw\"=hex:01,02,ab\n\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{ABC}\\InprocServer32]\n\n");
    sOut.clear();
    EXPECT_EQ(run("export 'HKCR\\Missing'", &sOut), 1);
    EXPECT_EQ(sOut, "");
    EXPECT_NE(ReadFile(m_sRoot + "/stderr").find("HKEY_CLASSES_ROOT\\Missing"), std::string::npos);

    EXPECT_EQ(run("set 'HKCU\\Tool' Name REG_SZ 'some text'", &sOut), 0);
    EXPECT_EQ(run("set 'HKCU\\Tool' Number REG_DWORD 0x10", &sOut), 0);
    EXPECT_EQ(run("set 'HKCU\\Tool' Number REG_DWORD notanumber", &sOut), 2);
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Tool", &hKey), ERROR_SUCCESS);
    EXPECT_EQ(GetString(hKey, u"Name"), u"some text");
    EXPECT_EQ(GetDword(hKey, u"Number"), 16u);
    RegCloseKey(hKey);
    EXPECT_EQ(run("delete 'HKCU\\Tool' Name", &sOut), 0);
    EXPECT_EQ(run("delete 'HKCU\\Tool' Name", &sOut), 1);
    EXPECT_EQ(run("delete 'HKCU\\Tool'", &sOut), 0);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Tool", &hKey), ERROR_FILE_NOT_FOUND);
}

}  // namespace
