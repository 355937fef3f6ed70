// The per-user overlay of a system hive the process may not write: the system database read-only below, the
// user's overlay database above. A key of such a hive is identified by its path, which every call resolves
// again through both layers; the overlay's rows hide (kDeleted) or replace (kReplaced) what the system hive
// has. A hive without overlay is a single layer, read and written through the same classes.
#pragma once

#include <string>
#include <vector>

#include "RegistryStore.h"

namespace comrt::registry {

// ERROR_ACCESS_DENIED for a change to a hive whose overlay could not be opened, with the overlay's problem as
// the store error.
LONG OverlayMissing(const Hive& hive);

// The transaction of one call over the layers it touches.
class Txn {
public:
    Txn() = default;
    ~Txn();
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

    LONG Read(const Layers& layers);

    // The caller made sure the layer written exists.
    LONG Write(const Layers& layers);

    LONG Commit();

private:
    Database* m_pWrite = nullptr;
    std::vector<Database*> m_reads;
};

// A key as seen through the layers. base/ov: its row in each layer whose content shows (0: none); inBase: the
// system hive has a key at this path below visible content (deleting it in the overlay needs a tombstone).
struct Node {
    KeyId base = 0;
    KeyId ov = 0;
    int ovState = kLive;
    bool inBase = false;
};

class View {
public:
    explicit View(const Layers& layers) noexcept : m_l(layers) {}

    LONG Root(Node* pNode);

    LONG Child(const Node& parent, std::u16string_view fold, Node* pChild, bool* pbFound,
               std::u16string* pName = nullptr);

    LONG Resolve(const std::vector<std::u16string>& folds, Node* pNode, bool* pbFound);

    // The names of the subkeys in order: the system hive's first, then the overlay's own.
    LONG Subkeys(const Node& node, std::vector<std::u16string>* pNames);

    // The values in order: the system hive's first (with the overlay's data where it has its own), then the
    // overlay's own.
    LONG Values(const Node& node, bool bWithData, std::vector<ValueRow>* pRows);

    // Calls f(type, data, size) for the value as seen through the layers.
    template <class F>
    LONG Value(const Node& node, std::u16string_view fold, bool* pbFound, F&& f) {
        *pbFound = false;
        if (m_l.ov && node.ov) {
            bool bFound = false;
            bool bHidden = false;
            const LONG nResult =
                m_l.ov->WithValue(node.ov, fold, &bFound, [&](DWORD nType, const BYTE* p, DWORD cb, int nState) {
                    if (nState == kDeleted) {
                        bHidden = true;
                    } else {
                        f(nType, p, cb);
                    }
                });
            if (nResult != ERROR_SUCCESS || bHidden) return nResult;
            if (bFound) {
                *pbFound = true;
                return ERROR_SUCCESS;
            }
        }
        if (m_l.base && node.base) {
            return m_l.base->WithValue(node.base, fold, pbFound,
                                       [&](DWORD nType, const BYTE* p, DWORD cb, int) { f(nType, p, cb); });
        }
        return ERROR_SUCCESS;
    }

    // Makes sure the overlay holds every key of the path, creating what is missing. The first nMustExist
    // names must already exist as seen through the layers (the key of an open handle): otherwise
    // ERROR_KEY_DELETED. *pbCreated tells whether the last key did not exist before.
    LONG EnsureInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                         std::size_t nMustExist, Node* pNode, bool* pbCreated,
                         std::vector<std::u16string>* pStoredNames);

    // Deletes a key of an overlaid hive with everything below it: a tombstone when the system hive has it.
    LONG DeleteInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                         const Node& node);

    // Deletes everything below a key of an overlaid hive, keeping the key.
    LONG ClearInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds,
                        const Node& node);

private:
    // Gives the key its own row in the overlay, with nothing below it there, in state nState (which hides
    // what the system hive has at or below the key).
    LONG EmptyInOverlay(const std::vector<std::u16string>& names, const std::vector<std::u16string>& folds, int nState);

    Layers m_l;
};

}  // namespace comrt::registry
