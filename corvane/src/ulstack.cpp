// Call stacks: capture, the stack of another thread, and the description of frames (module, symbol, file and
// line) with its cache; the runtime's stack calls (comrt/stack.h) do the unwinding and the symbol lookup.
#include <cxxabi.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "comrt/exceptions.h"
#include "comrt/stack.h"
#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"

using namespace corvane;

namespace {

constinit std::atomic<bool> g_bSymbolsEnabled{true};

std::string Demangle(const char* pszName) {
    int nStatus = 0;
    char* pszDemangled = abi::__cxa_demangle(pszName, nullptr, nullptr, &nStatus);
    std::string sName(nStatus == 0 && pszDemangled != nullptr ? pszDemangled : pszName);
    free(pszDemangled);
    return sName;
}

// The module's display name: the file name of the program or library (the loader's path, empty for the
// program). Async-signal-safe.
const char* ModuleNameOf(const char* pszLoadedPath) noexcept {
    const char* pszPath = pszLoadedPath[0] != 0 ? pszLoadedPath : GetProcessImagePath();
    const char* pszSlash = strrchr(pszPath, '/');
    return pszSlash != nullptr ? pszSlash + 1 : pszPath;
}

// The symbols of frames described before, so that a stack seen again (the same throw, the same assertion)
// needs no child. Emptied when the loader adds or removes a module, since an address may then belong to
// another one, and when it would grow beyond SYMBOL_CACHE_FRAMES (a few hundred kilobytes at most).
constexpr std::size_t SYMBOL_CACHE_FRAMES = 1024;

struct CachedSymbols {
    bool bSymbol = false;
    std::string sSymbol;
    std::ptrdiff_t nSymbolDisplacement = 0;
    bool bLine = false;
    std::string sFile;
    int nLine = 0;

    static CachedSymbols From(std::uintptr_t nAddress, const comrt::SYMBOL_FRAME_INFO& Symbols) {
        CachedSymbols Cached;
        if (Symbols.bSymbol) {
            Cached.bSymbol = true;
            Cached.sSymbol = Demangle(Symbols.szSymbol);
            Cached.nSymbolDisplacement = static_cast<std::ptrdiff_t>(nAddress - Symbols.nSymbolAddress);
        } else if (Symbols.bFunction) {
            Cached.bSymbol = true;
            Cached.sSymbol = Demangle(Symbols.szFunction);
        }
        if (Symbols.bLine) {
            Cached.bLine = true;
            Cached.sFile = Symbols.szFile;
            Cached.nLine = Symbols.nLine;
        }
        return Cached;
    }

    void Describe(CDebugTraceCallStack::CFrameDescription& Description) const {
        if (bSymbol) {
            Description.bSymbol = true;
            Description.sSymbol = sSymbol;
            Description.nSymbolDisplacement = nSymbolDisplacement;
        }
        if (bLine) {
            Description.bLine = true;
            Description.sFile = sFile;
            Description.nLine = nLine;
        }
    }
};

// The loader's counts of modules added and removed so far.
using LoaderGeneration = std::pair<ULONGLONG, ULONGLONG>;

LoaderGeneration CurrentLoaderGeneration() noexcept {
    LoaderGeneration Generation{0, 0};
    comrt::GetLoadedModulesGeneration(&Generation.first, &Generation.second);
    return Generation;
}

struct SymbolCache {
    LoaderGeneration Generation{0, 0};
    std::unordered_map<std::uintptr_t, CachedSymbols> Frames;
};

// The cache lives from the first stack described to the module's termination (a plug-in's cache goes with
// the library); afterwards every stack is looked up anew.
constinit std::mutex g_CacheLock;  // guards the three below and the cache
constinit SymbolCache* g_pCache = nullptr;
constinit bool g_bCacheClosed = false;
constinit bool g_bCacheCloseRegistered = false;

void CloseSymbolCache() noexcept {
    std::lock_guard Lock(g_CacheLock);
    delete g_pCache;
    g_pCache = nullptr;
    g_bCacheClosed = true;
}

// The cache, made on first use; null after the module's termination or when it cannot be made. The caller
// holds g_CacheLock.
SymbolCache* OpenSymbolCache() noexcept {
    if (g_pCache != nullptr || g_bCacheClosed) return g_pCache;
    if (!g_bCacheCloseRegistered) {
        if (!AddModuleTerminationFunction(&CloseSymbolCache)) return nullptr;
        g_bCacheCloseRegistered = true;
    }
    g_pCache = new (std::nothrow) SymbolCache;
    return g_pCache;
}

// The symbol lookup of one stack for a scope. Async-signal-safe.
class CSymbolLookup {
public:
    CSymbolLookup(const std::uintptr_t* pnAddresses, int nCount, bool bInSignalHandler) noexcept {
        comrt::SymBeginLookup(&m_Lookup, pnAddresses, nCount, bInSignalHandler ? TRUE : FALSE);
    }
    ~CSymbolLookup() { comrt::SymEndLookup(&m_Lookup); }
    CSymbolLookup(const CSymbolLookup&) = delete;
    CSymbolLookup& operator=(const CSymbolLookup&) = delete;

