// The process's table of interface descriptions. Each module that includes a described interface's header
// registers its own copy of the description while it initialises; a plug-in library that unloads withdraws
// its copies, so the table never points into an unloaded library.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "comrt/dispatch.h"

namespace comrt {
namespace {

struct CDescriptionTable {
    std::mutex Lock;
    // Every registration in order; a withdrawn one is erased.
    std::vector<const InterfaceDescription*> Entries;
};

CDescriptionTable& Table() {
    // Never destroyed: modules withdraw their descriptions from static destructors that may run after
    // this file's would have.
    static auto* pTable = new CDescriptionTable;
    return *pTable;
}

}  // namespace

void RegisterInterfaceDescription(const InterfaceDescription& d) {
    CDescriptionTable& table = Table();
    std::lock_guard lock(table.Lock);
    table.Entries.push_back(&d);
}

void UnregisterInterfaceDescription(const InterfaceDescription& d) {
    CDescriptionTable& table = Table();
    std::lock_guard lock(table.Lock);
    auto it = std::find(table.Entries.rbegin(), table.Entries.rend(), &d);
    if (it != table.Entries.rend()) table.Entries.erase(std::next(it).base());
}

const InterfaceDescription* FindInterfaceDescription(REFIID iid) {
    CDescriptionTable& table = Table();
    std::lock_guard lock(table.Lock);
    for (auto it = table.Entries.rbegin(); it != table.Entries.rend(); ++it)
        if ((*it)->iid == iid) return *it;
    return nullptr;
}

const InterfaceDescription* FindInterfaceDescription(std::string_view sName) {
    CDescriptionTable& table = Table();
    std::lock_guard lock(table.Lock);
    for (auto it = table.Entries.rbegin(); it != table.Entries.rend(); ++it)
        if (sName == (*it)->szName) return *it;
    return nullptr;
}

std::vector<const InterfaceDescription*> GetInterfaceDescriptions() {
    CDescriptionTable& table = Table();
    std::lock_guard lock(table.Lock);
    std::vector<const InterfaceDescription*> result;
    for (const InterfaceDescription* p : table.Entries) {
        auto same = [&](const InterfaceDescription* q) { return q->iid == p->iid; };
        auto known = std::find_if(result.begin(), result.end(), same);
        // The latest registration of an identifier answers, at the place of its first.
        if (known == result.end())
            result.push_back(p);
        else
            *known = p;
    }
    return result;
}

}  // namespace comrt

// Typed proxies live in the bus bridge, which installs the handler of their calls when it loads; the
// thunks every described interface carries reach it through here.
namespace comrt {
namespace {
std::atomic<ProxyInvokeHandler> g_pfnProxyInvoke{nullptr};
}  // namespace

void SetProxyInvokeHandler(ProxyInvokeHandler pfn) {
    g_pfnProxyInvoke.store(pfn);
}

HRESULT ProxyInvoke(void* pThis, ProxyThunk pfnThunk, DISPPARAMS* pParams) {
    const ProxyInvokeHandler pfn = g_pfnProxyInvoke.load();
    return pfn != nullptr ? pfn(pThis, pfnThunk, pParams) : E_UNEXPECTED;
}

}  // namespace comrt
