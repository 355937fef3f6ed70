// One echo of 127.0.0.1 through our ICMP call, beside the round trip that iputils ping reports for the
// same echo in the same run. Ours is the whole IcmpSendEcho call (send, wait, match, copy the reply); the
// peer's is the time ping measures between its send and its receive. The whole probe as the ping activity
// makes it (handle opened and closed around the echo) is shown as well.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "RatioReporter.h"
#include "comrt/icmp.h"

namespace {

const IPAddr kLoopback = inet_addr("127.0.0.1");

bool Echo(HANDLE hIcmp) {
    IP_OPTION_INFORMATION Options{255, 0, 0, 0, nullptr};
    alignas(ICMP_ECHO_REPLY) BYTE Reply[1052];
    return IcmpSendEcho(hIcmp, kLoopback, nullptr, 0, &Options, Reply, 1024, 1000) > 0 &&
           reinterpret_cast<const ICMP_ECHO_REPLY*>(Reply)->Status == IP_SUCCESS;
}

void BM_IcmpSendEcho(benchmark::State& state) {
    const HANDLE hIcmp = IcmpCreateFile();
    if (hIcmp == INVALID_HANDLE_VALUE) {
        state.SkipWithError("no ICMP socket can be opened here");
        return;
    }
    for (auto _ : state) {
        if (!Echo(hIcmp)) {
            state.SkipWithError("127.0.0.1 did not answer");
            break;
        }
    }
    IcmpCloseHandle(hIcmp);
}
BENCHMARK(BM_IcmpSendEcho)->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_PingActivityProbe(benchmark::State& state) {
    for (auto _ : state) {
        const HANDLE hIcmp = IcmpCreateFile();
        const bool bAnswered = hIcmp != INVALID_HANDLE_VALUE && Echo(hIcmp);
        if (hIcmp != INVALID_HANDLE_VALUE) IcmpCloseHandle(hIcmp);
        if (!bAnswered) {
            state.SkipWithError("no answer from 127.0.0.1");
            break;
        }
    }
}
BENCHMARK(BM_PingActivityProbe)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The round trip "ping -c 1 -n 127.0.0.1" reports ("time=0.045 ms"); the program's start is not counted.
void BM_IputilsPingRoundTrip(benchmark::State& state) {
    for (auto _ : state) {
        FILE* pPipe = popen("ping -c 1 -n -W 1 127.0.0.1 2>&1", "r");
        if (pPipe == nullptr) {
            state.SkipWithError("ping cannot be run");
            break;
        }
        std::string sOutput;
        char Buffer[512];
        while (fgets(Buffer, sizeof Buffer, pPipe) != nullptr) sOutput += Buffer;
        const int nStatus = pclose(pPipe);
        const std::size_t nTime = sOutput.find("time=");
        if (nStatus != 0 || nTime == std::string::npos) {
            state.SkipWithError(("ping gave no round trip: " + sOutput).c_str());
            break;
        }
        state.SetIterationTime(std::strtod(sOutput.c_str() + nTime + 5, nullptr) / 1000.0);
    }
}
BENCHMARK(BM_IputilsPingRoundTrip)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CRatioReporter Reporter("BM_IcmpSendEcho", "BM_IputilsPingRoundTrip", "IcmpSendEcho / ping round trip", 1.5);
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();
    return 0;
}
