// Regular expressions: 20 typical process name patterns, each matched against 10,000 generated process names,
// by our engine and by std::regex (ECMAScript, the equivalent pattern, icase where ours ignores case) in the
// same run. Before timing, both must find the same match in every name. Prints each pattern's pair of times,
// then the two totals as benchmarks with their ratio. Limit: ours at least 3 times faster (ratio <= 0.33).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "RatioReporter.h"
#include "corvane/ulregexp.h"

namespace {

struct CPatternPair {
    const char16_t* pszOurs;
    const wchar_t* pszPeer;
    bool bCaseSensitive;
};

// Groups "{...}" are capturing groups in both; our "(...)" and the abbreviations are non-capturing there.
const CPatternPair kPatterns[] = {
    {u"notepad\\.exe", L"notepad\\.exe", false},
    {u"^sshd$", L"^sshd$", true},
    {u"\\w\\d*", L"(?:[a-zA-Z]+)(?:[0-9])*", true},
    {u"^kworker/\\d+:\\d+", L"^kworker/(?:[0-9])+:(?:[0-9])+", true},
    {u"^python\\d(\\.\\z)?$", L"^python(?:[0-9])(?:\\.(?:[0-9]+))?$", true},
    {u"^systemd-{\\w}$", L"^systemd-((?:[a-zA-Z]+))$", true},
    {u"\\.exe$", L"\\.exe$", false},
    {u"^(bash|zsh|fish|sh)$", L"^(?:bash|zsh|fish|sh)$", true},
    {u"^{[a-z]+}d$", L"^([a-z]+)d$", true},
    {u"chrome|chromium|firefox", L"chrome|chromium|firefox", false},
    {u"^(Xorg|Xwayland)$", L"^(?:Xorg|Xwayland)$", true},
    {u"daemon", L"daemon", true},
    {u"^{\\w}-{\\w}$", L"^((?:[a-zA-Z]+))-((?:[a-zA-Z]+))$", true},
    {u"-helper$", L"-helper$", true},
    {u"^[A-Z]", L"^[A-Z]", true},
    {u"{\\z}$", L"((?:[0-9]+))$", true},
    {u"^gnome-.*", L"^gnome-.*", true},
    {u"svc.*\\.exe", L"svc.*\\.exe", false},
    {u"^(java|node)", L"^(?:java|node)", true},
    {u"nginx: {\\w} process", L"nginx: ((?:[a-zA-Z]+)) process", true},
};

struct CNames {
    std::vector<std::u16string> Ours;
    std::vector<std::wstring> Peer;
};

// Names as a process list shows them: daemons, kernel workers, interpreters with versions, Windows programs in
// any case, helpers, workers with a role.
const CNames& Names() {
    static const CNames names = [] {
        static const char* kBases[] = {"systemd-journald",
                                       "systemd-logind",
                                       "systemd-udevd",
                                       "sshd",
                                       "bash",
                                       "zsh",
                                       "Xorg",
                                       "Xwayland",
                                       "gnome-shell",
                                       "gnome-terminal-server",
                                       "pulseaudio",
                                       "dbus-daemon",
                                       "NetworkManager",
                                       "containerd-shim",
                                       "node",
                                       "java",
                                       "postgres",
                                       "chrome",
                                       "firefox",
                                       "svchost.exe",
                                       "notepad.exe",
                                       "explorer.exe",
                                       "Code.exe",
                                       "cron",
                                       "rsyslogd",
                                       "polkitd",
                                       "snapd",
                                       "avahi-daemon",
                                       "crond",
                                       "at-spi-bus-launcher",
                                       "evolution-data-server",
                                       "tracker-miner-fs"};
        std::mt19937 random(7);
        CNames n;
        for (int i = 0; i < 10'000; ++i) {
            std::string s;
            switch (random() % 8) {
                case 0:
                    s = "kworker/" + std::to_string(random() % 16) + ":" + std::to_string(random() % 4);
                    break;
                case 1:
                    s = "python3" + (random() % 3 ? "." + std::to_string(random() % 13) : std::string());
                    break;
                case 2:
                    s = std::string("nginx: ") + (random() % 2 ? "worker" : "master") + " process";
                    break;
                default: {
                    s = kBases[random() % (sizeof kBases / sizeof kBases[0])];
                    const unsigned r = random() % 10;
                    if (r == 0) s += "-helper";
                    if (r == 1) s += std::to_string(random() % 100);
                    if (r == 2)
                        for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
                }
            }
            n.Ours.emplace_back(s.begin(), s.end());
            n.Peer.emplace_back(s.begin(), s.end());
        }
        return n;
    }();
    return names;
}

std::vector<CRegExp> OurExpressions() {
    std::vector<CRegExp> expressions(std::size(kPatterns));
    for (std::size_t i = 0; i < std::size(kPatterns); ++i)
        if (expressions[i].Parse(kPatterns[i].pszOurs, kPatterns[i].bCaseSensitive) != REPARSE_ERROR_OK) {
            std::fprintf(stderr, "pattern %zu does not parse\n", i);
            std::exit(1);
        }
    return expressions;
}

std::vector<std::wregex> PeerExpressions() {
    std::vector<std::wregex> expressions;
    for (const CPatternPair& pair : kPatterns) {
        auto flags = std::regex_constants::ECMAScript;
        if (!pair.bCaseSensitive) flags |= std::regex_constants::icase;
        expressions.emplace_back(pair.pszPeer, flags);
    }
    return expressions;
}

// Every name gives the same match (or none) to both engines; per-pattern times of one pass each.
bool CompareAndTime() {
    const CNames& names = Names();
    const std::vector<CRegExp> ours = OurExpressions();
    const std::vector<std::wregex> peer = PeerExpressions();
    bool bSame = true;
    std::printf("%-26s %8s %10s %10s %7s\n", "pattern", "matches", "ours us", "std us", "ratio");
    for (std::size_t p = 0; p < ours.size(); ++p) {
        CRegExpMatchContext Context;
        std::wcmatch Match;
        std::size_t nMatches = 0;
        for (std::size_t i = 0; i < names.Ours.size(); ++i) {
            const bool bOurs = ours[p].Match(names.Ours[i].c_str(), &Context);
            const bool bPeer = std::regex_search(names.Peer[i].c_str(), Match, peer[p]);
            nMatches += bOurs;
            if (bOurs != bPeer || (bOurs && (Context.GetMatchStart() - names.Ours[i].c_str() != Match.position(0) ||
                                             Context.GetMatchEnd() - Context.GetMatchStart() != Match.length(0)))) {
                std::fprintf(stderr, "pattern %zu differs on name %zu\n", p, i);
                bSame = false;
            }
        }
        const auto start = std::chrono::steady_clock::now();
        for (const auto& name : names.Ours) benchmark::DoNotOptimize(ours[p].Match(name.c_str(), &Context));
        const auto middle = std::chrono::steady_clock::now();
        for (const auto& name : names.Peer) benchmark::DoNotOptimize(std::regex_search(name.c_str(), Match, peer[p]));
        const auto end = std::chrono::steady_clock::now();
        const double fOurs = std::chrono::duration<double, std::micro>(middle - start).count();
        const double fPeer = std::chrono::duration<double, std::micro>(end - middle).count();
        std::string sPattern;
        for (const char16_t* q = kPatterns[p].pszOurs; *q; ++q) sPattern += static_cast<char>(*q);
        if (!kPatterns[p].bCaseSensitive) sPattern += " (icase)";
        std::printf("%-26s %8zu %10.0f %10.0f %7.3f\n", sPattern.c_str(), nMatches, fOurs, fPeer, fOurs / fPeer);
    }
    return bSame;
}

void BM_Ours(benchmark::State& State) {
    const CNames& names = Names();
    const std::vector<CRegExp> expressions = OurExpressions();
    CRegExpMatchContext Context;
    for (auto _ : State)
        for (const CRegExp& expression : expressions)
            for (const auto& name : names.Ours) benchmark::DoNotOptimize(expression.Match(name.c_str(), &Context));
    State.SetItemsProcessed(State.iterations() * static_cast<std::int64_t>(expressions.size() * names.Ours.size()));
}
BENCHMARK(BM_Ours)->Unit(benchmark::kMillisecond);

void BM_StdRegex(benchmark::State& State) {
    const CNames& names = Names();
    const std::vector<std::wregex> expressions = PeerExpressions();
    std::wcmatch Match;
    for (auto _ : State)
        for (const std::wregex& expression : expressions)
            for (const auto& name : names.Peer)
                benchmark::DoNotOptimize(std::regex_search(name.c_str(), Match, expression));
    State.SetItemsProcessed(State.iterations() * static_cast<std::int64_t>(expressions.size() * names.Peer.size()));
}
BENCHMARK(BM_StdRegex)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!CompareAndTime()) return 1;
    CRatioReporter Reporter("BM_Ours", "BM_StdRegex", "Ours / std::regex, 20 patterns x 10,000 names", 0.33);
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();
    return 0;
}
