// The registry calls over the three hive databases: RegistryStore.h holds where they live and how they are
// opened, RegistryOverlay.h how an overlaid hive is seen through its two layers, RegistryDb.h one database's
// schema and statements.
//
// The registry calls themselves stay in this one file (about 620 lines): each is a short translation of one
// call onto the store's operations, and they share the handle checks and the copy-out rules of names and
// data; the store, the overlay and the database are already files of their own.
//
// A key of an overlaid hive is identified by its path, which every call resolves again through both layers; a
// key of any other hive is identified by its row id, which the open handle keeps, so the common calls on an
// open key cost a single statement.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RegistryOverlay.h"
#include "comrt/text.h"

namespace {

using namespace comrt::registry;

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
    HKEY AddHandle(KeyHandle h) { return comrt::registry::AddHandle(m_call.s, std::move(h)); }

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
    StoreErrorText().clear();
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
    StoreErrorText().clear();
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
    StoreErrorText().clear();
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    Call call;
    return call.s.handles.erase(reinterpret_cast<std::uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved, LPWSTR lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
    StoreErrorText().clear();
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
    StoreErrorText().clear();
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
    StoreErrorText().clear();
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
    StoreErrorText().clear();
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
    StoreErrorText().clear();
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
    StoreErrorText().clear();
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, lpSubKey, false);
}

LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    StoreErrorText().clear();
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
    StoreErrorText().clear();
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
    return StoreErrorText();
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
