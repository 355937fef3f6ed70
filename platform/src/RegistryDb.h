// One registry database file: its connection, its schema and the statements the registry calls run on it.
//
// Schema (the database text encoding is UTF-16LE, so names travel without conversion):
//   keys(id, parent, name, name_fold, seq, state)   id never reused (AUTOINCREMENT), so a handle that holds
//                                                    the id of a deleted key never reaches a newer key;
//                                                    the root is id 1 with parent 0; seq orders siblings
//                                                    by creation; (parent, name_fold) is unique
//   vals(key, name, name_fold, type, data, seq, state)  primary key (key, name_fold); seq orders the values
//                                                    of a key by creation; the default value has name ''
// name_fold is the name with ASCII and Latin-1 letters folded to lower case (what comrt::CompareNoCase
// ignores), so lookups are exact index probes while names keep the case they were created with.
// state is only ever non-zero in an overlay: kDeleted hides the system hive's key or value of that name,
// kReplaced keeps the key but hides everything the system hive has below it.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

#include "comrt/types.h"

namespace comrt::registry {

using KeyId = sqlite3_int64;
constexpr KeyId kRootKey = 1;

enum RowState : int { kLive = 0, kDeleted = 1, kReplaced = 2 };

struct KeyRow {
    KeyId id = 0;
    std::u16string name;
    std::u16string fold;
    int state = kLive;
};

struct ValueRow {
    std::u16string name;
    std::u16string fold;
    DWORD type = 0;
    DWORD size = 0;
    std::vector<BYTE> data;  // empty when the data was not asked for
    int state = kLive;
};

// The name as stored in name_fold.
std::u16string FoldName(std::u16string_view name);
// The same into a buffer of at least name.size() characters.
void FoldNameInto(std::u16string_view name, char16_t* pOut) noexcept;

// mkdir -p with the mode for every folder it creates; true when the folder exists afterwards.
bool MakeFolders(const std::string& sFolder, unsigned nMode, int* pnErrno);
std::string FolderOf(const std::string& sPath);

// Records the calling thread's last store failure (RegGetLastStoreError reads it).
void SetStoreError(std::string text);

class Database {
public:
    enum class Access { kReadWrite, kReadOnly };

    // fileMode and folderMode apply when the file or its folder is created. keepWal leaves the -wal and -shm
    // files in place when the last connection closes, so that processes that may only read the folder can
    // still open the database.
    Database(std::string path, Access access, unsigned fileMode, unsigned folderMode, bool keepWal);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // ERROR_SUCCESS; for a read-only database ERROR_FILE_NOT_FOUND when the file does not exist, is empty
    // or may not be read by this process (the caller treats the hive as empty); ERROR_BADDB for a damaged
    // file or one that is not a registry database, ERROR_CANTOPEN otherwise. A file that is not already a
    // registry database is never written.
    LONG Open();
    // A read-only database opened as an unchanging file (its log files were missing) whose log has come
    // back since: it should be opened again.
    bool HasLogAgain() const noexcept;
    // Forgets the connection without closing it: after fork() the child must not touch the parent's.
    void Abandon() noexcept;
    const std::string& Path() const noexcept { return m_sPath; }
    // Records a failure of this database as the thread's store error (with the path) and returns nResult.
    LONG FailText(LONG nResult, const std::string& sWhy);

    LONG BeginRead();
    LONG BeginWrite();
    LONG Commit();
    void Rollback() noexcept;

    // A write transaction that spans calls: while it is open, each call's own transaction (BeginRead or
    // BeginWrite to Commit or Rollback) is a savepoint inside it, so a failed call undoes only itself and
    // nothing reaches the file before EndSpanning commits.
    LONG BeginSpanning();
    LONG EndSpanning(bool bCommit);
    bool IsSpanning() const noexcept { return m_bSpanning; }

