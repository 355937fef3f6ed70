// One hive database: its connection (opening, checking the file, write-ahead logging), its transactions and
// the statements it prepares; RegistryDbRows.cpp holds the key and value statements run on it.
#include "RegistryDb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

namespace comrt::registry {

namespace {

// A busy database is waited for this long before a call gives up.
constexpr int kBusyTimeoutMs = 5000;
// The write-ahead log is cut back to this size when the last connection closes or after a checkpoint.
constexpr int kWalSizeLimit = 4 * 1024 * 1024;

// Indexed by Database::StatementId.
constexpr const char* kSql[] = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT id, name, name_fold, state FROM keys WHERE parent = ?1 AND name_fold = ?2",
    "SELECT state FROM keys WHERE id = ?1",
    "SELECT id, name, name_fold, state FROM keys WHERE parent = ?1 ORDER BY seq",
    "SELECT id, name, name_fold, state FROM keys WHERE parent = ?1 ORDER BY seq LIMIT 1 OFFSET ?2",
    "SELECT count(*) FROM keys WHERE parent = ?1",
    "SELECT type, data, state FROM vals WHERE key = ?1 AND name_fold = ?2",
    "SELECT name, name_fold, type, length(data), state, data FROM vals WHERE key = ?1 ORDER BY seq",
    "SELECT name, name_fold, type, length(data), state FROM vals WHERE key = ?1 ORDER BY seq",
    "SELECT name, name_fold, type, length(data), state, data FROM vals WHERE key = ?1 ORDER BY seq LIMIT 1 OFFSET ?2",
    "INSERT INTO keys(parent, name, name_fold, seq, state) "
    "VALUES(?1, ?2, ?3, (SELECT IFNULL(MAX(seq), 0) + 1 FROM keys WHERE parent = ?1), ?4)",
    "UPDATE keys SET state = ?2 WHERE id = ?1",
    "INSERT INTO vals(key, name, name_fold, type, data, seq, state) "
    "VALUES(?1, ?2, ?3, ?4, ?5, (SELECT IFNULL(MAX(seq), 0) + 1 FROM vals WHERE key = ?1), ?6) "
    "ON CONFLICT(key, name_fold) DO UPDATE SET type = excluded.type, data = excluded.data, state = excluded.state",
    "DELETE FROM vals WHERE key = ?1 AND name_fold = ?2",
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
    "DELETE FROM vals WHERE key IN (SELECT id FROM sub)",
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM sub)",
    "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1 "
    "UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM sub)",
};

constexpr const char* kSchema =
    "CREATE TABLE keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " name_fold TEXT NOT NULL,"
    " seq INTEGER NOT NULL,"
    " state INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX keys_by_name ON keys(parent, name_fold);"
    "CREATE INDEX keys_by_seq ON keys(parent, seq);"
    "CREATE TABLE vals("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " name_fold TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " seq INTEGER NOT NULL,"
    " state INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY(key, name_fold)) WITHOUT ROWID;"
    "CREATE INDEX vals_by_seq ON vals(key, seq);"
    "INSERT INTO keys(id, parent, name, name_fold, seq) VALUES(1, 0, '', '', 0);"
    "PRAGMA user_version = 1;";

char16_t FoldChar(char16_t c) noexcept {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<char16_t>(c + 32);
    return c;
}

}  // namespace

std::string FolderOf(const std::string& sPath) {
    const auto n = sPath.rfind('/');
    if (n == std::string::npos) return ".";
    return n == 0 ? "/" : sPath.substr(0, n);
}