    bool Next(comrt::SYMBOL_FRAME_INFO& Symbols) noexcept { return comrt::SymNextFrame(&m_Lookup, &Symbols) != FALSE; }

private:
    comrt::SYMBOL_LOOKUP m_Lookup;
};

// Keeps the lines of one stack together.
constinit std::mutex g_PrinterLock;

// The text of a frame in the form its known parts allow; a null part is unknown.
void FormatFrame(char* pszText, std::size_t cchText, std::uintptr_t nAddress, const char* pszModule,
                 const char* pszSymbol, std::ptrdiff_t nSymbolDisplacement, const char* pszFile, int nLine,
                 int nLineDisplacement) noexcept {
    if (pszModule == nullptr)
        snprintf(pszText, cchText, "!0x%08" PRIxPTR, nAddress);
    else if (pszSymbol != nullptr && pszFile != nullptr)
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR " %s (+ %td) [%s, %d] (+ %d)", pszModule, nAddress, pszSymbol,
                 nSymbolDisplacement, pszFile, nLine, nLineDisplacement);
    else if (pszSymbol != nullptr)
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR " %s (+ %td)", pszModule, nAddress, pszSymbol,
                 nSymbolDisplacement);
    else if (pszFile != nullptr)
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR " [%s, %d] (+ %d)", pszModule, nAddress, pszFile, nLine,
                 nLineDisplacement);
    else
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR, pszModule, nAddress);
}

// Writes frames under the printer lock, which the caller holds.
void WriteFrames(const CDebugTraceCallStack::CContext& Context, int nMaxFrameCount) noexcept {
    const CDebugTraceLocalContext Location(nullptr, 0, nullptr);
    const int nCount = std::max(0, std::min(Context.nFrameCount, nMaxFrameCount));
    try {
        for (const auto& Frame : CDebugTraceCallStack::DescribeFrames(Context.pnFrames, nCount))
            Location.Write(TRACE_LEVEL_ERROR, TraceText::CallStackFrame, Frame.Format().c_str());
    } catch (...) {
        // Out of memory while describing: the stack is left out.
    }
}

}  // namespace

namespace corvane {

bool AreDebugSymbolsEnabled() noexcept {
    return g_bSymbolsEnabled.load();
}

void SetDebugSymbolsEnabled(bool bEnabled) noexcept {
    g_bSymbolsEnabled.store(bEnabled);
}

}  // namespace corvane

std::string CDebugTraceCallStack::CFrameDescription::Format() const {
    char szText[TRACE_LINE_SIZE];
    FormatFrame(szText, sizeof(szText), nAddress, bModule ? sModule.c_str() : nullptr,
                bSymbol ? sSymbol.c_str() : nullptr, nSymbolDisplacement, bLine ? sFile.c_str() : nullptr, nLine,
                nLineDisplacement);
    return szText;
}