    LONG FindKey(KeyId parent, std::u16string_view fold, KeyRow* pRow, bool* pbFound);
    LONG KeyState(KeyId id, int* pnState, bool* pbFound);
    LONG ListKeys(KeyId parent, std::vector<KeyRow>* pRows);
    LONG KeyAt(KeyId parent, DWORD nIndex, KeyRow* pRow, bool* pbFound);
    LONG CountKeys(KeyId parent, DWORD* pnCount);

    // Calls f(type, data, size, state) while the row is current; the data pointer is valid only inside f.
    template <class F>
    LONG WithValue(KeyId key, std::u16string_view fold, bool* pbFound, F&& f);
    LONG ListValues(KeyId key, bool bWithData, std::vector<ValueRow>* pRows);
    LONG ValueAt(KeyId key, DWORD nIndex, ValueRow* pRow, bool* pbFound);
    // Appends numbers that change whenever the database's content may have changed, by this connection or by
    // any other: the file's data version (call inside a read transaction), this connection's change count and
    // its count of writes undone.
    LONG AppendChangeStamp(std::vector<sqlite3_int64>* pStamps);

    LONG InsertKey(KeyId parent, std::u16string_view name, std::u16string_view fold, int nState, KeyId* pId);
    LONG SetKeyState(KeyId id, int nState);
    // Inserts or replaces a value; a replaced value keeps its name's case and its place in the order.
    LONG PutValue(KeyId key, std::u16string_view name, std::u16string_view fold, DWORD nType, const BYTE* pData,
                  DWORD cbData, int nState);
    LONG RemoveValue(KeyId key, std::u16string_view fold, bool* pbRemoved);
    // The key and everything below it.
    LONG RemoveSubtree(KeyId id);
    // Everything below the key (its values and subkeys), keeping the key.
    LONG RemoveContents(KeyId id);

private:
    enum StatementId : int {
        kBegin,
        kBeginImmediate,
        kCommit,
        kRollback,
        kFindKey,
        kKeyState,
        kListKeys,
        kKeyAt,
        kCountKeys,
        kFindValue,
        kListValues,
        kListValueSizes,
        kValueAt,
        kInsertKey,
        kSetKeyState,
        kPutValue,
        kRemoveValue,
        kRemoveSubtreeValues,
        kRemoveSubtreeKeys,
        kRemoveContentKeys,
        kStatementCount
    };

    // Data bound as a blob; no data is an empty blob, not NULL.
    struct Blob {
        const BYTE* pData;
        DWORD cbData;
    };

    // A statement for one call with its parameters bound in order (?1, ?2, ...). It is reset when it leaves
    // scope, so no read transaction stays open behind a call. Null, with the reason in Result(), when the
    // statement could not be prepared.
    class Use {
    public:
        template <class... Args>
        Use(Database& db, StatementId id, const Args&... args) : m_p(db.Statement(id, &m_nResult)) {
            if (!m_p) return;
            [[maybe_unused]] int i = 0;
            int rc = SQLITE_OK;
            ((rc = rc == SQLITE_OK ? Bind(m_p, ++i, args) : rc), ...);
            if (rc == SQLITE_OK) return;
            // A value the statement cannot take (too big, out of memory): the call fails with its reason
            // rather than running with a parameter left unbound (NULL).
            sqlite3_reset(m_p);
            sqlite3_clear_bindings(m_p);
            m_p = nullptr;
            m_nResult = db.Fail(rc);
        }
        ~Use() {
            if (m_p) sqlite3_reset(m_p);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        operator sqlite3_stmt*() const noexcept { return m_p; }
        LONG Result() const noexcept { return m_nResult; }

    private:
        LONG m_nResult = ERROR_SUCCESS;  // set by Statement() while m_p is initialised, so declared first
        sqlite3_stmt* m_p;
    };

