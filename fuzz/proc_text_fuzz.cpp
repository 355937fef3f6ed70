// The /proc text parsers behind the process list and the performance figures, on arbitrary text. The first
// byte chooses the parser, the rest is the text. What a parser accepts must survive a round trip: the
// figures it read, written back in the kernel's own layout, parse again to the same figures. What it refuses
// leaves zeros behind. A program name always lies inside its link and never holds a '/'. A process's stat line gives
// the state and start time it was written with.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "comrt/psapi.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "proc_text_fuzz", pszWhat);
}

bool Same(const comrt::MemInfo& a, const comrt::MemInfo& b) {
    return a.nMemTotal == b.nMemTotal && a.nMemFree == b.nMemFree && a.nMemAvailable == b.nMemAvailable &&
           a.nCached == b.nCached && a.nCommittedAs == b.nCommittedAs && a.nCommitLimit == b.nCommitLimit &&
           a.nSReclaimable == b.nSReclaimable && a.nSUnreclaim == b.nSUnreclaim && a.nKernelStack == b.nKernelStack &&
           a.nPageTables == b.nPageTables && a.bHasMemAvailable == b.bHasMemAvailable;
}

std::string Line(const char* pszName, ULONGLONG nValue) {
    return std::string(pszName) + ":   " + std::to_string(nValue) + " kB\n";
}

void MemInfo(std::string_view sText) {
    comrt::MemInfo info;
    if (!comrt::ParseMemInfo(sText, &info)) return;
    std::string sAgain = Line("MemTotal", info.nMemTotal) + Line("MemFree", info.nMemFree);
    if (info.bHasMemAvailable) sAgain += Line("MemAvailable", info.nMemAvailable);
    sAgain += Line("Cached", info.nCached) + Line("Committed_AS", info.nCommittedAs) +
              Line("CommitLimit", info.nCommitLimit) + Line("SReclaimable", info.nSReclaimable) +
              Line("SUnreclaim", info.nSUnreclaim) + Line("KernelStack", info.nKernelStack) +
              Line("PageTables", info.nPageTables);
    comrt::MemInfo again;
    Check(comrt::ParseMemInfo(sAgain, &again), "meminfo written back from its figures is refused");
    Check(Same(info, again), "meminfo written back parses to other figures");
}

void FileNr(std::string_view sText) {
    comrt::FileNr nr;
    const bool bParsed = comrt::ParseFileNr(sText, &nr);
    if (!bParsed) {
        Check(nr.nAllocated == 0 && nr.nFree == 0 && nr.nMaximum == 0, "refused file-nr left figures behind");
        return;
    }
    const std::string sAgain =
        std::to_string(nr.nAllocated) + "\t" + std::to_string(nr.nFree) + "\t" + std::to_string(nr.nMaximum) + "\n";
    comrt::FileNr again;
    Check(comrt::ParseFileNr(sAgain, &again), "file-nr written back is refused");
    Check(again.nAllocated == nr.nAllocated && again.nFree == nr.nFree && again.nMaximum == nr.nMaximum,
          "file-nr written back parses to other figures");
}

void LoadAvg(std::string_view sText) {
    ULONGLONG nThreads = 1;
    if (!comrt::ParseLoadAvgThreads(sText, &nThreads)) {
        Check(nThreads == 0, "refused loadavg left a figure behind");
        return;
    }
    Check(sText.find('/') != std::string_view::npos, "loadavg without running/total accepted");
    ULONGLONG nAgain = 0;
    Check(comrt::ParseLoadAvgThreads("0.00 0.01 0.05 1/" + std::to_string(nThreads) + " 4242\n", &nAgain),
          "loadavg written back is refused");
    Check(nAgain == nThreads, "loadavg written back parses to another thread count");
}

void ExeLink(std::string_view sText) {
    const std::string_view sName = comrt::ProgramNameFromExeLink(sText);
    Check(sName.empty() || (sName.data() >= sText.data() && sName.data() + sName.size() <= sText.data() + sText.size()),
          "program name outside its link");
    Check(sName.find('/') == std::string_view::npos, "program name holds a '/'");
}

void ProcessId(std::string_view sText) {
    DWORD nId = 0;
    if (comrt::ParseProcessId(sText, &nId)) Check(std::to_string(nId) == sText, "process id is not its own text");
}

void ProcessStat(std::string_view sText) {
    char cState = 0;
    ULONGLONG nStartTime = 0;
    if (!comrt::ParseProcessStat(sText, &cState, &nStartTime)) {
        Check(cState == 0 && nStartTime == 0, "refused stat left figures behind");
        return;
    }
    Check(sText.find(')') != std::string_view::npos, "stat without a command name accepted");
    Check(cState != ' ' && cState != '\t', "stat state is a blank");
    const std::string sAgain = "42 (a) b) " + std::string(1, cState) +
                               " 1 -2 3 4 -5 6 7 8 9 10 11 12 13 -14 15 16 17 -18 " + std::to_string(nStartTime) +
                               " 19 20\n";
    char cAgain = 0;
    ULONGLONG nAgain = 0;
    Check(comrt::ParseProcessStat(sAgain, &cAgain, &nAgain), "stat written back is refused");
    Check(cAgain == cState && nAgain == nStartTime, "stat written back parses to other figures");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    if (cb == 0) return 0;
    const std::string_view sText(reinterpret_cast<const char*>(pData + 1), cb - 1);
    switch (pData[0] % 6) {
        case 0:
            MemInfo(sText);
            break;
        case 1:
            FileNr(sText);
            break;
        case 2:
            LoadAvg(sText);
            break;
        case 3:
            ExeLink(sText);
            break;
        case 4:
            ProcessId(sText);
            break;
        default:
            ProcessStat(sText);
            break;
    }
    return 0;
}
