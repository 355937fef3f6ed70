// The overlay's merging of the layers: keys, subkey lists and value lists as the system hive and the overlay
// together show them, and the tombstones that delete or empty a key of the system hive.
#include "RegistryOverlay.h"

#include <unordered_map>
#include <unordered_set>

namespace comrt::registry {

LONG OverlayMissing(const Hive& hive) {
    SetStoreError(hive.sOverlayProblem);
    return ERROR_ACCESS_DENIED;
}

Txn::~Txn() {
    if (m_pWrite) m_pWrite->Rollback();
    for (Database* p : m_reads) p->Rollback();
}

LONG Txn::Read(const Layers& layers) {
    for (Database* p : {layers.base, layers.ov}) {
        if (!p) continue;
        const LONG nResult = p->BeginRead();
        if (nResult != ERROR_SUCCESS) return nResult;
        m_reads.push_back(p);
    }
    return ERROR_SUCCESS;
}

LONG Txn::Write(const Layers& layers) {
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

LONG Txn::Commit() {
    LONG nResult = ERROR_SUCCESS;
    if (m_pWrite) nResult = m_pWrite->Commit();
    m_pWrite = nullptr;
    for (Database* p : m_reads) p->Rollback();
    m_reads.clear();
    return nResult;
}

LONG View::Root(Node* pNode) {
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

LONG View::Child(const Node& parent, std::u16string_view fold, Node* pChild, bool* pbFound, std::u16string* pName) {
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

LONG View::Resolve(const std::vector<std::u16string>& folds, Node* pNode, bool* pbFound) {
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

LONG View::Subkeys(const Node& node, std::vector<std::u16string>* pNames) {
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

LONG View::Values(const Node& node, bool bWithData, std::vector<ValueRow>* pRows) {
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

LONG View::EnsureInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
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

LONG View::DeleteInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                           const Node& node) {
    if (!node.inBase) return node.ov ? m_l.ov->RemoveSubtree(node.ov) : ERROR_SUCCESS;
    return EmptyInOverlay(names, folds, kDeleted);
}

LONG View::ClearInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                          const Node& node) {
    if (!node.base) return node.ov ? m_l.ov->RemoveContents(node.ov) : ERROR_SUCCESS;
    return EmptyInOverlay(names, folds, kReplaced);
}

LONG View::EmptyInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                          int nState) {
    Node chain;
    bool bCreated = false;
    LONG nResult = EnsureInOverlay(names, folds, folds.size(), &chain, &bCreated, nullptr);
    if (nResult == ERROR_SUCCESS) nResult = m_l.ov->RemoveContents(chain.ov);
    if (nResult == ERROR_SUCCESS) nResult = m_l.ov->SetKeyState(chain.ov, nState);
    return nResult;
}

}  // namespace comrt::registry