void CDebugTraceCallStack::DescribeFramesInSignalHandler(const std::uintptr_t* pnAddresses, int nCount,
                                                         void (*pfnWrite)(void* pvContext, const char* pszFrame),
                                                         void* pvContext) noexcept {
    if (pnAddresses == nullptr || pfnWrite == nullptr || nCount <= 0) return;
    CSymbolLookup Lookup(pnAddresses, AreDebugSymbolsEnabled() ? nCount : 0, true);
    for (int i = 0; i < nCount; ++i) {
        const std::uintptr_t nAddress = pnAddresses[i];
        const char* const pszLoadedPath = comrt::GetModulePathOfAddressInSignalHandler(nAddress);
        const char* const pszModule = pszLoadedPath != nullptr ? ModuleNameOf(pszLoadedPath) : nullptr;
        comrt::SYMBOL_FRAME_INFO Symbols;
        if (!Lookup.Next(Symbols)) Symbols.bSymbol = Symbols.bLine = Symbols.bFunction = FALSE;
        const char* pszSymbol = Symbols.bSymbol ? Symbols.szSymbol : Symbols.bFunction ? Symbols.szFunction : nullptr;
        const std::ptrdiff_t nDisplacement =
            Symbols.bSymbol ? static_cast<std::ptrdiff_t>(nAddress - Symbols.nSymbolAddress) : 0;
        char szText[TRACE_LINE_SIZE];
        FormatFrame(szText, sizeof(szText), nAddress, pszModule, pszSymbol, nDisplacement,
                    Symbols.bLine ? Symbols.szFile : nullptr, Symbols.nLine, 0);
        pfnWrite(pvContext, szText);
    }
}

void CDebugTraceCallStack::CaptureContext(CContext& Context, const CONTEXT* pContext) noexcept {
    Context.nFrameCount = comrt::CaptureStackBackTraceFrom(pContext != nullptr ? pContext->ProgramCounter : 0, 0,
                                                           MAX_FRAMES, Context.pnFrames);
}

std::vector<CDebugTraceCallStack::CFrameDescription> CDebugTraceCallStack::DescribeFrames(
    const std::uintptr_t* pnAddresses, int nCount) {
    std::vector<CFrameDescription> Descriptions(static_cast<std::size_t>(std::max(nCount, 0)));
    if (Descriptions.empty()) return Descriptions;
    std::vector<comrt::LOADED_MODULE_OF_ADDRESS> Modules(Descriptions.size());
    for (std::size_t i = 0; i < Descriptions.size(); ++i) {
        CFrameDescription& Description = Descriptions[i];
        Description.nAddress = pnAddresses[i];
        if (comrt::SymGetModuleOfAddress(Description.nAddress, &Modules[i])) {
            Description.bModule = true;
            Description.sModule = ModuleNameOf(Modules[i].pszModulePath);
        }
    }
    if (AreDebugSymbolsEnabled()) {
        // The frames the cache does not know go to one child.
        std::vector<std::uintptr_t> Unknown;
        std::unique_lock Lock(g_CacheLock);
        const LoaderGeneration Generation = CurrentLoaderGeneration();
        if (SymbolCache* pCache = OpenSymbolCache(); pCache != nullptr && Generation != pCache->Generation) {
            pCache->Frames.clear();
            pCache->Generation = Generation;
        }
        for (const CFrameDescription& Description : Descriptions)
            if (g_pCache == nullptr || !g_pCache->Frames.contains(Description.nAddress))
                Unknown.push_back(Description.nAddress);
        Lock.unlock();
        std::vector<std::pair<std::uintptr_t, CachedSymbols>> Found;
        if (!Unknown.empty()) {
            CSymbolLookup Lookup(Unknown.data(), static_cast<int>(Unknown.size()), false);
            auto pSymbols = std::make_unique<comrt::SYMBOL_FRAME_INFO>();
            for (const std::uintptr_t nAddress : Unknown) {
                if (!Lookup.Next(*pSymbols)) break;
                Found.emplace_back(nAddress, CachedSymbols::From(nAddress, *pSymbols));
            }
        }
        Lock.lock();
        // This lookup's own answers first: the cache may have been emptied meanwhile (a module loaded).
        for (CFrameDescription& Description : Descriptions) {
            const auto itFound = std::find_if(Found.begin(), Found.end(),
                                              [&](const auto& Entry) { return Entry.first == Description.nAddress; });
            if (itFound != Found.end()) {
                itFound->second.Describe(Description);
                continue;
            }
            if (g_pCache == nullptr) continue;
            const auto itCached = g_pCache->Frames.find(Description.nAddress);
            if (itCached != g_pCache->Frames.end()) itCached->second.Describe(Description);
        }
        if (g_pCache != nullptr && g_pCache->Generation == Generation) {
            if (g_pCache->Frames.size() + Found.size() > SYMBOL_CACHE_FRAMES) g_pCache->Frames.clear();
            for (auto& Entry : Found) g_pCache->Frames.insert_or_assign(Entry.first, std::move(Entry.second));
        }
    }
    for (std::size_t i = 0; i < Descriptions.size(); ++i) {
        CFrameDescription& Description = Descriptions[i];
        // What the loader knows: the exported symbols.
        if (!Description.bSymbol && Description.bModule && Modules[i].pszExportName != nullptr) {
            Description.bSymbol = true;
            Description.sSymbol = Demangle(Modules[i].pszExportName);
            Description.nSymbolDisplacement =
                static_cast<std::ptrdiff_t>(Description.nAddress - Modules[i].nExportAddress);
        }
    }
    return Descriptions;
}