bool MakeFolders(const std::string& sFolder, unsigned nMode, int* pnErrno) {
    struct stat st {};
    if (stat(sFolder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        *pnErrno = ENOTDIR;
        return false;
    }
    const std::string sParent = FolderOf(sFolder);
    if (sParent != sFolder && !MakeFolders(sParent, nMode, pnErrno)) return false;
    if (mkdir(sFolder.c_str(), nMode) != 0 && errno != EEXIST) {
        *pnErrno = errno;
        return false;
    }
    return true;
}

void FoldNameInto(std::u16string_view name, char16_t* pOut) noexcept {
    for (std::size_t i = 0; i < name.size(); ++i) pOut[i] = FoldChar(name[i]);
}

std::u16string FoldName(std::u16string_view name) {
    std::u16string s(name);
    for (auto& c : s) c = FoldChar(c);
    return s;
}

Database::Database(std::string path, Access access, unsigned fileMode, unsigned folderMode, bool keepWal)
    : m_sPath(std::move(path)),
      m_access(access),
      m_nFileMode(fileMode),
      m_nFolderMode(folderMode),
      m_bKeepWal(keepWal) {
    static_assert(sizeof(kSql) / sizeof(kSql[0]) == kStatementCount, "one SQL text per statement");
}

Database::~Database() {
    Close();
}

void Database::Close() noexcept {
    for (auto& p : m_statements) {
        sqlite3_finalize(p);
        p = nullptr;
    }
    if (m_pDb) sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
    m_bWriting = false;
    m_bWithoutLog = false;
}

void Database::Abandon() noexcept {
    for (auto& p : m_statements) p = nullptr;
    m_pDb = nullptr;
    m_bWriting = false;
}

LONG Database::FailText(LONG nResult, const std::string& sWhy) {
    std::string s = "The registry database " + m_sPath;
    switch (nResult) {
        case ERROR_BADDB:
            s += " is damaged (" + sWhy + "); it was left as it is.";
            break;
        case ERROR_CANTOPEN:
            s += " cannot be opened (" + sWhy + ").";
            break;
        case ERROR_ACCESS_DENIED:
            s += " may not be changed by this process (" + sWhy + ").";
            break;
        case ERROR_BUSY:
            s += " stayed locked by another process for more than " + std::to_string(kBusyTimeoutMs / 1000) +
                 " seconds.";
            break;
        case ERROR_CANTWRITE:
            s += " could not be written (" + sWhy + ").";
            break;
        case ERROR_OUTOFMEMORY:
            s += " could not be used: out of memory.";
            break;
        case ERROR_INVALID_PARAMETER:
            s += " refused the data (" + sWhy + ").";
            break;
        default:
            s += " could not be read (" + sWhy + ").";
            break;
    }
    SetStoreError(std::move(s));
    return nResult;
}

LONG Database::Fail(int rc) {
    const std::string sWhy = m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc);
    switch (rc & 0xFF) {
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return FailText(ERROR_BADDB, sWhy);
        case SQLITE_CANTOPEN:
            return FailText(ERROR_CANTOPEN, sWhy);
        case SQLITE_READONLY:
            // The extended codes say the file could not even be read (its log files cannot be set up).
            return FailText(rc == SQLITE_READONLY ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN, sWhy);
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return FailText(ERROR_ACCESS_DENIED, sWhy);
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return FailText(ERROR_BUSY, sWhy);
        case SQLITE_FULL:
            return FailText(ERROR_CANTWRITE, sWhy);
        case SQLITE_IOERR:
            return FailText(m_bWriting ? ERROR_CANTWRITE : ERROR_CANTREAD, sWhy);
        case SQLITE_NOMEM:
            return FailText(ERROR_OUTOFMEMORY, sWhy);
        case SQLITE_TOOBIG:
            return FailText(ERROR_INVALID_PARAMETER, sWhy);
        default:
            return FailText(ERROR_CANTREAD, sWhy);
    }
}

