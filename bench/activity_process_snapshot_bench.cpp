// One snapshot of the process list, as the process check activity takes it every poll, beside the physical
// limit measured in the same run (a readdir of /proc and one readlink of /proc/PID/exe per numeric entry:
// what any reader of the program names must do) and beside `ps -e -o comm=` as a whole process. Measured at
// the machine's process count, then again with 2,000 extra sleeping processes of this user. Printed: the
// median of each over its samples, and the ratio of ours to the limit (aim: at most 1.5).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "ProcessCheckActivity.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration Duration) {
    return std::chrono::duration<double, std::milli>(Duration).count();
}

template <typename Function>
double Median(int nSamples, Function&& Measured) {
    std::vector<double> Samples;
    for (int i = 0; i < nSamples; ++i) {
        const auto Start = Clock::now();
        Measured();
        Samples.push_back(Milliseconds(Clock::now() - Start));
    }
    std::sort(Samples.begin(), Samples.end());
    return Samples[Samples.size() / 2];
}

// The limit: every numeric entry of /proc, and the target of its exe link. Answers the names read.
size_t ReadProcessNames() {
    DIR* pDir = opendir("/proc");
    if (pDir == nullptr) return 0;
    size_t nNamed = 0;
    char szPath[300], szTarget[4096];
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] < '1' || pEntry->d_name[0] > '9') continue;
        std::snprintf(szPath, sizeof szPath, "/proc/%s/exe", pEntry->d_name);
        if (readlink(szPath, szTarget, sizeof szTarget) > 0) ++nNamed;
    }
    closedir(pDir);
    return nNamed;
}

// As the activity's thread takes them: each sized by the one before.
size_t TakeSnapshot() {
    static size_t nLast = 0;
    CProcessCheckActivity::CProcessDataMap Map;
    Map.Enumerate(nLast);
    nLast = Map.size();
    return nLast;
}

void RunPs() {
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char szPs[] = "ps", szE[] = "-e", szO[] = "-o", szComm[] = "comm=";
    char* Arguments[] = {szPs, szE, szO, szComm, nullptr};
    pid_t nPid = 0;
    if (posix_spawnp(&nPid, "ps", &Actions, nullptr, Arguments, environ) == 0) waitpid(nPid, nullptr, 0);
    posix_spawn_file_actions_destroy(&Actions);
}

void Measure(const char* pszCase) {
    const size_t nOurs = TakeSnapshot(), nLimit = ReadProcessNames();
    const double fOurs = Median(41, TakeSnapshot);
    const double fLimit = Median(41, ReadProcessNames);
    const double fPs = Median(21, RunPs);
    std::printf("%s: %zu processes named (the limit read %zu)\n", pszCase, nOurs, nLimit);
    std::printf("  readdir + readlink (limit)   %8.3f ms\n", fLimit);
    std::printf("  process check snapshot       %8.3f ms\n", fOurs);
    std::printf("  ps -e -o comm=               %8.3f ms\n", fPs);
    std::printf("  snapshot / limit: %.2f (limit 1.5)\n", fOurs / fLimit);
}

}  // namespace

int main() {
    Measure("Machine's processes");

    std::vector<pid_t> Sleepers;
    for (int i = 0; i < 2000; ++i) {
        const pid_t nPid = fork();
        if (nPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;) pause();
        }
        if (nPid < 0) break;
        Sleepers.push_back(nPid);
    }
    Measure("With 2,000 sleeping processes more");
    for (const pid_t nPid : Sleepers) kill(nPid, SIGKILL);
    for (const pid_t nPid : Sleepers) waitpid(nPid, nullptr, 0);
    return Sleepers.size() == 2000 ? 0 : 1;
}