    // The parameter binders of Use, each giving SQLite's result. Text and blobs are bound SQLITE_STATIC: the
    // caller's data must outlive the statement's step.
    static int Bind(sqlite3_stmt* p, int i, sqlite3_int64 n) { return sqlite3_bind_int64(p, i, n); }
    static int Bind(sqlite3_stmt* p, int i, DWORD n) { return sqlite3_bind_int64(p, i, n); }
    static int Bind(sqlite3_stmt* p, int i, int n) { return sqlite3_bind_int(p, i, n); }
    static int Bind(sqlite3_stmt* p, int i, std::u16string_view s);
    static int Bind(sqlite3_stmt* p, int i, const Blob& blob);
    // Anything else would bind through a silent conversion.
    template <class T>
    static int Bind(sqlite3_stmt* p, int i, const T&) = delete;

    sqlite3_stmt* Statement(StatementId id, LONG* pnResult);
    LONG Step(sqlite3_stmt* p, bool* pbRow);
    // Binds and steps a statement whose rows, if any, are not wanted.
    template <class... Args>
    LONG Run(StatementId id, const Args&... args);
    // Steps a statement that yields at most one row; read() runs while that row is current.
    template <class F>
    LONG OneRow(const Use& p, bool* pbFound, F&& read);
    // Steps through every row of a statement; read() runs once on each.
    template <class F>
    LONG EachRow(const Use& p, F&& read);
    LONG Fail(int rc);
    // Records a rollback SQLite refused, with its reason, without raising.
    void RollbackFailed(int rc) noexcept;
    LONG Savepoint(const char* pszStatement);
    LONG CheckFile(bool* pbEmpty);
    LONG Initialise();
    LONG Verify();
    LONG EnableWal();
    LONG OpenWithoutLog();
    void Close() noexcept;
    void ReadKeyRow(sqlite3_stmt* p, KeyRow* pRow);
    void ReadValueRow(sqlite3_stmt* p, bool bWithData, ValueRow* pRow);

    std::string m_sPath;
    Access m_access;
    unsigned m_nFileMode;
    unsigned m_nFolderMode;
    bool m_bKeepWal;
    bool m_bWriting = false;
    bool m_bSpanning = false;
    // Counts this connection's writes undone or ended, which the file's data version does not see.
    sqlite3_int64 m_nWriteGeneration = 0;
    bool m_bInSavepoint = false;
    // A call's savepoint could not be undone: its writes may be in the spanning transaction, which must
    // then not be committed.
    bool m_bSpanUndoFailed = false;
    bool m_bSavepointWrites = false;
    bool m_bWithoutLog = false;
    sqlite3* m_pDb = nullptr;
    sqlite3_stmt* m_statements[kStatementCount] = {};
};

template <class... Args>
LONG Database::Run(StatementId id, const Args&... args) {
    Use p(*this, id, args...);
    if (!p) return p.Result();
    bool bRow = false;
    return Step(p, &bRow);
}

template <class F>
LONG Database::EachRow(const Use& p, F&& read) {
    if (!p) return p.Result();
    for (;;) {
        bool bRow = false;
        const LONG nResult = Step(p, &bRow);
        if (nResult != ERROR_SUCCESS || !bRow) return nResult;
        read();
    }
}

template <class F>
LONG Database::OneRow(const Use& p, bool* pbFound, F&& read) {
    if (!p) return p.Result();
    const LONG nResult = Step(p, pbFound);
    if (nResult == ERROR_SUCCESS && *pbFound) read();
    return nResult;
}

template <class F>
LONG Database::WithValue(KeyId key, std::u16string_view fold, bool* pbFound, F&& f) {
    Use p(*this, kFindValue, key, fold);
    return OneRow(p, pbFound, [&] {
        const auto nType = static_cast<DWORD>(sqlite3_column_int64(p, 0));
        // The blob before its size, as SQLite asks.
        const auto* pData = static_cast<const BYTE*>(sqlite3_column_blob(p, 1));
        const auto cbData = static_cast<DWORD>(sqlite3_column_bytes(p, 1));
        f(nType, pData, cbData, sqlite3_column_int(p, 2));
    });
}

}  // namespace comrt::registry