CDebugTraceCallStack::CFrameDescription CDebugTraceCallStack::DescribeFrame(std::uintptr_t nAddress) {
    return std::move(DescribeFrames(&nAddress, 1).front());
}

__attribute__((noinline)) void CDebugTraceCallStack::CaptureCurrentThread(CContext& Context, int nSkip) noexcept {
    Context.nFrameCount =
        comrt::CaptureStackBackTraceFrom(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)),
                                         static_cast<ULONG>(std::max(nSkip, 0)), MAX_FRAMES, Context.pnFrames);
}

bool CDebugTraceCallStack::CaptureThread(DWORD nThreadIdentifier, CContext& Context) noexcept {
    Context.nFrameCount = 0;
    if (nThreadIdentifier == 0) return false;
    if (nThreadIdentifier == GetCurrentThreadIdentifier()) {
        CaptureCurrentThread(Context, 1);  // from the caller on
        return true;
    }
    ULONG nCaptured = 0;
    if (!comrt::CaptureThreadStackBackTrace(nThreadIdentifier, MAX_FRAMES, Context.pnFrames, &nCaptured)) return false;
    Context.nFrameCount = static_cast<int>(nCaptured);
    return Context.nFrameCount > 0;
}

void CDebugTraceCallStack::TraceCallStack(DWORD nThreadIdentifier, int nMaxFrameCount) noexcept {
    std::lock_guard Lock(g_PrinterLock);
    UL_TRACE(TRACE_LEVEL_VERBOSE, TraceText::CallStackThread, static_cast<int>(nThreadIdentifier));
    CContext Context;
    if (CaptureThread(nThreadIdentifier, Context)) WriteFrames(Context, nMaxFrameCount);
}

void CDebugTraceCallStack::TraceCallStack(const CContext& Context, int nMaxFrameCount) noexcept {
    std::lock_guard Lock(g_PrinterLock);
    WriteFrames(Context, nMaxFrameCount);
}

__attribute__((noinline)) void CDebugTraceCallStack::TraceCurrentCallStack(int nMaxFrameCount, int nSkip) noexcept {
    CContext Context;
    Context.nFrameCount =
        comrt::CaptureStackBackTraceFrom(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)),
                                         static_cast<ULONG>(std::max(nSkip, 0)), MAX_FRAMES, Context.pnFrames);
    TraceCallStack(Context, nMaxFrameCount);
}

// --- Contexts derived from frames ---------------------------------------------------------------------

struct CDebugTraceLocalContext::CFrameInformation {
    std::string sSourcePath;
    std::string sFunctionName;
};

CDebugTraceLocalContext::CDebugTraceLocalContext(std::uintptr_t nAddress)
    : m_pszSourcePath(nullptr), m_nLine(0), m_pszFunctionName(nullptr) {
    const CDebugTraceCallStack::CFrameDescription Description = CDebugTraceCallStack::DescribeFrame(nAddress);
    m_pFrameInformation = new CFrameInformation;
    m_pFrameInformation->sSourcePath = Description.sFile;
    m_pFrameInformation->sFunctionName = Description.sSymbol;
    if (Description.bLine) {
        m_pszSourcePath = m_pFrameInformation->sSourcePath.c_str();
        m_nLine = Description.nLine;
    }
    m_pszFunctionName = m_pFrameInformation->sFunctionName.c_str();
}

CDebugTraceLocalContext::~CDebugTraceLocalContext() {
    delete m_pFrameInformation;
}