// Looks at the file before SQLite does: SQLite treats a file shorter than one page as an empty database and
// would build its schema over whatever the file held.
LONG Database::CheckFile(bool* pbEmpty) {
    struct stat st {};
    if (stat(m_sPath.c_str(), &st) != 0) return FailText(ERROR_CANTOPEN, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return FailText(ERROR_CANTOPEN, "it is a folder");
    *pbEmpty = st.st_size == 0;
    if (st.st_size == 0) return ERROR_SUCCESS;
    const int fd = open(m_sPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailText(ERROR_CANTOPEN, std::strerror(errno));
    char header[16] = {};
    const ssize_t n = read(fd, header, sizeof(header));
    const int nErrno = errno;
    close(fd);
    if (n < 0) return FailText(ERROR_CANTOPEN, std::strerror(nErrno));
    if (n != static_cast<ssize_t>(sizeof(header)) || std::memcmp(header, "SQLite format 3", 16) != 0)
        return FailText(ERROR_BADDB, "it is not an SQLite database");
    return ERROR_SUCCESS;
}

LONG Database::Open() {
    Close();
    const bool bReadOnly = m_access == Access::kReadOnly;
    bool bEmpty = false;
    if (bReadOnly) {
        // A system hive this process may not read (the machine hive is its owner's alone) or that does not
        // exist yet is an empty hive here; the overlay still works above it.
        struct stat st {};
        if (stat(m_sPath.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == EACCES) return ERROR_FILE_NOT_FOUND;
            return FailText(ERROR_CANTOPEN, std::strerror(errno));
        }
        if (!S_ISDIR(st.st_mode) && faccessat(AT_FDCWD, m_sPath.c_str(), R_OK, AT_EACCESS) != 0 && errno == EACCES)
            return ERROR_FILE_NOT_FOUND;
        LONG nResult = CheckFile(&bEmpty);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (bEmpty) return ERROR_FILE_NOT_FOUND;
    } else {
        int nErrno = 0;
        if (!MakeFolders(FolderOf(m_sPath), m_nFolderMode, &nErrno))
            return FailText(ERROR_CANTOPEN, std::string("its folder cannot be created: ") + std::strerror(nErrno));
        // Created here rather than by SQLite so that the permissions are exactly the hive's, whatever the
        // umask; SQLite gives the -wal and -shm files the same permissions.
        const int fd = open(m_sPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, m_nFileMode);
        if (fd >= 0) {
            if (fchmod(fd, m_nFileMode) != 0) {
                // Keep going: the file is usable, only its permissions are the umask's.
            }
            close(fd);
        } else if (errno != EEXIST) {
            return FailText(ERROR_CANTOPEN, std::strerror(errno));
        }
        LONG nResult = CheckFile(&bEmpty);
        if (nResult != ERROR_SUCCESS) return nResult;
    }

    const int nFlags = (bReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(m_sPath.c_str(), &m_pDb, nFlags, nullptr);
    if (rc != SQLITE_OK) {
        const LONG nResult = Fail(rc);
        Close();
        return nResult;
    }
    sqlite3_extended_result_codes(m_pDb, 1);
    sqlite3_busy_timeout(m_pDb, kBusyTimeoutMs);
    if (bReadOnly) {
        const LONG nResult = OpenWithoutLog();
        if (nResult != ERROR_SUCCESS) return nResult;
    }
    if (m_bKeepWal && !bReadOnly) {
        int nOn = 1;
        sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_PERSIST_WAL, &nOn);
    }
    LONG nResult = bEmpty ? Initialise() : Verify();
    if (nResult == ERROR_SUCCESS && !bReadOnly) {
        const std::string sPragmas =
            "PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = " + std::to_string(kWalSizeLimit) + ";";
        rc = sqlite3_exec(m_pDb, sPragmas.c_str(), nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) nResult = Fail(rc);
    }
    if (nResult != ERROR_SUCCESS) Close();
    return nResult;
}

// A reader that may not create files next to the database needs the -wal and -shm files to exist already
// (writers of this store keep them). When they are missing and the log is empty anyway, the database file
// holds everything committed, and it is read as an unchanging file; a writer's first commit brings the log
// back, and HasLogAgain() then tells the store to open the database the ordinary way again.
LONG Database::OpenWithoutLog() {
    const int rc = sqlite3_exec(m_pDb, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
    const int nPrimary = rc & 0xFF;
    if (rc == SQLITE_OK || (nPrimary != SQLITE_READONLY && nPrimary != SQLITE_CANTOPEN)) return ERROR_SUCCESS;
    struct stat st {};
    if (stat((m_sPath + "-wal").c_str(), &st) == 0 && st.st_size > 0) return ERROR_SUCCESS;
    Close();
    std::string sUri = "file:";
    for (const unsigned char c : m_sPath) {
        if (c == '%' || c == '?' || c == '#' || c < 0x21 || c > 0x7E) {
            static const char kDigits[] = "0123456789ABCDEF";
            sUri += '%';
            sUri += kDigits[c >> 4];
            sUri += kDigits[c & 15];
        } else {
            sUri += static_cast<char>(c);
        }
    }
    sUri += "?immutable=1";
    const int rcOpen =
        sqlite3_open_v2(sUri.c_str(), &m_pDb, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rcOpen != SQLITE_OK) {
        const LONG nResult = Fail(rcOpen);
        Close();
        return nResult;
    }
    sqlite3_extended_result_codes(m_pDb, 1);
    m_bWithoutLog = true;
    return ERROR_SUCCESS;
}

bool Database::HasLogAgain() const noexcept {
    if (!m_bWithoutLog) return false;
    struct stat st {};
    return stat((m_sPath + "-wal").c_str(), &st) == 0;
}

// A new, empty file: the schema, then write-ahead logging. Several processes may get here for the same file
// at once; the first to take the write lock builds the schema, the others find it.
LONG Database::Initialise() {
    int rc = sqlite3_exec(m_pDb, "PRAGMA encoding = 'UTF-16le'", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return Fail(rc);
    rc = sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return Fail(rc);
    m_bWriting = true;
    sqlite3_stmt* p = nullptr;
    rc = sqlite3_prepare_v2(m_pDb, "SELECT count(*) FROM sqlite_schema", -1, &p, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(p);
    const bool bFresh = rc == SQLITE_ROW && sqlite3_column_int(p, 0) == 0;
    if (rc == SQLITE_ROW) rc = SQLITE_OK;
    sqlite3_finalize(p);
    if (rc == SQLITE_OK && bFresh) rc = sqlite3_exec(m_pDb, kSchema, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        const LONG nResult = Fail(rc);
        Rollback();
        return nResult;
    }
    m_bWriting = false;
    if (!bFresh) return Verify();
    return EnableWal();
}

// Switching to write-ahead logging needs the database to itself for a moment; another process that opened
// it meanwhile makes the switch report "locked", so it is tried again for a while.
LONG Database::EnableWal() {
    int rc = SQLITE_OK;
    for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
        sqlite3_stmt* p = nullptr;
        rc = sqlite3_prepare_v2(m_pDb, "PRAGMA journal_mode = WAL", -1, &p, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(p);
        bool bWal = false;
        if (rc == SQLITE_ROW) {
            const auto* s = reinterpret_cast<const char*>(sqlite3_column_text(p, 0));
            bWal = s && std::strcmp(s, "wal") == 0;
            rc = SQLITE_OK;
        }
        sqlite3_finalize(p);
        if (rc == SQLITE_OK && bWal) return ERROR_SUCCESS;
        if (rc != SQLITE_OK && (rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return Fail(rc);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return rc != SQLITE_OK ? Fail(rc) : FailText(ERROR_CANTWRITE, "write-ahead logging could not be enabled");
}

LONG Database::Verify() {
    sqlite3_stmt* p = nullptr;
    int rc = sqlite3_prepare_v2(
        m_pDb, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('keys', 'vals')", -1, &p, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(p);
    const int nTables = rc == SQLITE_ROW ? sqlite3_column_int(p, 0) : 0;
    sqlite3_finalize(p);
    if (rc != SQLITE_ROW) return Fail(rc);
    if (nTables != 2) return FailText(ERROR_BADDB, "it is not a registry database");
    int nState = 0;
    bool bFound = false;
    const LONG nResult = KeyState(kRootKey, &nState, &bFound);
    if (nResult != ERROR_SUCCESS) return nResult;
    if (!bFound) return FailText(ERROR_BADDB, "its root key is missing");
    return ERROR_SUCCESS;
}

sqlite3_stmt* Database::Statement(StatementId id, LONG* pnResult) {
    if (!m_pDb) {
        *pnResult = FailText(ERROR_CANTOPEN, "it is not open");
        return nullptr;
    }
    sqlite3_stmt*& p = m_statements[id];
    if (!p) {
        const int rc = sqlite3_prepare_v3(m_pDb, kSql[id], -1, SQLITE_PREPARE_PERSISTENT, &p, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(p);
            p = nullptr;
            *pnResult = Fail(rc);
            return nullptr;
        }
    }
    return p;
}

LONG Database::Step(sqlite3_stmt* p, bool* pbRow) {
    const int rc = sqlite3_step(p);
    if (rc == SQLITE_ROW) {
        *pbRow = true;
        return ERROR_SUCCESS;
    }
    *pbRow = false;
    if (rc == SQLITE_DONE) return ERROR_SUCCESS;
    return Fail(rc);
}

int Database::Bind(sqlite3_stmt* p, int i, std::u16string_view s) {
    // An empty view may carry a null pointer, which would bind NULL rather than ''.
    static const char16_t kEmpty = 0;
    // Bytes beyond what an int holds would wrap; SQLite's own limit is far lower anyway.
    if (s.size() > static_cast<std::size_t>(INT_MAX) / sizeof(char16_t)) return SQLITE_TOOBIG;
    return sqlite3_bind_text16(p, i, s.empty() ? &kEmpty : s.data(), static_cast<int>(s.size() * sizeof(char16_t)),
                               SQLITE_STATIC);
}

int Database::Bind(sqlite3_stmt* p, int i, const Blob& blob) {
    // A null pointer would bind NULL; an empty value is an empty blob.
    static const BYTE kNoData = 0;
    return sqlite3_bind_blob64(p, i, blob.cbData ? blob.pData : &kNoData, blob.cbData, SQLITE_STATIC);
}

LONG Database::BeginRead() {
    if (m_bSpanning) {
        m_bSavepointWrites = false;
        return Savepoint("SAVEPOINT call");
    }
    return Run(kBegin);
}

LONG Database::BeginWrite() {
    if (m_bSpanning) {
        const LONG nResult = Savepoint("SAVEPOINT call");
        m_bSavepointWrites = nResult == ERROR_SUCCESS;
        return nResult;
    }
    Use p(*this, kBeginImmediate);
    if (!p) return p.Result();
    bool bRow = false;
    m_bWriting = true;
    const LONG nResult = Step(p, &bRow);
    if (nResult != ERROR_SUCCESS) m_bWriting = false;
    return nResult;
}

LONG Database::Commit() {
    if (m_bSpanning) {
        if (!m_bInSavepoint) return ERROR_SUCCESS;
        const LONG nResult = Savepoint("RELEASE call");
        if (nResult != ERROR_SUCCESS) Rollback();
        return nResult;
    }
    const LONG nResult = Run(kCommit);
    if (nResult != ERROR_SUCCESS) Rollback();
    m_bWriting = false;
    return nResult;
}

void Database::RollbackFailed(int rc) noexcept {
    try {
        FailText(ERROR_CANTWRITE, std::string("the undoing of a failed call was refused: ") +
                                      (m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc)));
    } catch (...) {
        // Out of memory for the text: the result codes still tell.
    }
}

void Database::Rollback() noexcept {
    if (m_bSpanning ? (m_bInSavepoint && m_bSavepointWrites) : m_bWriting) ++m_nWriteGeneration;
    if (m_bSpanning) {
        if (m_bInSavepoint && m_pDb) {
            const int rc = sqlite3_exec(m_pDb, "ROLLBACK TO call; RELEASE call", nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) {
                m_bSpanUndoFailed = true;
                RollbackFailed(rc);
            }
        }
        m_bInSavepoint = false;
        return;
    }
    m_bWriting = false;
    if (!m_pDb || sqlite3_get_autocommit(m_pDb)) return;
    int rc = SQLITE_OK;
    {
        Use p(*this, kRollback);
        rc = p ? sqlite3_step(p) : SQLITE_NOMEM;
    }
    if (rc == SQLITE_DONE || sqlite3_get_autocommit(m_pDb)) return;
    // A statement still stepping can keep the transaction from ending: with every statement reset, try
    // once more. A transaction left open would take the next call's writes and fail its BEGIN.
    for (sqlite3_stmt* pStatement : m_statements)
        if (pStatement) sqlite3_reset(pStatement);
    rc = sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && !sqlite3_get_autocommit(m_pDb)) RollbackFailed(rc);
}

LONG Database::Savepoint(const char* pszStatement) {
    const int rc = sqlite3_exec(m_pDb, pszStatement, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return Fail(rc);
    m_bInSavepoint = pszStatement[0] == 'S';
    return ERROR_SUCCESS;
}

LONG Database::BeginSpanning() {
    if (m_bSpanning) return ERROR_INVALID_FUNCTION;
    const LONG nResult = BeginWrite();
    if (nResult != ERROR_SUCCESS) return nResult;
    m_bSpanning = true;
    m_bInSavepoint = false;
    m_bSpanUndoFailed = false;
    return ERROR_SUCCESS;
}

LONG Database::EndSpanning(bool bCommit) {
    if (!m_bSpanning) return ERROR_INVALID_FUNCTION;
    Rollback();  // a call's savepoint left open by a failure
    m_bSpanning = false;
    const bool bUndoFailed = m_bSpanUndoFailed;
    m_bSpanUndoFailed = false;
    if (!bCommit || bUndoFailed) {
        Rollback();
        // The writes of a failed call could not be taken out: none of the span is kept.
        return bUndoFailed && bCommit ? ERROR_CANTWRITE : ERROR_SUCCESS;
    }
    return Commit();
}

}  // namespace comrt::registry
