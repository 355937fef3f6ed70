// The key and value statements of one hive database: the rows the registry calls look up, list and change,
// each a single prepared statement (RegistryDb.cpp holds the connection, its transactions and the schema).
#include "RegistryDb.h"

namespace comrt::registry {

namespace {

std::u16string ColumnText16(sqlite3_stmt* p, int i) {
    const auto* s = static_cast<const char16_t*>(sqlite3_column_text16(p, i));
    const int cb = sqlite3_column_bytes16(p, i);
    return s ? std::u16string(s, static_cast<std::size_t>(cb) / sizeof(char16_t)) : std::u16string();
}

}  // namespace

void Database::ReadKeyRow(sqlite3_stmt* p, KeyRow* pRow) {
    pRow->id = sqlite3_column_int64(p, 0);
    pRow->name = ColumnText16(p, 1);
    pRow->fold = ColumnText16(p, 2);
    pRow->state = sqlite3_column_int(p, 3);
}

LONG Database::FindKey(KeyId parent, std::u16string_view fold, KeyRow* pRow, bool* pbFound) {
    Use p(*this, kFindKey, parent, fold);
    return OneRow(p, pbFound, [&] { ReadKeyRow(p, pRow); });
}

LONG Database::KeyState(KeyId id, int* pnState, bool* pbFound) {
    Use p(*this, kKeyState, id);
    return OneRow(p, pbFound, [&] { *pnState = sqlite3_column_int(p, 0); });
}

LONG Database::ListKeys(KeyId parent, std::vector<KeyRow>* pRows) {
    pRows->clear();
    Use p(*this, kListKeys, parent);
    return EachRow(p, [&] { ReadKeyRow(p, &pRows->emplace_back()); });
}

LONG Database::KeyAt(KeyId parent, DWORD nIndex, KeyRow* pRow, bool* pbFound) {
    Use p(*this, kKeyAt, parent, nIndex);
    return OneRow(p, pbFound, [&] { ReadKeyRow(p, pRow); });
}

LONG Database::CountKeys(KeyId parent, DWORD* pnCount) {
    Use p(*this, kCountKeys, parent);
    if (!p) return p.Result();
    bool bRow = false;
    const LONG nResult = Step(p, &bRow);
    *pnCount = (nResult == ERROR_SUCCESS && bRow) ? static_cast<DWORD>(sqlite3_column_int64(p, 0)) : 0;
    return nResult;
}

void Database::ReadValueRow(sqlite3_stmt* p, bool bWithData, ValueRow* pRow) {
    pRow->name = ColumnText16(p, 0);
    pRow->fold = ColumnText16(p, 1);
    pRow->type = static_cast<DWORD>(sqlite3_column_int64(p, 2));
    pRow->size = static_cast<DWORD>(sqlite3_column_int64(p, 3));
    pRow->state = sqlite3_column_int(p, 4);
    pRow->data.clear();
    if (bWithData) {
        const auto* pData = static_cast<const BYTE*>(sqlite3_column_blob(p, 5));
        const int cb = sqlite3_column_bytes(p, 5);
        if (pData && cb > 0) pRow->data.assign(pData, pData + cb);
        pRow->size = static_cast<DWORD>(pRow->data.size());
    }
}

LONG Database::ListValues(KeyId key, bool bWithData, std::vector<ValueRow>* pRows) {
    pRows->clear();
    Use p(*this, bWithData ? kListValues : kListValueSizes, key);
    return EachRow(p, [&] { ReadValueRow(p, bWithData, &pRows->emplace_back()); });
}

LONG Database::AppendChangeStamp(std::vector<sqlite3_int64>* pStamps) {
    // Changes to the file by anyone, as of the current read transaction.
    unsigned nDataVersion = 0;
    const int rc = sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_DATA_VERSION, &nDataVersion);
    if (rc != SQLITE_OK) return Fail(rc);
    pStamps->insert(pStamps->end(),
                    {static_cast<sqlite3_int64>(nDataVersion), sqlite3_total_changes64(m_pDb), m_nWriteGeneration});
    return ERROR_SUCCESS;
}

LONG Database::ValueAt(KeyId key, DWORD nIndex, ValueRow* pRow, bool* pbFound) {
    Use p(*this, kValueAt, key, nIndex);
    return OneRow(p, pbFound, [&] { ReadValueRow(p, true, pRow); });
}

LONG Database::InsertKey(KeyId parent, std::u16string_view name, std::u16string_view fold, int nState, KeyId* pId) {
    const LONG nResult = Run(kInsertKey, parent, name, fold, nState);
    if (nResult == ERROR_SUCCESS) *pId = sqlite3_last_insert_rowid(m_pDb);
    return nResult;
}

LONG Database::SetKeyState(KeyId id, int nState) {
    return Run(kSetKeyState, id, nState);
}

LONG Database::PutValue(KeyId key, std::u16string_view name, std::u16string_view fold, DWORD nType, const BYTE* pData,
                        DWORD cbData, int nState) {
    return Run(kPutValue, key, name, fold, nType, Blob{pData, cbData}, nState);
}

LONG Database::RemoveValue(KeyId key, std::u16string_view fold, bool* pbRemoved) {
    const LONG nResult = Run(kRemoveValue, key, fold);
    *pbRemoved = nResult == ERROR_SUCCESS && sqlite3_changes(m_pDb) > 0;
    return nResult;
}

LONG Database::RemoveSubtree(KeyId id) {
    LONG nResult = Run(kRemoveSubtreeValues, id);
    if (nResult == ERROR_SUCCESS) nResult = Run(kRemoveSubtreeKeys, id);
    return nResult;
}

LONG Database::RemoveContents(KeyId id) {
    // The key's own values go with everything below it; only the key row stays.
    LONG nResult = Run(kRemoveSubtreeValues, id);
    if (nResult == ERROR_SUCCESS) nResult = Run(kRemoveContentKeys, id);
    return nResult;
}

}  // namespace comrt::registry
